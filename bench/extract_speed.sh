#!/usr/bin/env bash
# Whole-job throughput of tape to WAV extraction: a cassette of 20,000 frames at 48 kHz
# is read through the virtual drive into WAV files, and the same frames as an image file
# (/INPUTIMG), console output to /dev/null. Reports frames per second, the time against a
# plain cp of the same file, and the job's peak resident memory. The image extraction is
# measured twice: with the image in the page cache (as is cp), and read from the disk
# (the image's cached pages dropped before each run of cp and of the extraction). Not
# part of the test suite.
#
#     bench/extract_speed.sh [build dir]     (default: build/normal)
#
# The run's 2-second settle is scaled away (TERVANO_TIME_SCALE); everything else runs at
# full speed. Each figure is the best of three runs. Every run keeps its checksums: the
# audio MD5 of each track and the .md5 file of the WAV files.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build/normal}" && pwd)
for file in tervano libaspi_vdat.so; do
    [ -e "$build/$file" ] || { echo "missing $build/$file: build the tree first"; exit 2; }
done
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)"; exit 2; }
work=$(mktemp -d /tmp/tervano-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

PYTHONPATH="$top/tests/support" python3 - "$build" "$work" <<'EOF'
import os
import subprocess
import sys
import time

import datcomposer as dc

FRAMES = 20000
RUNS = 3
build, work = sys.argv[1:]

# Sixteen distinct blocks of audio in turn: composing is not what is measured.
blocks = [dc.test_pcm(n, dc.RATE_48K, 0, 5760) for n in range(16)]
tape = dc.program(1, FRAMES, audio=lambda i: blocks[i % 16])
cassette = dc.write_cassette(os.path.join(work, 'tape.dat'), tape)
bay = dc.Bay(work)
bay.add('0:4', cassette='tape.dat')
env = dict(os.environ, TERVANO_ASPI=os.path.join(build, 'libaspi_vdat.so'),
           VDAT_CONFIG=bay.path, TERVANO_TIME_SCALE='1000')


def timed(command):
    """Wall time and peak resident set (KiB) of one process. The peak comes from
    /usr/bin/time, whose own small process starts the program: a child forked from this
    Python process would count the interpreter's pages as its own until its exec."""
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


def drop_cached_image():
    """Writes back what is dirty and drops the image's pages from the page cache, so that
    the next run reads it from the disk (no privileges needed for one file)."""
    os.sync()
    fd = os.open(cassette, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def best(command, cleanup, cold=False):
    results = []
    for _ in range(RUNS):
        cleanup()
        if cold:
            drop_cached_image()
        results.append(timed(command))
    cleanup()
    return min(r[0] for r in results), max(r[1] for r in results)


def remove(*names):
    def cleanup():
        for name in names:
            path = os.path.join(work, name)
            if os.path.exists(path):
                os.remove(path)
    return cleanup


def check(command):
    subprocess.call(command, stdout=subprocess.DEVNULL, env=env, cwd=work)
    if os.path.getsize(os.path.join(work, 'Take1.wav')) != 44 + FRAMES * 5760:
        sys.exit('the extraction did not store every frame')


tervano = os.path.join(build, 'tervano')
outputs = ('Take1.wav', 'Take.md5', 'Take.report.txt', 'Take.timeline.svg')
copy = ['cp', cassette, os.path.join(work, 'copy.dat')]
copy_s, _ = best(copy, remove('copy.dat'))
extract = [tervano, '/TERVANO', 'Take', '/INPUTID', '0:4', '/REWIND']
extract_s, peak_kib = best(extract, remove('tape.dat.state', *outputs))
check(extract)
from_image = [tervano, '/TERVANO', 'Take', '/INPUTIMG', 'tape.dat']
image_s, image_kib = best(from_image, remove(*outputs))
cold_copy_s, _ = best(copy, remove('copy.dat'), cold=True)
cold_image_s, _ = best(from_image, remove(*outputs), cold=True)
check(from_image)

size_mib = os.path.getsize(cassette) / 2**20
print('cassette:   %d frames at 48 kHz, %.1f MiB' % (FRAMES, size_mib))
print('cp:         %.3f s (%.0f MiB/s)' % (copy_s, size_mib / copy_s))
print('extraction: %.3f s, %.0f frames/s, %.2f x the time of cp'
      % (extract_s, FRAMES / extract_s, extract_s / copy_s))
print('peak memory of the extraction: %.1f MiB (maximum resident set)' % (peak_kib / 1024))
print('from the image, cached:  %.3f s, %.0f frames/s, %.2f x the time of cp '
      '(%.0f%% of its throughput), peak memory %.1f MiB'
      % (image_s, FRAMES / image_s, image_s / copy_s, 100 * copy_s / image_s, image_kib / 1024))
print('from the image, on disk: %.3f s against cp %.3f s: %.2f x the time of cp '
      '(%.0f%% of its throughput)'
      % (cold_image_s, cold_copy_s, cold_image_s / cold_copy_s, 100 * cold_copy_s / cold_image_s))
EOF
