#!/usr/bin/env bash
# Whole-job throughput of recording: a 30-minute WAV file is recorded through the virtual
# drive onto a blank cassette, once at 48 kHz and once at 32 kHz in long play (where every
# frame is encoded to 12-bit codes), console output to /dev/null. Reports each
# recording's wall time against a plain cp of the same WAV file, and its peak resident
# memory. Each figure is the best of three runs. Needs about 1.2 GB in /tmp. Not part of
# the test suite.
#
#     bench/record_speed.sh [build dir]     (default: build/normal)
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_setup "${1:-}"
bench_python <<'PYEOF'
import os
import struct
import sys

import datcomposer as dc
from benchlib import Bench

MINUTES = 30
b = Bench(sys.argv)


def write_wav(name, rate):
    """MINUTES of 16-bit stereo at rate: sixteen distinct blocks of test audio in turn."""
    blocks = [dc.test_pcm(n, 0, 0, 7680) for n in range(16)]
    size = MINUTES * 60 * rate * 4
    with open(b.at(name), 'wb') as out:
        out.write(struct.pack('<4sI4s4sIHHIIHH4sI', b'RIFF', size + 36, b'WAVE', b'fmt ', 16, 1,
                              2, rate, rate * 4, 4, 16, b'data', size))
        written = 0
        while written < size:
            block = blocks[written // 7680 % 16][:size - written]
            out.write(block)
            written += len(block)
    return b.at(name)


def blank_cassette():
    b.remove('tape.dat.state', 'copy.wav')()
    bay.cassette('tape.dat')


bay = dc.Bay(b.work).add('0:4', cassette='tape.dat')
for rate, label, frame_pcm in ((48000, '48 kHz', 5760), (32000, '32 kHz long play', 7680)):
    wav = write_wav('take.wav', rate)
    with open(b.at('take.cue'), 'w') as cue:
        cue.write('[FILES]\nFILE_001=take.wav\n[CONFIG]\nTIME_DATE=OFF\n')
    copy_s, _ = b.best(['cp', wav, b.at('copy.wav')], blank_cassette)
    record_s, peak_kib = b.best([b.tervano, '/WAV2DAT', 'take', '/OUTPUTID', '0:4'],
                                blank_cassette)
    frames = os.path.getsize(b.at('tape.dat')) // dc.FRAME_BYTES
    program = (os.path.getsize(wav) - 44 + frame_pcm - 1) // frame_pcm
    if frames != 120 + program + 300:
        sys.exit('%s: the cassette holds %d frames, not %d' % (label, frames, 420 + program))
    print('%-17s WAV %.0f MiB, %d program frames: cp %.3f s, recording %.3f s, '
          '%.2f x the time of cp, peak memory %.1f MiB'
          % (label, os.path.getsize(wav) / 2**20, program, copy_s, record_s,
             record_s / copy_s, peak_kib / 1024))
PYEOF
