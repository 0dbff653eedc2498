#!/usr/bin/env bash
# Whole-job throughput of /DAT2IMG through vdat: composes a cassette of FRAMES frames
# (default 20,000), copies it to an image with the console going to /dev/null, and sets
# the time against a plain cp of the same cassette file. Best of three runs. Drive
# preparation and the rewind stay in the figure. The aim is 20,000 frames a second, 600
# times real time (a DAT plays 33 1/3 frames a second). Not part of the test suite.
#
#   bench/image_copy.sh [build dir]        (default: build/normal)
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_setup "${1:-}"
FRAMES=${FRAMES:-20000} bench_python <<'EOF_PY'
import os
import sys

import datcomposer as dc
from benchlib import Bench

frames = int(os.environ['FRAMES'])
b = Bench(sys.argv)
tape = dc.program(1, frames, audio=lambda i: i.to_bytes(4, 'little') * 1440)
bay = dc.Bay(b.work)
bay.add('0:4', cassette=bay.cassette('tape.dat', tape))

job_s, peak_kib = b.best([b.tervano, '/DAT2IMG', 'BENCH', '/INPUTID', '0:4'],
                         b.remove('BENCH.img', 'tape.dat.state'))
stored = os.path.getsize(b.at('BENCH.img')) // dc.FRAME_BYTES
if stored != frames:
    sys.exit('image holds %d frames, not %d' % (stored, frames))
copy_s, _ = b.best(['cp', b.at('tape.dat'), b.at('copy.dat')], b.remove('copy.dat'))
fps = stored / job_s
print('frames copied         %d (%d MB)' % (stored, stored * dc.FRAME_BYTES // 1000000))
print('/DAT2IMG through vdat %.3f s  %.0f frames/s  %.0f x real time  peak %.1f MiB'
      % (job_s, fps, fps * 3 / 100, peak_kib / 1024))
print('cp of the cassette    %.3f s' % copy_s)
print('ratio /DAT2IMG : cp   %.2f' % (job_s / copy_s))
EOF_PY
