"""Tape images and tape-to-tape copies, end to end: the program against vdat drives.

Cassettes come from the composer; every check compares whole frames, subcode included.
The first frame a tape-reading job takes is a probe and never stored, so a copy of a
cassette starts with its second frame. TERVANO_TIME_SCALE makes the 2-second settle
cost nothing.
"""

import os
import signal
import subprocess
import time
import unittest

import datcomposer as dc
from datcomposer import Bay, read_frames, run, trace

FAST = {'TERVANO_TIME_SCALE': '1000'}
WRITE = 0x0A


def sample_tape():
    """Lead-in, two programs of different formats with dates and start IDs, lead-out, and
    frames with odd subcode: everything a copy must keep as it stands."""
    tape = dc.lead_in(12)
    tape += dc.program(1, 60, start_id_frames=20, date=(2002, 1, 28, 14, 5, 9, 2))
    tape += dc.program(2, 40, start_abs=dc.time_after(60), rate=dc.RATE_44K, scms=2,
                       error_flags=lambda i: dc.ERROR_LEFT if i == 7 else 0)
    tape += [dc.frame(0x0AA, dc.NO_TIME, dc.NO_TIME, parity_ok=False, audio=b'\x01' * 99)]
    tape += dc.lead_out(10)
    return tape


def short_program(number, count, first_abs=0):
    """Frames of a program with a few audio bytes: quick to compose, still unique."""
    return list(dc.program(number, count, start_abs=dc.time_after(first_abs),
                           audio=lambda i: bytes([number, i & 0xFF]) * 8))


def environment(bay, **extra):
    return dict(os.environ, TERVANO_ASPI=dc.provider_path(), VDAT_CONFIG=bay.path,
                VDAT_TRACE=bay.trace_path, **extra)


def run_as_user(args, bay):
    """Runs the program as an ordinary user, to whom a read-only file is read-only
    (root may write to any file). The bay's folder and files are opened to that user."""
    if os.geteuid() != 0:
        return run(args, bay, env=FAST)
    os.chmod(bay.folder, 0o777)
    for name in os.listdir(bay.folder):
        path = bay.file(name)
        os.chmod(path, os.stat(path).st_mode | 0o066 if name != 'Tape.img' else 0o444)
    completed = subprocess.run([os.environ['TERVANO_BIN']] + args, cwd=bay.folder,
                               env=environment(bay, **FAST), stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, user=65534, group=65534,
                               extra_groups=[], timeout=300)
    return completed.returncode, completed.stdout.decode('latin-1')


def writes(bay, address):
    return [line for line in trace(bay) if line.address == address and line.cdb[0] == WRITE]


class TapeToImage(unittest.TestCase):
    def setUp(self):
        self.bay = Bay()

    def copy(self, tape, *options, stdin=b'', **drive):
        self.bay.add('0:4', cassette=self.bay.cassette('in.dat', tape), **drive)
        return run(['/DAT2IMG', 'Tape', '/INPUTID', '0:4'] + list(options), self.bay,
                   stdin=stdin, env=FAST)

    def image(self):
        return read_frames(self.bay.file('Tape.img'))

    def test_image_and_back_reproduce_every_frame(self):
        tape = sample_tape()
        code, out = self.copy(tape)
        self.assertEqual(code, 0, out)
        self.assertIn('\rSaving DAT tape in IMG file:Tape.img\n', out)
        self.assertEqual(self.image(), tape[1:])

        target = Bay()
        target.add('0:5', cassette=target.cassette('out.dat'))
        os.link(self.bay.file('Tape.img'), target.file('Tape.img'))
        code, out = run(['/IMG2DAT', 'Tape', '/OUTPUTID', '0:5'], target, env=FAST)
        self.assertEqual(code, 0, out)
        self.assertIn('Copying IMG file: Tape.img to DAT tape\n', out)
        self.assertEqual(read_frames(target.file('out.dat')), tape[1:])

    def test_blank_stretch_of_62_frames_ends_the_copy_unless_stopeot(self):
        tape = short_program(1, 10) + [dc.blank_frame()] * 62 + short_program(2, 10, 10)
        code, out = self.copy(tape)
        self.assertEqual(code, 0, out)
        # the blank frame that signalled the end is still stored
        self.assertEqual(self.image(), tape[1:72])

        code, out = self.copy(tape, '/STOPEOT')
        self.assertEqual(code, 0, out)
        self.assertEqual(self.image(), tape[1:])

        shorter = short_program(1, 10) + [dc.blank_frame()] * 61 + short_program(2, 10, 10)
        self.copy(shorter)
        self.assertEqual(self.image(), shorter[1:])

    def test_medium_error_ends_the_copy_silently(self):
        tape = short_program(1, 30)
        code, out = self.copy(tape, read_errors='12')
        self.assertEqual(code, 0, out)
        self.assertEqual(self.image(), tape[1:12])
        self.assertNotIn('fail', out)

    def test_probe_that_cannot_be_read_creates_no_image(self):
        for tape, drive in (([], {}), (short_program(1, 5), {'read_errors': '0'})):
            code, out = self.copy(tape, **drive)
            self.assertEqual(code, 6, out)
            self.assertIn('read audio block failed\n', out)
            self.assertNotIn('Saving', out)
            self.assertFalse(os.path.exists(self.bay.file('Tape.img')))

    def test_esc_ends_the_copy_also_under_stopeot(self):
        tape = short_program(1, 30)
        for options in ((), ('/STOPEOT',)):
            code, out = self.copy(tape, *options, stdin=b'\x1b')
            self.assertEqual(code, 0, out)
            self.assertEqual(self.image(), tape[1:2], options)
            # a key other than ESC does not stop it; the ESC after it does, a frame later
            code, out = self.copy(tape, *options, stdin=b'q\x1b')
            self.assertEqual(self.image(), tape[1:3], options)

    def test_image_that_cannot_be_written(self):
        os.symlink('/dev/full', self.bay.file('Tape.img'))
        code, out = self.copy(short_program(1, 30))
        self.assertEqual(code, 0, out)
        self.assertIn('SCMS=00 Writing Tape.img failed: No space left on device\n', out)

        os.unlink(self.bay.file('Tape.img'))
        os.mkdir(self.bay.file('Tape.img'))
        code, out = self.copy(short_program(1, 30))
        self.assertEqual(code, 6, out)
        self.assertIn('Saving DAT tape in IMG file:Tape.img\nCannot open Tape.img\n', out)


class ImageToTape(unittest.TestCase):
    def setUp(self):
        self.bay = Bay()

    def copy(self, image, *options, stdin=b'', tail=b'', **drive):
        with open(self.bay.file('Tape.img'), 'wb') as out:
            out.write(b''.join(image) + tail)
        self.bay.add('0:5', cassette=self.bay.cassette('out.dat'), **drive)
        if os.path.exists(self.bay.trace_path):
            os.remove(self.bay.trace_path)
        return run(['/IMG2DAT', 'Tape', '/OUTPUTID', '0:5'] + list(options), self.bay,
                   stdin=stdin, env=FAST)

    def tape(self):
        return read_frames(self.bay.file('out.dat'))

    def test_only_whole_records_are_written(self):
        image = short_program(1, 10)
        code, out = self.copy(image, tail=b'\x55' * 100)
        self.assertEqual(code, 0, out)
        self.assertEqual(self.tape(), image)

        code, out = self.copy([])
        self.assertEqual(code, 0, out)
        self.assertEqual(writes(self.bay, '0:5:0'), [])

    def test_read_only_image_is_copied(self):
        image = short_program(1, 10)
        with open(self.bay.file('Tape.img'), 'wb') as out:
            out.write(b''.join(image))
        os.chmod(self.bay.file('Tape.img'), 0o444)
        self.bay.add('0:5', cassette=self.bay.cassette('out.dat'))
        code, out = run_as_user(['/IMG2DAT', 'Tape', '/OUTPUTID', '0:5'], self.bay)
        self.assertEqual(code, 0, out)
        self.assertEqual(self.tape(), image)

    def test_missing_image_and_image_that_cannot_be_read(self):
        self.bay.add('0:5', cassette=self.bay.cassette('out.dat'))
        code, out = run(['/IMG2DAT', 'Tape', '/OUTPUTID', '0:5'], self.bay, env=FAST)
        self.assertEqual(code, 6, out)
        self.assertIn('Copying IMG file: Tape.img to DAT tape\nCannot open Tape.img\n', out)

        os.mkdir(self.bay.file('Tape.img'))
        code, out = run(['/IMG2DAT', 'Tape', '/OUTPUTID', '0:5'], self.bay, env=FAST)
        self.assertEqual(code, 0, out)
        self.assertIn('Copying IMG file: Tape.img to DAT tape\n'
                      'Reading Tape.img failed: Is a directory\n', out)

    def test_tape_that_refuses_frames(self):
        image = short_program(1, 10)
        code, out = self.copy(image, write_protect=1)
        self.assertEqual(code, 0, out)
        self.assertTrue(out.endswith('SCMS=00 write block fail\n\n - closing output drive...\n'), out)
        self.assertEqual(self.tape(), [])
        self.assertEqual(len(writes(self.bay, '0:5:0')), 1)

        code, out = self.copy(image, capacity=4)
        self.assertEqual(code, 0, out)
        self.assertIn('write block fail\n', out)
        self.assertEqual(self.tape(), image[:4])

    def test_esc_and_blank_stretch_end_the_copy(self):
        image = short_program(1, 20)
        code, out = self.copy(image, '/STOPEOT', stdin=b'\x1b')
        self.assertEqual(code, 0, out)
        self.assertEqual(self.tape(), image[:1])

        image = short_program(1, 5) + [dc.blank_frame()] * 70
        code, out = self.copy(image)
        self.assertEqual(self.tape(), image[:67])


class TapeToTape(unittest.TestCase):
    def setUp(self):
        self.bay = Bay()

    def copy(self, tape, *options, stdin=b'', source=None, target=None):
        self.bay.add('0:4', cassette=self.bay.cassette('in.dat', tape), **(source or {}))
        self.bay.add('1:2', vendor='SONY', product='SDT-9000', revision='12.2',
                     cassette=self.bay.cassette('out.dat'), **(target or {}))
        return run(['/DAT2DAT', '/INPUTID', '0:4', '/OUTPUTID', '1:2'] + list(options),
                   self.bay, stdin=stdin, env=FAST)

    def test_copy_between_two_drives(self):
        tape = sample_tape()
        code, out = self.copy(tape)
        self.assertEqual(code, 0, out)
        # the end of the recording is a failed read
        self.assertIn('SCMS=00 block read fail\n', out)
        self.assertEqual(read_frames(self.bay.file('out.dat')), tape[1:])

    def test_equal_addresses_are_refused(self):
        self.bay.add('0:4', cassette=self.bay.cassette('in.dat', short_program(1, 5)))
        code, out = run(['/DAT2DAT', '/INPUTID', '0:4', '/OUTPUTID', '0:4'], self.bay, env=FAST)
        self.assertEqual(code, 2, out)
        self.assertIn('Input and Output IDs must be different \nProblem parsing command line\n',
                      out)
        self.assertEqual(trace(self.bay), [])

    def test_failures_on_either_side(self):
        tape = short_program(1, 20)
        code, out = self.copy(tape, source={'read_errors': '8'})
        self.assertEqual(code, 0, out)
        self.assertIn('block read fail\n', out)
        self.assertEqual(read_frames(self.bay.file('out.dat')), tape[1:8])

        code, out = self.copy(tape, target={'write_protect': 1})
        self.assertEqual(code, 0, out)
        self.assertIn('block write fail\n', out)
        self.assertEqual(read_frames(self.bay.file('out.dat')), [])

        code, out = self.copy([])
        self.assertEqual(code, 6, out)
        self.assertIn('read audio block failed\n', out)

    def test_esc_and_blank_stretch(self):
        tape = short_program(1, 10) + [dc.blank_frame()] * 62 + short_program(2, 10, 10)
        code, out = self.copy(tape, '/STOPEOT', stdin=b'\x1b')
        self.assertEqual(code, 0, out)
        self.assertEqual(read_frames(self.bay.file('out.dat')), tape[1:2])

        code, out = self.copy(tape)
        self.assertEqual(read_frames(self.bay.file('out.dat')), tape[1:72])


class Interruption(unittest.TestCase):
    """Ctrl-C or SIGTERM during a copy ends it the way ESC does: the image holds whole
    frames, the drive is released, the exit code is 0."""

    FRAMES = 4000

    @classmethod
    def setUpClass(cls):
        cls.tape = short_program(1, cls.FRAMES)

    def interrupt(self, sig):
        bay = Bay()
        bay.add('0:4', vendor='SONY', product='SDT-9000', revision='12.2', latency_ms=5,
                cassette=bay.cassette('in.dat', self.tape))
        env = environment(bay, TERVANO_TIME_SCALE='20')
        image = bay.file('Tape.img')
        process = subprocess.Popen([os.environ['TERVANO_BIN'], '/DAT2IMG', 'Tape', '/INPUTID',
                                    '0:4'], cwd=bay.folder, env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE)
        try:
            deadline = time.monotonic() + 60
            while not (os.path.exists(image) and os.path.getsize(image) >= 20 * 5822):
                self.assertLess(time.monotonic(), deadline, 'the copy never got going')
                self.assertIsNone(process.poll(), 'the copy ended before the signal')
                time.sleep(0.01)
            process.send_signal(sig)
            out, _ = process.communicate(timeout=60)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        out = out.decode('latin-1')
        self.assertEqual(process.returncode, 0, out)
        frames = read_frames(image)
        self.assertGreaterEqual(len(frames), 20)
        self.assertLess(len(frames), self.FRAMES - 1)
        self.assertEqual(frames, self.tape[1:1 + len(frames)])
        self.assertTrue(out.endswith(' - closing input drive...\n'
                                     ' - issuing a tape unload...done\n'
                                     ' - setting drive back to data mode...done\n'), out[-300:])
        self.assertEqual(bay.state('in.dat')['density'], 0x13)

    def test_sigint(self):
        self.interrupt(signal.SIGINT)

    def test_sigterm(self):
        self.interrupt(signal.SIGTERM)


if __name__ == '__main__':
    unittest.main()
