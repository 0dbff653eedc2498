"""Seeking before a job, end to end: /SEEK with each kind the vdat drive knows, targets it
never shows, a tape that seems to stand still, and the end of the recording.

Every run copies the tape to an image from wherever the seek left it, so the image's
first frame tells where that was (the probe frame before it is not stored).
TERVANO_TIME_SCALE runs the program's clock, and vdat's winding with it, a hundred times
faster: the once-a-second polls, the 30-second stall rule and the 2-second settle cost
milliseconds, and the seek sees exactly what it would see at real speed.
"""

import unittest

import datcomposer as dc
from datcomposer import Bay, read_frames, run, trace

SCALED = {'TERVANO_TIME_SCALE': '100'}
PROGRAM_FRAMES = 40
LEAD_IN = 20
LOCATE = 0x2B


def program_tape(programs):
    """A lead-in, then programs 1..programs of PROGRAM_FRAMES frames each with one running
    absolute time, then a lead-out."""
    tape = dc.lead_in(LEAD_IN)
    for number in range(1, programs + 1):
        first = (number - 1) * PROGRAM_FRAMES
        tape += dc.program(number, PROGRAM_FRAMES, start_abs=dc.time_after(first),
                           audio=lambda i, n=number: bytes([n, i]) * 16)
    return tape + dc.lead_out(20)


def first_showing(tape, predicate):
    return next(n for n, data in enumerate(tape) if predicate(n, data))


class Seek(unittest.TestCase):
    def seek(self, tape, kind, value, **drive):
        self.bay = Bay()
        self.bay.add('0:4', cassette=self.bay.cassette('tape.dat', tape), **drive)
        return run(['/DAT2IMG', 'Tape', '/INPUTID', '0:4', '/SEEK', kind, value], self.bay,
                   env=SCALED)

    def image_start(self, tape):
        """The tape position of the image's first frame."""
        first = read_frames(self.bay.file('Tape.img'))[0]
        return tape.index(first)

    def locate_sent(self):
        return [line.cdb for line in trace(self.bay) if line.cdb[0] == LOCATE]

    def assert_seek_done(self, code, out):
        self.assertEqual(code, 0, out)
        self.assertNotIn('Seek failed', out)
        self.assertNotIn("Drive didn't complete seek", out)

    def test_program_number(self):
        tape = program_tape(4)
        code, out = self.seek(tape, 'prognum', '3', locate_fps=40)
        self.assert_seek_done(code, out)
        self.assertIn(' - seeking to tape program number 3\n', out)
        self.assertEqual(self.locate_sent(), [bytes([0x2B, 5, 0, 0, 0, 0, 3, 0, 0, 0])])
        # 100 frames to wind at 40 a second: the polls on the way show programs 1 and 2
        self.assertRegex(out, r'   - Present seek position: PROGNUM: 00[12], '
                              r'ABSTIME: 00:00:0\d:\d\d\r')
        self.assertEqual(self.image_start(tape), LEAD_IN + 2 * PROGRAM_FRAMES + 1)

    def test_program_number_above_nine_ends_through_the_ready_drive(self):
        # The drive gives one decimal digit per byte (0, 1, 2), which never equals 12 as
        # one binary number: the seek ends when the drive reports that it has arrived.
        tape = program_tape(13)
        code, out = self.seek(tape, 'PROGNUM', '12')
        self.assert_seek_done(code, out)
        self.assertEqual(self.locate_sent(), [bytes([0x2B, 5, 0, 0, 0, 0, 0x12, 0, 0, 0])])
        self.assertEqual(self.image_start(tape), LEAD_IN + 11 * PROGRAM_FRAMES + 1)

    def test_each_time_kind(self):
        tape = program_tape(3)
        cases = (
            ('ABSTIME', (0, 0, 2, 5), 0x20,
             lambda n, data: dc.program_times(data)[1] == dc.time_bytes((0, 0, 2, 5))),
            ('RUNTIME', (0, 0, 1, 30), 0x40,
             lambda n, data: dc.running_time(n) == (0, 0, 1, 30)),
            ('PROGTIME', (0, 0, 1, 3), 0x60,
             lambda n, data: dc.program_times(data)[2] == dc.time_bytes((0, 0, 1, 3))),
        )
        for kind, target, kind_byte, shows_target in cases:
            with self.subTest(kind=kind):
                text = '%d:%d:%d:%d' % target
                code, out = self.seek(tape, kind, text, locate_fps=400)
                self.assert_seek_done(code, out)
                self.assertIn(' - seeking to tape time %.2d:%.2d:%.2d:%.2d\n' % target, out)
                self.assertEqual(self.locate_sent(),
                                 [bytes([0x2B, 5, 0, kind_byte]) + dc.time_bytes(target) +
                                  bytes(2)])
                self.assertEqual(self.image_start(tape), first_showing(tape, shows_target) + 1)

    def test_target_never_shown_runs_into_the_end_of_data(self):
        tape = program_tape(2)
        # second 1 has frames 0-32 only
        for kind, value in (('ABSTIME', '0:0:1:33'), ('PROGNUM', '7')):
            with self.subTest(kind=kind):
                code, out = self.seek(tape, kind, value, locate_fps=400)
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
        polls = out.count('   - Present seek position: ')
        self.assertGreaterEqual(polls, 27)
        self.assertLessEqual(polls, 29)
        # the job still runs
        self.assertEqual(code, 0, out)


if __name__ == '__main__':
    unittest.main()
