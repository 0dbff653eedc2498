#!/usr/bin/env bash
# Whole-job throughput of a recording that converts: a 10-minute 96 kHz 24-bit stereo FLAC
# (a tone sweep with noise, made here with sox) is recorded through the virtual drive
# onto a cassette, resampled to 48 kHz and dithered to 16 bits on the way, against sox
# converting the same file to a 48 kHz 16-bit WAV file (sox's default rate quality, with
# its default dither). Reports both times, their ratio and the recording's peak resident
# memory; each figure is the best of three runs. Needs sox. Not part of the test suite.
#
#     bench/convert_record_speed.sh [build dir]     (default: build/normal)
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_setup "${1:-}" sox
bench_python <<'PYTHON'
import os
import subprocess
import sys

import datcomposer as dc
from benchlib import Bench

MINUTES = 10
b = Bench(sys.argv)

subprocess.run(['sox', '-n', '-r', '96000', '-b', '24', '-c', '2', b.at('master.flac'), 'synth',
                str(MINUTES * 60), 'sine', '20-40000', 'whitenoise', 'vol', '0.4'], check=True)
with open(b.at('set.cue'), 'w') as cue:
    cue.write('[FILES]\nFILE_001=master.flac\n')
bay = dc.Bay(b.work)


def blank_cassette():
    b.remove('tape.dat', 'tape.dat.state')()
    bay.add('0:4', cassette=bay.cassette('tape.dat'))


convert = ['sox', '-q', b.at('master.flac'), '-b', '16', b.at('converted.wav'), 'rate', '48000']
convert_s, sox_kib = b.best(convert)
record_s, peak_kib = b.best([b.tervano, '/WAV2DAT', 'set', '/OUTPUTID', '0:4'], blank_cassette)

program = -(-MINUTES * 60 * 48000 // 1440)
frames = [f for f in bay.frames('tape.dat') if f[5818] == 0x01]
if abs(len(frames) - program) > 1:
    sys.exit('the recording holds %d program frames, not %d' % (len(frames), program))

print('FLAC:      %d minutes at 96 kHz, 24 bit, %.1f MiB, %d program frames at 48 kHz'
      % (MINUTES, os.path.getsize(b.at('master.flac')) / 2**20, len(frames)))
print('sox:       %.3f s converting to a 48 kHz 16-bit WAV file, peak memory %.1f MiB'
      % (convert_s, sox_kib / 1024))
print('recording: %.3f s, %.2f x the time of sox' % (record_s, record_s / convert_s))
print('peak memory of the recording: %.1f MiB (maximum resident set)' % (peak_kib / 1024))
PYTHON
