# Seeking before a job, end to end, on a long tape: every kind of target must land on its
# exact frame, which the job then reads (the first samples of a WAV file from a drive, the
# first frames of an image from an image); targets the tape never shows run into its end; a tape
# that stands still fails the seek. The clock, and vdat's winding with it, runs 100 times
# faster.

import unittest

import datcomposer as dc

SCALE = {'TERVANO_TIME_SCALE': '100'}
LEADER = 200  # blank tape before the first program
NOT_FOUND = "Reached end of tape...Drive didn't complete seek\nread audio block failed\n"


# Programs 1-25, then 101-115 (after 10 comes 110 too); the k-th has 40 + 4k frames.
# Cheap to compose: every frame has the same audio but for its first four bytes, its
# position on the tape; the subcode tells programs and times apart.
def long_tape():
    audio = bytes(range(256)) * 22 + bytes(128)
    tape = [dc.blank_frame()] * LEADER
    for k, number in enumerate(list(range(1, 26)) + list(range(101, 116))):
        at = len(tape)
        tape += dc.program(number, 40 + 4 * k, start_abs=dc.time_after(at - LEADER, (0, 58, 30, 0)),
                           audio=lambda i: (at + i).to_bytes(4, 'little') + audio[4:])
    return tape


class Seek(unittest.TestCase):
    def test_every_kind_lands_on_its_frame(self):
        tape, running = long_tape(), [(0, 0, 0, 0)]
        for _ in tape:
            running.append(dc.step_time(running[-1]))
        # One bay for every run: each seek winds from where the last one left the tape.
        bay = dc.Bay().add('0:4', cassette='in.dat', frames=tape, locate_fps=2000)
        bay.cassette('in.img', tape)
        drive, image = ['/TERVANO', 'T', '/INPUTID', '0:4'], ['/DAT2IMG', 'Tape', '/INPUTIMG', 'in.img']
        shows = lambda part, value: lambda n: dc.program_times(tape[n])[part] == value
        clock = lambda part, time: shows(part, dc.time_bytes(time))
        ran = lambda time: lambda n: running[n] == time
        cases = (  # job, seek, heading, what the target frame shows
            (drive, 'PROGNUM 110', 'program number 110', shows(0, 0x110)),
            (image, 'prognum 23', 'program number 23', shows(0, 0x023)),
            (drive, 'ABSTIME 1:0:17:21', 'time 01:00:17:21', clock(1, (1, 0, 17, 21))),
            (image, 'ABSTIME 0:59:8:33', 'time 00:59:08:33', clock(1, (0, 59, 8, 33))),
            (drive, 'RUNTIME 0:1:23:17', 'time 00:01:23:17', ran((0, 1, 23, 17))),
            (image, 'RUNTIME 0:0:44:5', 'time 00:00:44:05', ran((0, 0, 44, 5))),
            # the first programs long enough to show them are the 27th and the 16th
            (drive, 'PROGTIME 0:0:4:10', 'time 00:00:04:10', clock(2, (0, 0, 4, 10))),
            (image, 'PROGTIME 0:0:2:33', 'time 00:00:02:33', clock(2, (0, 0, 2, 33))),
        )
        for job, seek, heading, target_shows in cases:
            with self.subTest(seek, image=job is image):
                code, out = bay.run(job + ['/SEEK'] + seek.split(), stdin=b'\x1b', env=SCALE)
                self.assertEqual(code, 0, out)
                self.assertIn(' - seeking to tape %s\n' % heading, out)
                self.assertNotIn('Seek failed', out)
                target = next(n for n in range(len(tape)) if target_shows(n))
                if job is drive:  # ESC after the first frame stored
                    with open(bay.file('T1.wav'), 'rb') as wav:
                        self.assertEqual(wav.read()[44:], tape[target][:5760])
                else:  # ESC after the first frame read: two frames stored
                    self.assertEqual(bay.frames('Tape.img'), tape[target:target + 2])

    def test_targets_never_shown_and_a_tape_that_stands_still(self):
        cases = (  # source, seek, drive keys, exit, the end of the seek
            ('/INPUTID', 'PROGNUM 116', {}, 6, NOT_FOUND),
            ('/INPUTID', 'ABSTIME 0:59:1:33', {}, 6, NOT_FOUND),  # second 1 has frames 0-32
            ('/INPUTIMG', 'PROGNUM 26', {}, 6, NOT_FOUND),
            # Winding a frame a second through blank tape, the drive shows no time that
            # changes: after 30 seconds the seek gives up, and the job runs.
            ('/INPUTID', 'PROGNUM 1', {'locate_fps': 1}, 0,
             "PROGNUM: aaa, ABSTIME: aa:aa:aa:aa\r\n\nSeek failed 0\nDrive didn't complete seek\n"),
        )
        tape = long_tape()
        for source, seek, keys, exit_code, text in cases:
            with self.subTest(seek, source=source):
                bay = dc.Bay().add('0:4', cassette='in.img', frames=tape, **keys)
                code, out = bay.run(['/DAT2IMG', 'Tape', source, '0:4' if source == '/INPUTID'
                                     else 'in.img', '/SEEK'] + seek.split(), stdin=b'\x1b', env=SCALE)
                self.assertEqual((code, out.count(text)), (exit_code, 1), out)


if __name__ == '__main__':
    unittest.main()
