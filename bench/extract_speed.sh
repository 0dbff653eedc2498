#!/usr/bin/env bash
# Whole-job throughput of tape to WAV extraction: a cassette of 20,000 frames at 48 kHz
# is read through the virtual drive into WAV files, and the same frames as an image file
# (/INPUTIMG), console output to /dev/null. Reports frames per second, the time against a
# plain cp of the same file, and the job's peak resident memory. The image extraction is
# measured twice: with the image in the page cache (as is cp), and read from the disk
# (the image's cached pages dropped before each run of cp and of the extraction). Each
# figure is the best of three runs. Every run keeps its checksums: the audio MD5 of each
# track and the .md5 file of the WAV files. Not part of the test suite.
#
#     bench/extract_speed.sh [build dir]     (default: build/normal)
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_setup "${1:-}"
bench_python <<'EOF_PY'
import os
import subprocess
import sys

import datcomposer as dc
from benchlib import Bench

FRAMES = 20000
b = Bench(sys.argv)

# Sixteen distinct blocks of audio in turn: composing is not what is measured.
blocks = [dc.test_pcm(n, dc.RATE_48K, 0, 5760) for n in range(16)]
bay = dc.Bay(b.work)
cassette = bay.file(bay.cassette('tape.dat', dc.program(1, FRAMES, audio=lambda i: blocks[i % 16])))
bay.add('0:4', cassette='tape.dat')


def drop_cached_image():
    """Writes back what is dirty and drops the image's pages from the page cache, so that
    the next run reads it from the disk (no privileges needed for one file)."""
    os.sync()
    fd = os.open(cassette, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def cold(prepare):
    return lambda: (prepare(), drop_cached_image())


def check(command):
    subprocess.call(command, stdout=subprocess.DEVNULL, env=b.env, cwd=b.work)
    if os.path.getsize(b.at('Take1.wav')) != 44 + FRAMES * 5760:
        sys.exit('the extraction did not store every frame')


outputs = ('Take1.wav', 'Take.md5', 'Take.report.txt', 'Take.timeline.svg')
copy = ['cp', cassette, b.at('copy.dat')]
copy_s, _ = b.best(copy, b.remove('copy.dat'))
extract = [b.tervano, '/TERVANO', 'Take', '/INPUTID', '0:4', '/REWIND']
extract_s, peak_kib = b.best(extract, b.remove('tape.dat.state', *outputs))
check(extract)
from_image = [b.tervano, '/TERVANO', 'Take', '/INPUTIMG', 'tape.dat']
image_s, image_kib = b.best(from_image, b.remove(*outputs))
cold_copy_s, _ = b.best(copy, cold(b.remove('copy.dat')))
cold_image_s, _ = b.best(from_image, cold(b.remove(*outputs)))
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
EOF_PY
