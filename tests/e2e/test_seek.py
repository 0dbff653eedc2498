"""Seeking before a job, end to end: /SEEK with each kind the vdat drive knows, targets it
never shows, a tape that seems to stand still, and the end of the recording.

Every run copies the tape to an image from wherever the seek left it, so the image's
first frame tells where that was.
TERVANO_TIME_SCALE runs the program's clock, and vdat's winding with it, a hundred times
faster: the once-a-second polls, the 30-second stall rule and the 2-second settle cost
milliseconds.
"""

import itertools
import unittest

import datcomposer as dc
from datcomposer import Bay, read_frames, run, trace

SCALED = {'TERVANO_TIME_SCALE': '100'}
PROGRAM_FRAMES = 40


def program_tape(programs):
    """A lead-in, then programs 1..programs of PROGRAM_FRAMES frames each with one running
    absolute time, then a lead-out."""
    tape = dc.lead_in(20)
    for number in range(1, programs + 1):
        first = (number - 1) * PROGRAM_FRAMES
        tape += dc.program(number, PROGRAM_FRAMES, start_abs=dc.time_after(first),
                           audio=lambda i, n=number: bytes([n, i]) * 16)
    return tape + dc.lead_out(20)


class Seek(unittest.TestCase):
    def seek(self, tape, kind, value, source='drive', **drive):
        """Seeks on a cassette in the drive at 0:4, or with source 'image' in the same
        frames as an image file, and copies from there to Tape.img."""
        self.bay = Bay()
        self.bay.add('0:4', cassette=self.bay.cassette('tape.dat', tape), **drive)
        dc.write_cassette(self.bay.file('tape.img'), tape)
        input_args = {'drive': ['/INPUTID', '0:4'], 'image': ['/INPUTIMG', 'tape.img']}[source]
        return run(['/DAT2IMG', 'Tape'] + input_args + ['/SEEK', kind, value], self.bay,
                   env=SCALED)

    def test_each_kind_of_target(self):
        tape = program_tape(4)
        times = dc.program_times
        cases = (
            ('prognum', '3', 40, 'program number 3', bytes([0, 0, 0, 3, 0]),
             lambda n, data: times(data)[0] == 3),
            ('ABSTIME', '0:0:2:5', 400, 'time 00:00:02:05', bytes([0x20, 0, 0, 2, 5]),
             lambda n, data: times(data)[1] == dc.time_bytes((0, 0, 2, 5))),
            ('RUNTIME', '0:0:1:30', 400, 'time 00:00:01:30', bytes([0x40, 0, 0, 1, 0x30]),
             lambda n, data: dc.running_time(n) == (0, 0, 1, 30)),
            ('PROGTIME', '0:0:1:3', 400, 'time 00:00:01:03', bytes([0x60, 0, 0, 1, 3]),
             lambda n, data: times(data)[2] == dc.time_bytes((0, 0, 1, 3))),
        )
        outs = {}
        for (kind, value, fps, heading, locate, shows_target), source in itertools.product(
                cases, ('drive', 'image')):
            with self.subTest(kind=kind, source=source):
                code, out = outs[kind, source] = self.seek(tape, kind, value, source,
                                                           locate_fps=fps)
                self.assertEqual(code, 0, out)
                self.assertNotIn('Seek failed', out)
                self.assertNotIn("Drive didn't complete seek", out)
                self.assertIn(' - seeking to tape %s\n' % heading, out)
                self.assertEqual([line.cdb for line in trace(self.bay) if line.cdb[0] == 0x2B],
                                 [bytes([0x2B, 5, 0]) + locate + bytes(2)] if source == 'drive'
                                 else [])
                target = next(n for n, data in enumerate(tape) if shows_target(n, data))
                self.assertEqual(read_frames(self.bay.file('Tape.img')), tape[target:])
        # 100 frames to wind at 40 a second: the polls on the way show programs 1 and 2
        self.assertRegex(outs['prognum', 'drive'][1],
                         r'   - Present seek position: PROGNUM: 00[12], ABSTIME: 00:00:0\d:\d\d\r')

    def test_target_never_shown_runs_into_the_end_of_data(self):
        tape = program_tape(2)
        # second 1 has frames 0-32 only
        for kind, value, source in (('ABSTIME', '0:0:1:33', 'drive'), ('PROGNUM', '7', 'drive'),
                                    ('PROGNUM', '7', 'image')):
            with self.subTest(kind=kind, source=source):
                code, out = self.seek(tape, kind, value, source, locate_fps=400)
                self.assertIn("Reached end of tape...Drive didn't complete seek\n", out)
                # the job then starts at the end of the recording
                self.assertIn('read audio block failed\n', out)
                self.assertEqual(code, 6, out)

    def test_tape_standing_still_for_30_seconds(self):
        # Winding one frame a second through unrecorded tape, the drive shows no time
        # that changes: to the seek the tape has stopped.
        tape = [dc.blank_frame()] * 200 + list(dc.program(1, 10, audio=lambda i: b'x'))
        code, out = self.seek(tape, 'PROGNUM', '1', locate_fps=1)
        self.assertIn('PROGNUM: aaa, ABSTIME: aa:aa:aa:aa\r\n\nSeek failed 0\n'
                      "Drive didn't complete seek\n", out)
        # A poll a (scaled) second; real time spent in each poll, more under load, makes
        # fewer of them. The exact 30 seconds are measured on a fake clock in the unit tests.
        polls = out.count('   - Present seek position: ')
        self.assertGreaterEqual(polls, 15)
        self.assertLessEqual(polls, 29)
        # the job still runs
        self.assertEqual(code, 0, out)


if __name__ == '__main__':
    unittest.main()
