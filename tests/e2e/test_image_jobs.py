"""Tape images and tape-to-tape copies, end to end: the program against vdat drives.

Cassettes come from the composer; every check compares whole frames, subcode included.
The first frame a tape-reading job takes is stored like every other, so a copy of a
cassette starts with its first frame. TERVANO_TIME_SCALE makes the 2-second settle
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
SDT9000 = dict(vendor='SONY', product='SDT-9000', revision='12.2')


def sample_tape():
    """Lead-in, two programs of different formats with dates and start IDs, lead-out, and
    a frame with odd subcode: everything a copy must keep as it stands."""
    tape = dc.lead_in(12)
    tape += dc.program(1, 60, start_id_frames=20, date=(2002, 1, 28, 14, 5, 9, 2))
    tape += dc.program(2, 40, start_abs=dc.time_after(60), rate=dc.RATE_44K, scms=2,
                       error_flags=lambda i: dc.ERROR_LEFT if i == 7 else 0)
    tape += [dc.frame(0x0AA, dc.NO_TIME, dc.NO_TIME, parity_ok=False, audio=b'\x01' * 99)]
    return tape + dc.lead_out(10)


def short_program(number, count, first_abs=0):
    """Frames of a program with a few audio bytes: quick to compose, still unique."""
    return list(dc.program(number, count, start_abs=dc.time_after(first_abs),
                           audio=lambda i: bytes([number, i & 0xFF]) * 8))


PROGRAM = short_program(1, 30)
BLANK_STRETCH = short_program(1, 10) + [dc.blank_frame()] * 62 + short_program(2, 10, 10)


def environment(bay, **extra):
    return dict(os.environ, TERVANO_ASPI=dc.provider_path(), VDAT_CONFIG=bay.path,
                VDAT_TRACE=bay.trace_path, **extra)


class Copies(unittest.TestCase):
    """Runs one job per call in a fresh bay: a cassette 'in.dat' at 0:4 and a blank
    SDT-9000 cassette 'out.dat' at 1:2, the image 'Tape.img' in the bay's folder."""

    def job(self, mode, frames=(), *options, image=None, stdin=b'', drive=None):
        """frames: the input cassette's, or for /IMG2DAT the image's (frames or bytes);
        image: a function that makes Tape.img from its path instead. drive: vdat keys for
        both drives."""
        self.bay = Bay()
        tape = () if mode == '/IMG2DAT' else frames
        self.bay.add('0:4', cassette=self.bay.cassette('in.dat', tape), **(drive or {}))
        self.bay.add('1:2', cassette=self.bay.cassette('out.dat'), **SDT9000, **(drive or {}))
        if image:
            image(self.bay.file('Tape.img'))
        elif mode == '/IMG2DAT':
            with open(self.bay.file('Tape.img'), 'wb') as out:
                out.write(frames if isinstance(frames, bytes) else b''.join(frames))
        args = {'/DAT2IMG': ['Tape', '/INPUTID', '0:4'], '/IMG2DAT': ['Tape', '/OUTPUTID', '1:2'],
                '/DAT2DAT': ['/INPUTID', '0:4', '/OUTPUTID', '1:2']}[mode]
        return run([mode] + args + list(options), self.bay, stdin=stdin, env=FAST)

    def frames(self, name):
        return read_frames(self.bay.file(name))

    def test_image_and_back_and_tape_to_tape_reproduce_every_frame(self):
        tape = sample_tape()
        code, out = self.job('/DAT2IMG', tape)
        self.assertEqual(code, 0, out)
        self.assertIn('\rSaving DAT tape in IMG file:Tape.img\n', out)
        image = b''.join(self.frames('Tape.img'))
        self.assertEqual(self.frames('Tape.img'), tape)

        code, out = self.job('/IMG2DAT', image)
        self.assertEqual(code, 0, out)
        self.assertIn('Copying IMG file: Tape.img to DAT tape\n', out)
        self.assertEqual(self.frames('out.dat'), tape)
        code, out = self.job('/DAT2IMG', self.frames('out.dat'))
        self.assertEqual(b''.join(self.frames('Tape.img')), image)

        code, out = self.job('/DAT2DAT', tape)
        self.assertEqual(code, 0, out)
        self.assertIn('SCMS=00 \nblock read fail\n', out)  # the end of the recording
        self.assertEqual(self.frames('out.dat'), tape)

    def test_how_each_copy_ends(self):
        esc, stopeot = b'\x1b', ('/STOPEOT',)
        cases = (  # mode, tape or image, options, drive keys, keys, exit, written, text
            # The blank frame that signals the end is still written.
            ('/DAT2IMG', BLANK_STRETCH, (), {}, b'', 0, BLANK_STRETCH[:72], None),
            ('/DAT2IMG', BLANK_STRETCH, stopeot, {}, b'', 0, BLANK_STRETCH, None),
            ('/DAT2DAT', BLANK_STRETCH, (), {}, b'', 0, BLANK_STRETCH[:72], None),
            ('/IMG2DAT', BLANK_STRETCH, (), {}, b'', 0, BLANK_STRETCH[:72],
             '\nEnd of recording: 10 more frames of Tape.img not written (/STOPEOT writes them)\n'),
            ('/IMG2DAT', BLANK_STRETCH, stopeot, {}, b'', 0, BLANK_STRETCH, None),
            ('/DAT2IMG', PROGRAM, (), {}, esc, 0, PROGRAM[:2], None),
            ('/DAT2IMG', PROGRAM, stopeot, {}, esc, 0, PROGRAM[:2], None),
            # another key does not stop a copy; the ESC after it does, a frame later
            ('/DAT2IMG', PROGRAM, (), {}, b'q' + esc, 0, PROGRAM[:3], None),
            ('/IMG2DAT', PROGRAM, stopeot, {}, esc, 0, PROGRAM[:1], None),
            ('/DAT2DAT', PROGRAM, stopeot, {}, esc, 0, PROGRAM[:2], None),
            # A damaged frame ends a copy early, or with /STOPEOT is left out; the end of
            # the recording ends an image quietly.
            ('/DAT2IMG', PROGRAM, (), {'read_errors': '12'}, b'', 5, PROGRAM[:12],
             'SCMS=00 \nread audio block failed: 04031100\n'),
            ('/DAT2IMG', PROGRAM, stopeot, {'read_errors': '12'}, b'', 0,
             PROGRAM[:12] + PROGRAM[13:],
             'read audio block failed: 04031100\n\rPRG:01-A:00:00:00:13'),
            ('/DAT2DAT', PROGRAM, (), {'read_errors': '8'}, b'', 5, PROGRAM[:8],
             'block read fail\n'),
            ('/DAT2DAT', PROGRAM, stopeot, {'read_errors': '8'}, b'', 0, PROGRAM[:8] + PROGRAM[9:],
             'block read fail\n\rPRG:01-A:00:00:00:09'),
            ('/DAT2IMG', [], (), {}, b'', 6, None, 'read audio block failed\n'),
            ('/DAT2DAT', [], (), {}, b'', 6, [], 'read audio block failed\n'),
            ('/IMG2DAT', b''.join(PROGRAM[:10]) + b'\x55' * 100, (), {}, b'', 0, PROGRAM[:10],
             None),
            ('/IMG2DAT', b'', (), {}, b'', 0, [], None),
            ('/IMG2DAT', PROGRAM[:10], (), {'write_protect': 1}, b'', 5, [],
             'SCMS=00 \nwrite block fail\nDone: 0 files, 0 frames (00:00:00), 0 damaged frames '
             '(0 repaired); ended at a write error: DATA PROTECT, write protected (07h/27h/00h)\n'),
            ('/IMG2DAT', PROGRAM[:10], (), {'capacity': 4}, b'', 5, PROGRAM[:4],
             'write block fail\n'),
            ('/DAT2DAT', PROGRAM, (), {'write_protect': 1}, b'', 5, [], 'block write fail\n'),
        )
        for mode, frames, options, drive, keys, exit_code, written, text in cases:
            with self.subTest(mode=mode, options=options, drive=drive, keys=keys):
                code, out = self.job(mode, frames, *options, stdin=keys, drive=drive)
                self.assertEqual(code, exit_code, out)
                output = 'Tape.img' if mode == '/DAT2IMG' else 'out.dat'
                if written is None:
                    self.assertFalse(os.path.exists(self.bay.file(output)))
                else:
                    self.assertEqual(self.frames(output), written)
                if text:
                    self.assertEqual(out.count(text), 1, out)
                elif mode != '/DAT2DAT':
                    self.assertNotIn('fail', out)

    def test_read_only_image_is_copied(self):
        """Runs as an ordinary user, to whom a read-only file is read-only (root may write
        to any file). The bay's folder and files are opened to that user."""
        self.job('/IMG2DAT', PROGRAM[:10])
        os.chmod(self.bay.file('Tape.img'), 0o444)
        args = ['/IMG2DAT', 'Tape', '/OUTPUTID', '1:2']
        if os.geteuid() != 0:
            code, out = run(args, self.bay, env=FAST)
        else:
            os.chmod(self.bay.folder, 0o777)
            for name in os.listdir(self.bay.folder):
                if name != 'Tape.img':
                    os.chmod(self.bay.file(name), 0o666)
            completed = subprocess.run(
                [os.environ['TERVANO_BIN']] + args, cwd=self.bay.folder,
                env=environment(self.bay, **FAST), stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE, user=65534, group=65534, extra_groups=[], timeout=300)
            code, out = completed.returncode, completed.stdout.decode('latin-1')
        self.assertEqual(code, 0, out)
        self.assertEqual(self.frames('out.dat'), PROGRAM[:10])

    def test_image_that_cannot_be_opened_read_or_written(self):
        def nothing(path):
            pass

        def full(path):
            os.symlink('/dev/full', path)
        cases = (
            ('/IMG2DAT', nothing, 6,
             'Copying IMG file: Tape.img to DAT tape\nCannot open Tape.img: No such file or directory\n'),
            ('/IMG2DAT', os.mkdir, 6,
             'Copying IMG file: Tape.img to DAT tape\nCannot open Tape.img: Is a directory\n'),
            ('/DAT2IMG', os.mkdir, 6,
             'Saving DAT tape in IMG file:Tape.img\nCannot open Tape.img: Is a directory\n'),
            # An image that never got a frame is removed.
            ('/DAT2IMG', full, 5, 'SCMS=00 \nWriting Tape.img failed: No space left on device\n'),
        )
        for mode, make_image, exit_code, message in cases:
            with self.subTest(mode=mode, image=make_image):
                code, out = self.job(mode, PROGRAM, image=make_image)
                self.assertEqual(code, exit_code, out)
                self.assertIn(message, out)
                self.assertEqual(os.path.lexists(self.bay.file('Tape.img')), code == 6 and
                                 make_image != nothing)

    def test_equal_addresses_are_refused(self):
        self.bay = Bay()
        code, out = run(['/DAT2DAT', '/INPUTID', '0:4', '/OUTPUTID', '0:4'], self.bay, env=FAST)
        self.assertEqual(code, 2, out)
        self.assertIn('Input and Output IDs must be different \nProblem parsing command line\n',
                      out)
        self.assertEqual(trace(self.bay), [])


class ImageInput(unittest.TestCase):
    """/INPUTIMG: the image 'tape.img' read in place of the input drive; it is never
    changed, whatever the job does."""

    def test_what_an_image_input_refuses_warns_and_copies(self):
        image = b''.join(PROGRAM)
        cut = ['/DAT2IMG', 'cut', '/INPUTIMG', 'tape.img']
        # arguments, image bytes (None: no image), exit, text, (output, its frames) or None:
        # nothing written at all
        cases = (
            (cut, image[:-5822] + image[-100:], 0,
             'Input image: tape.img\nWarning: tape.img ends in 100 bytes that are no whole '
             'frame; read up to frame 29\n', ('cut.img', PROGRAM[:29])),
            (cut + ['/SEEK', 'PROGNUM', '2'], image, 6, 'Reached end of tape...Drive didn\'t '
             'complete seek\nread audio block failed\n', None),
            (cut, None, 6, 'Cannot open tape.img: No such file or directory\n', None),
            (cut + ['/INPUTID', '0:4'], image, 2, '/INPUTID and /INPUTIMG both name the input: '
             'give one of them\nProblem parsing command line\n', None),
            (['/IMG2DAT', 'x', '/INPUTIMG', 'tape.img', '/OUTPUTID', '1:2'], image, 2,
             '/INPUTIMG is the input of /TERVANO, /DAT2IMG and /DAT2DAT only\n', None),
            (['/DAT2IMG', 'tape', '/INPUTIMG', './tape.img'], image, 6,
             'tape.img is the input image ./tape.img: it would be overwritten\n', None),
            (['/DAT2IMG', 'link', '/INPUTIMG', 'tape.img'], image, 6,
             'link.img is the input image tape.img: it would be overwritten\n', None),
            (['/TERVANO', 'Take', '/INPUTIMG', 'tape.img'], image, 6,
             'Take12.wav is the input image tape.img: it would be overwritten\n', None),
            (['/DAT2DAT', '/INPUTIMG', 'tape.img', '/OUTPUTID', '1:2', '/SEEK', 'ABSTIME',
              '0:0:0:7'], image, 0, 'Input image: tape.img\nOutput SCSI adapter 1', ('out.dat',
                                                                              PROGRAM[7:])),
        )
        for args, content, exit_code, text, written in cases:
            with self.subTest(args=args):
                bay = Bay()
                bay.add('1:2', cassette=bay.cassette('out.dat'), **SDT9000)
                if content is not None:
                    with open(bay.file('tape.img'), 'wb') as out:
                        out.write(content)
                    os.link(bay.file('tape.img'), bay.file('link.img'))
                    os.symlink('tape.img', bay.file('Take12.wav'))
                files = set(os.listdir(bay.folder))
                code, out = run(args, bay, env=FAST)
                self.assertEqual(code, exit_code, out)
                self.assertEqual(out.count(text), 1, out)
                if written:
                    self.assertEqual(read_frames(bay.file(written[0])), written[1])
                else:
                    self.assertEqual(set(os.listdir(bay.folder)), files)
                if content is not None:
                    with open(bay.file('tape.img'), 'rb') as source:
                        self.assertEqual(source.read(), content)


def default_stop_signals():
    """A runner started in the background passes these on ignored, and the program keeps
    an ignored signal ignored: the test wants the user's terminal behaviour."""
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_DFL)


class Interruption(unittest.TestCase):
    """Ctrl-C, SIGTERM or SIGHUP during a copy ends it the way ESC does: the image holds whole
    frames, the drive is released, and the exit code is 128 + the signal's number."""

    FRAMES = 4000

    def test_sigint_sigterm_and_sighup(self):
        tape = short_program(1, self.FRAMES)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(sig=sig):
                self.interrupt(tape, sig)

    def interrupt(self, tape, sig):
        bay = Bay()
        bay.add('0:4', latency_ms=5, cassette=bay.cassette('in.dat', tape), **SDT9000)
        image = bay.file('Tape.img')
        process = subprocess.Popen([os.environ['TERVANO_BIN'], '/DAT2IMG', 'Tape', '/INPUTID',
                                    '0:4'], cwd=bay.folder, stdin=subprocess.DEVNULL,
                                   env=environment(bay, TERVANO_TIME_SCALE='20'),
                                   stdout=subprocess.PIPE, preexec_fn=default_stop_signals)
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
        self.assertEqual(process.returncode, 128 + sig, out)
        frames = read_frames(image)
        self.assertGreaterEqual(len(frames), 20)
        self.assertLess(len(frames), self.FRAMES)
        self.assertEqual(frames, tape[:len(frames)])
        self.assertTrue(out.endswith('ended by %s\n\n - closing input drive...\n'
                                     ' - issuing a tape unload...done\n'
                                     ' - setting drive back to data mode...done\n' % sig.name),
                        out[-300:])
        self.assertEqual(bay.state('in.dat')['density'], 0x13)


if __name__ == '__main__':
    unittest.main()
