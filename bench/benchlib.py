"""What the whole-job benchmarks share: the run's environment against the virtual drive, a
timed run with its peak memory, and the best of several runs."""

import os
import subprocess
import sys
import time

RUNS = 3


class Bench:
    def __init__(self, argv):
        self.build, self.work = argv[1:3]
        self.tervano = os.path.join(self.build, 'tervano')
        # The run's 2-second settle is scaled away; everything else runs at full speed.
        self.env = dict(os.environ, TERVANO_ASPI=os.path.join(self.build, 'libaspi_vdat.so'),
                        VDAT_CONFIG=self.at('bay.ini'), TERVANO_TIME_SCALE='1000')

    def at(self, name):
        return os.path.join(self.work, name)

    def timed(self, command):
        """Wall time and peak resident set (KiB) of one process. The peak comes from
        /usr/bin/time, whose own small process starts the program: a child forked from
        this Python process would count the interpreter's pages as its own until its exec."""
        report = self.at('peak.txt')
        start = time.perf_counter()
        code = subprocess.call(['/usr/bin/time', '-f', '%M', '-o', report] + command,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               env=self.env, cwd=self.work)
        elapsed = time.perf_counter() - start
        if code != 0:
            sys.exit('%s failed with %d' % (command[0], code))
        with open(report) as source:
            return elapsed, int(source.read().split()[-1])

    def best(self, command, prepare=lambda: None):
        """The shortest wall time and the largest peak of RUNS runs, each after prepare()."""
        results = []
        for _ in range(RUNS):
            prepare()
            results.append(self.timed(command))
        return min(r[0] for r in results), max(r[1] for r in results)

    def remove(self, *names):
        """A prepare step that removes what an earlier run left."""
        def prepare():
            for name in names:
                if os.path.exists(self.at(name)):
                    os.remove(self.at(name))
        return prepare
