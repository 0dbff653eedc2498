#!/usr/bin/env bash
# Whole-job throughput of recording: a 30-minute WAV file is recorded through the virtual
# drive onto a blank cassette, once at 48 kHz and once at 32 kHz in long play (where every
# frame is encoded to 12-bit codes), console output to /dev/null. Reports each
# recording's wall time against a plain cp of the same WAV file, and its peak resident
# memory. Not part of the test suite.
#
#     bench/record_speed.sh [build dir]     (default: build/normal)
#
# The run's 2-second settle is scaled away (TERVANO_TIME_SCALE); everything else runs at
# full speed. Each figure is the best of three runs. Needs about 1.2 GB in /tmp.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build/normal}" && pwd)
for file in tervano libaspi_vdat.so; do
    [ -e "$build/$file" ] || { echo "missing $build/$file: build the tree first"; exit 2; }
done
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)"; exit 2; }
work=$(mktemp -d /tmp/tervano-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

PYTHONPATH="$top/tests/support" python3 - "$build" "$work" <<'PYEOF'
import os
import struct
import subprocess
import sys
import time

import datcomposer as dc

MINUTES = 30
RUNS = 3
build, work = sys.argv[1:]
env = dict(os.environ, TERVANO_ASPI=os.path.join(build, 'libaspi_vdat.so'),
           VDAT_CONFIG=os.path.join(work, 'bay.ini'), TERVANO_TIME_SCALE='1000')


def write_wav(name, rate):
    """MINUTES of 16-bit stereo at rate: sixteen distinct blocks of test audio in turn."""
    blocks = [dc.test_pcm(n, 0, 0, 7680) for n in range(16)]
    size = MINUTES * 60 * rate * 4
    path = os.path.join(work, name)
    with open(path, 'wb') as out:
        out.write(struct.pack('<4sI4s4sIHHIIHH4sI', b'RIFF', size + 36, b'WAVE', b'fmt ', 16, 1,
                              2, rate, rate * 4, 4, 16, b'data', size))
        written = 0
        while written < size:
            block = blocks[written // 7680 % 16][:size - written]
            out.write(block)
            written += len(block)
    return path


def timed(command):
    """Wall time and peak resident set (KiB) of one process, measured by /usr/bin/time."""
    report = os.path.join(work, 'peak.txt')
    start = time.perf_counter()
    code = subprocess.call(['/usr/bin/time', '-f', '%M', '-o', report] + command,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, env=env,
                           cwd=work)
    elapsed = time.perf_counter() - start
    if code != 0:
        sys.exit('%s failed with %d' % (command[0], code))
    with open(report) as source:
        return elapsed, int(source.read().split()[-1])


def best(command, fresh):
    results = []
    for _ in range(RUNS):
        fresh()
        results.append(timed(command))
    return min(r[0] for r in results), max(r[1] for r in results)


def blank_cassette():
    for name in ('tape.dat', 'tape.dat.state', 'copy.wav'):
        if os.path.exists(os.path.join(work, name)):
            os.remove(os.path.join(work, name))
    dc.write_cassette(os.path.join(work, 'tape.dat'), [])


bay = dc.Bay(work)
bay.add('0:4', cassette='tape.dat')
for rate, label, frame_pcm in ((48000, '48 kHz', 5760), (32000, '32 kHz long play', 7680)):
    wav = write_wav('take.wav', rate)
    with open(os.path.join(work, 'take.cue'), 'w') as cue:
        cue.write('[FILES]\nFILE_001=take.wav\n[CONFIG]\nTIME_DATE=OFF\n')
    copy_s, _ = best(['cp', wav, os.path.join(work, 'copy.wav')], blank_cassette)
    record = [os.path.join(build, 'tervano'), '/WAV2DAT', 'take', '/OUTPUTID', '0:4']
    record_s, peak_kib = best(record, blank_cassette)
    frames = os.path.getsize(os.path.join(work, 'tape.dat')) // dc.FRAME_BYTES
    program = (os.path.getsize(wav) - 44 + frame_pcm - 1) // frame_pcm
    if frames != 120 + program + 300:
        sys.exit('%s: the cassette holds %d frames, not %d' % (label, frames, 420 + program))
    size_mib = os.path.getsize(wav) / 2**20
    print('%-17s WAV %.0f MiB, %d program frames: cp %.3f s, recording %.3f s, '
          '%.2f x the time of cp, peak memory %.1f MiB'
          % (label, size_mib, program, copy_s, record_s, record_s / copy_s, peak_kib / 1024))
PYEOF
