#!/usr/bin/env python3
"""Builds the demo cassette and the virtual drive bay that holds it.

    scripts/make_demo_cassette.py <folder>

writes <folder>/demo.dat (a cassette of 5822-byte frames, the tape image layout), a blank
cassette <folder>/recorded.dat, and <folder>/bay.ini, a vdat bay with a Sony SDT-9000 at
0:4 holding the demo cassette and an Archive Python at 0:5 holding the blank one (the
demo records its extracted WAV files onto it), and removes what an earlier demo run left
there (drive states, WAV files and the cue file). The cassette, composed
with the test suite's cassette composer, holds a short stretch of blank tape and then
four programs as a DAT recorder writes them, each with its start ID, absolute time,
program time and a date pack, and each a test tone:

    1  48 kHz          A4  440 Hz   350 frames (10.5 s)
    2  48 kHz          C#5 554 Hz   350 frames
    3  44.1 kHz        E5  659 Hz   350 frames
    4  32 kHz long play A5 880 Hz   200 frames (12 s)

followed by blank tape, where the recorded material ends.
"""

import array
import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests',
                                'support'))
import datcomposer as dc  # noqa: E402

LEAD_IN_BLANKS = 30
TAIL_BLANKS = 70
AMPLITUDE = 9000
FADE_SAMPLES = 2000
RECORDED = (2002, 1, 28, 14, 5, 9, 2)  # Monday 28 January 2002, 14:05:09

PROGRAMS = (
    # number, rate, long play, tone in Hz, frames
    (1, dc.RATE_48K, False, 440.0, 350),
    (2, dc.RATE_48K, False, 554.37, 350),
    (3, dc.RATE_44K, False, 659.26, 350),
    (4, dc.RATE_32K, True, 880.0, 200),
)


def tone(rate_hz, hz, pairs_per_frame, frames):
    """A function of the frame index giving that frame's 16-bit stereo PCM: a sine with a
    short fade at both ends, the same in both channels."""
    total = pairs_per_frame * frames

    def frame_pcm(i):
        samples = array.array('h')
        for n in range(i * pairs_per_frame, (i + 1) * pairs_per_frame):
            fade = min(1.0, n / FADE_SAMPLES, (total - n) / FADE_SAMPLES)
            value = int(AMPLITUDE * fade * math.sin(2 * math.pi * hz * n / rate_hz))
            samples.extend((value, value))
        if sys.byteorder != 'little':
            samples.byteswap()
        return samples.tobytes()

    return frame_pcm


def program_frames(number, rate, long_play, hz, count, start_abs):
    pcm_bytes = dc.pcm_bytes_per_frame(rate, long_play)
    pcm = tone(dc.RATE_HZ[rate], hz, pcm_bytes // 4, count)
    audio = (lambda i: dc.encode_lp(pcm(i))) if long_play else pcm
    return list(dc.program(number, count, start_abs=start_abs, rate=rate,
                           long_play=long_play, date=RECORDED, audio=audio))


def demo_tape():
    tape = [dc.blank_frame()] * LEAD_IN_BLANKS
    recorded = 0
    for number, rate, long_play, hz, count in PROGRAMS:
        tape += program_frames(number, rate, long_play, hz, count, dc.time_after(recorded))
        recorded += count
    return tape + [dc.blank_frame()] * TAIL_BLANKS


def clear_earlier_run(folder):
    for name in os.listdir(folder):
        if name.endswith('.state') or name == 'Demo.cue' or (name.startswith('Demo') and
                                                            name.endswith('.wav')):
            os.remove(os.path.join(folder, name))


def main():
    if len(sys.argv) != 2:
        print('usage: make_demo_cassette.py <folder>')
        return 2
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    clear_earlier_run(folder)
    tape = demo_tape()
    dc.write_cassette(os.path.join(folder, 'demo.dat'), tape)
    bay = dc.Bay(folder)
    bay.add('0:4', vendor='SONY', product='SDT-9000', revision='12.2', cassette='demo.dat')
    bay.add('0:5', cassette=bay.cassette('recorded.dat'))
    print('Demo cassette: %s (%d frames), drive bay: %s'
          % (os.path.join(folder, 'demo.dat'), len(tape), bay.path))
    return 0


if __name__ == '__main__':
    sys.exit(main())
