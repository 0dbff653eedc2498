#!/usr/bin/env bash
# Whole-job throughput of MPEG recording: a 10-minute MP3 (44.1 kHz stereo, 192 kbit/s,
# made here with lame) is recorded through the virtual drive onto a cassette, against
# the mpg123 command decoding the same file into a WAV file. Reports both times, their
# ratio and the recording's peak resident memory; each figure is the best of three runs.
# Needs lame and mpg123 (Debian packages of those names; mpg123 only for this
# comparison). Not part of the test suite.
#
#     bench/mpeg_record_speed.sh [build dir]     (default: build/normal)
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_setup "${1:-}" lame mpg123
bench_python <<'PYTHON'
import array
import math
import os
import subprocess
import sys
import wave

import datcomposer as dc
from benchlib import Bench

MINUTES = 10
b = Bench(sys.argv)

# One second of a tone sweep, every other second reversed byte for byte (a noise), so the
# encoder has more than a plain tone to code.
second = array.array('h')
for i in range(44100):
    value = int(9000 * math.sin(2 * math.pi * (220 + i / 100) * i / 44100))
    second.extend((value, value // 2))
with wave.open(b.at('source.wav'), 'wb') as out:
    out.setparams((2, 2, 44100, 0, 'NONE', ''))
    for n in range(MINUTES * 60):
        out.writeframes(second.tobytes() if n % 2 else (second.tobytes()[::-1]))
subprocess.run(['lame', '--quiet', '-b', '192', b.at('source.wav'), b.at('long.mp3')], check=True)
os.remove(b.at('source.wav'))
with open(b.at('set.cue'), 'w') as cue:
    cue.write('[FILES]\nFILE_001=long.mp3\n')
bay = dc.Bay(b.work)


def blank_cassette():
    b.remove('tape.dat', 'tape.dat.state')()
    bay.add('0:4', cassette=bay.cassette('tape.dat'))


decode_s, _ = b.best(['mpg123', '-q', '-w', b.at('decoded.wav'), b.at('long.mp3')])
record_s, peak_kib = b.best([b.tervano, '/WAV2DAT', 'set', '/OUTPUTID', '0:4'], blank_cassette)

with wave.open(b.at('decoded.wav')) as decoded:
    pcm_frames = -(-decoded.getnframes() // 1323)
frames = [f for f in bay.frames('tape.dat') if f[5818] == 0x01]
if len(frames) != pcm_frames:
    sys.exit('the recording holds %d program frames, not %d' % (len(frames), pcm_frames))

print('MP3:       %d minutes at 44.1 kHz, %.1f MiB, %d program frames'
      % (MINUTES, os.path.getsize(b.at('long.mp3')) / 2**20, pcm_frames))
print('mpg123:    %.3f s decoding to a WAV file' % decode_s)
print('recording: %.3f s, %.2f x the time of mpg123' % (record_s, record_s / decode_s))
print('peak memory of the recording: %.1f MiB (maximum resident set)' % (peak_kib / 1024))
PYTHON
