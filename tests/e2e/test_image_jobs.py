# Tape images and tape-to-tape copies, end to end: what a copy keeps, and the images the
# jobs refuse or cannot open. (How every job ends at every fault: test_fault_matrix.py.)

import os
import unittest

import datcomposer as dc

PROGRAM = list(dc.program(1, 30, audio=lambda i: bytes([1, i]) * 8))


def bay_with(tape=(), image=None):
    """A cassette 'in.dat' at 0:4, a blank SDT-9000 cassette 'out.dat' at 1:2, and the image
    'tape.img' (bytes) in the bay's folder."""
    bay = dc.Bay().add('0:4', cassette='in.dat', frames=tape)
    bay.add('1:2', cassette='out.dat', frames=(), **dc.SDT9000)
    if image is not None:
        with open(bay.file('tape.img'), 'wb') as out:
            out.write(image)
    return bay


class Copies(unittest.TestCase):
    def test_image_and_back_and_tape_to_tape_keep_every_frame(self):
        # Lead-in, two programs of different formats with dates and start IDs, lead-out,
        # and a frame with odd subcode: everything a copy must keep as it stands.
        tape = dc.lead_in(12) + list(dc.program(1, 60, start_id_frames=20, date=(2002, 1, 28, 14, 5, 9, 2)))
        tape += dc.program(2, 40, start_abs=dc.time_after(60), rate=dc.RATE_44K, scms=2,
                           error_flags=lambda i: dc.ERROR_LEFT if i == 7 else 0)
        tape += [dc.frame(0x0AA, dc.NO_TIME, dc.NO_TIME, parity_ok=False, audio=b'\x01' * 99)]
        tape += dc.lead_out(10)
        for args, output, text in (
                ('/DAT2IMG tape /INPUTID 0:4', 'tape.img', '\rSaving DAT tape in IMG file:tape.img\n'),
                ('/IMG2DAT tape /OUTPUTID 1:2', 'out.dat', 'Copying IMG file: tape.img to DAT tape\n'),
                ('/DAT2DAT /INPUTID 0:4 /OUTPUTID 1:2', 'out.dat', 'SCMS=00 \nblock read fail\n')):
            with self.subTest(args):
                bay = bay_with(tape, b''.join(tape))
                code, out = bay.run(args.split())
                self.assertEqual((code, out.count(text)), (0, 1), out)
                self.assertEqual(bay.frames(output), tape)

    def test_a_read_only_image_is_copied(self):
        """As an ordinary user, to whom a read-only file is read-only (root may write to
        any file): the bay's folder and files are opened to that user."""
        bay = bay_with((), b''.join(PROGRAM))
        os.chmod(bay.file('tape.img'), 0o444)
        os.chmod(bay.folder, 0o777)
        for name in set(os.listdir(bay.folder)) - {'tape.img'}:
            os.chmod(bay.file(name), 0o666)
        user = {'user': 65534, 'group': 65534, 'extra_groups': []} if os.geteuid() == 0 else {}
        code, out = bay.run(['/IMG2DAT', 'tape', '/OUTPUTID', '1:2'], **user)
        self.assertEqual(code, 0, out)
        self.assertEqual(bay.frames('out.dat'), PROGRAM)

    def test_images_refused_or_not_opened(self):
        image = b''.join(PROGRAM)
        cut = ['/DAT2IMG', 'cut', '/INPUTIMG', 'tape.img']
        cases = (  # arguments, image bytes, what tape.img is made, exit, text, output and its frames
            (['/IMG2DAT', 'tape', '/OUTPUTID', '1:2'], None, None, 6,
             'Copying IMG file: tape.img to DAT tape\nCannot open tape.img: No such file or directory\n', None),
            (['/IMG2DAT', 'tape', '/OUTPUTID', '1:2'], None, os.mkdir, 6,
             'Cannot open tape.img: Is a directory\n', None),
            (['/IMG2DAT', 'tape', '/OUTPUTID', '1:2'], b'', None, 0, 'Done: 0 files, 0 frames',
             ('out.dat', [])),
            (['/DAT2IMG', 'tape', '/INPUTID', '0:4'], None, os.mkdir, 6,
             'Saving DAT tape in IMG file:tape.img\nCannot open tape.img: Is a directory\n', None),
            (cut, None, None, 6, 'Cannot open tape.img: No such file or directory\n', None),
            (cut + ['/INPUTID', '0:4'], image, None, 2, '/INPUTID and /INPUTIMG both name the input: '
             'give one of them\nProblem parsing command line\n', None),
            (['/IMG2DAT', 'x', '/INPUTIMG', 'tape.img', '/OUTPUTID', '1:2'], image, None, 2,
             '/INPUTIMG is the input of /TERVANO, /DAT2IMG and /DAT2DAT only\n', None),
            (['/DAT2IMG', 'tape', '/INPUTIMG', './tape.img'], image, None, 6,
             'tape.img is the input image ./tape.img: it would be overwritten\n', None),
            (['/DAT2IMG', 'link', '/INPUTIMG', 'tape.img'], image, None, 6,
             'link.img is the input image tape.img: it would be overwritten\n', None),
            (['/TERVANO', 'Take', '/INPUTIMG', 'tape.img'], image, None, 6,
             'Take12.wav is the input image tape.img: it would be overwritten\n', None),
            (['/DAT2DAT', '/INPUTIMG', 'tape.img', '/OUTPUTID', '1:2', '/SEEK', 'ABSTIME', '0:0:0:7'], image,
             None, 0, 'Input image: tape.img\nOutput SCSI adapter 1', ('out.dat', PROGRAM[7:])),
        )
        for args, content, make, exit_code, text, written in cases:
            with self.subTest(args=args, make=make):
                bay = bay_with(PROGRAM, content)
                if content:
                    os.link(bay.file('tape.img'), bay.file('link.img'))
                    os.symlink('tape.img', bay.file('Take12.wav'))
                if make:
                    make(bay.file('tape.img'))
                files = set(os.listdir(bay.folder))
                code, out = bay.run(args)
                self.assertEqual((code, out.count(text)), (exit_code, 1), out)
                if written:
                    self.assertEqual(bay.frames(written[0]), written[1])
                else:  # nothing written at all; the image is never changed
                    made = {n for n in os.listdir(bay.folder) if not n.endswith(('.state', '.log'))}
                    self.assertEqual(made, files)
                if content is not None:
                    with open(bay.file('tape.img'), 'rb') as source:
                        self.assertEqual(source.read(), content)


if __name__ == '__main__':
    unittest.main()
