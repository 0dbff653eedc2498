# Archival records, end to end: one composed tape read by /TERVANO (with /BWF) and by
# /DAT2IMG, and what they leave beside their output: the transfer report, checksums that
# md5sum -c accepts, the timeline picture and the Broadcast Wave chunk, each read back here
# by an independent reader. (A full disk: test_fault_matrix.py.)

import hashlib
import struct
import subprocess
import unittest
import xml.etree.ElementTree as ET

import datcomposer as dc

DATE = (1994, 6, 5, 10, 30, 0, 1)


def t(frames):
    return ':'.join('%02d' % v for v in dc.time_after(frames))


# Program 1 (dated, two frames flagged left, a three-frame 44.1 kHz blip at 60), blank tape,
# program 2 in long play, program 3 at 44.1 kHz with a frame flagged right.
def archive_tape():
    tape = list(dc.program(1, 120, date=DATE, error_flags=lambda i: dc.ERROR_LEFT if i in (7, 8) else 0))
    tape[60:63] = [f[:dc.FORMAT_AT] + bytes([dc.RATE_44K << 2]) + f[dc.FORMAT_AT + 1:] for f in tape[60:63]]
    tape += [dc.blank_frame()] * 30 + list(dc.program(2, 60, start_abs=dc.time_after(150), long_play=True))
    return tape + list(dc.program(3, 40, start_abs=dc.time_after(210), rate=dc.RATE_44K,
                                  error_flags=lambda i: dc.ERROR_RIGHT if i == 5 else 0))


def chunks(data):  # RIFF chunks of a WAV file: {id: (offset of the data, length)}, in order
    found, at = {}, 12
    while at + 8 <= len(data):
        name, length = struct.unpack('<4sI', data[at:at + 8])
        found[name.decode()] = (at + 8, length)
        at += 8 + length + length % 2
    return found


class Archive(unittest.TestCase):
    def run_job(self, args, summary, env=None):
        """Runs the job on the archive tape; checks the summary, the checksums and the
        picture; returns the report's track blocks and damage rows."""
        self.bay = dc.Bay().add('0:4', cassette='tape.dat', frames=archive_tape())
        code, out = self.bay.run(args + ['/INPUTID', '0:4'], env=env)
        self.assertEqual(code, 0, out)
        self.assertIn(summary + '\n\n - closing input drive', out[-400:])
        done = subprocess.run(['md5sum', '-c', args[1] + '.md5'], cwd=self.bay.folder, stdout=subprocess.PIPE)
        self.assertEqual(done.returncode, 0, done.stdout)
        ns = {'s': 'http://www.w3.org/2000/svg'}
        svg = ET.parse(self.bay.file(args[1] + '.timeline.svg')).getroot()
        self.assertEqual(svg.find('s:title', ns).text, summary)
        self.assertEqual([g.find('s:title', ns).text.split(',')[0]
                          for g in svg.iterfind('.//s:g[@class="program"]', ns)],
                         ['program 1', 'program 2', 'program 3'])
        for kind in ('blank', 'damage', 'start-id'):
            self.assertTrue(svg.findall('.//*[@class="%s"]' % kind, ns), kind)
        with open(self.bay.file(args[1] + '.report.txt')) as source:
            text = source.read()
        self.assertTrue(text.endswith('\n\n' + summary + '\n'))
        blocks = [dict(line.split(': ', 1) for line in block.splitlines())
                  for block in text.split('\n\n')[1:] if block.startswith('track: ')]
        damage = text.split('\ndamage: ')[1].split('\n\n')[0].splitlines()[2:]
        return blocks, [row.split() for row in damage]

    def test_wav_files_their_report_and_bext(self):
        # Program 1 fills a file of 100 frames and goes on in the next.
        blocks, damage = self.run_job(
            ['/TERVANO', 'Take', '/BWF'], 'Done: 4 files, 250 frames (00:00:09), 6 damaged frames (0 repaired); '
            'ended at the end of the recording', env={'TERVANO_WAV_DATA_LIMIT': str(100 * 5760)})
        columns = 'file program start end frames rate long_play date damaged'.split()
        self.assertEqual([[b[k] for k in columns] for b in blocks], [
            ['Take1.wav', '1', t(0), t(99), '100', '48000', 'no', '1994-06-05 10:30:00', '5'],
            ['Take2.wav', '1', t(100), t(119), '50', '48000', 'no', '1994-06-05 10:30:00', '0'],
            ['Take3.wav', '2', t(150), t(209), '60', '32000', 'yes', 'none', '0'],
            ['Take4.wav', '3', t(210), t(249), '40', '44100', 'no', 'none', '1']])
        self.assertEqual(damage, [['1', t(7), t(7), 'left', 'no'], ['1', t(8), t(8), 'left', 'no'],
                                  *[['1', t(n), t(n), 'rate', 'no'] for n in (60, 61, 62)],
                                  ['4', t(215), t(5), 'right', 'no']])
        references = set()
        for first, block in zip((0, 100, 150, 210), blocks):
            with open(self.bay.file(block['file']), 'rb') as source:
                data = source.read()
            found = chunks(data)
            self.assertEqual(list(found), ['fmt ', 'bext', 'data'])
            start, length = found['data']
            self.assertEqual((struct.unpack('<I', data[4:8])[0], start + length), (len(data) - 8, len(data)))
            self.assertEqual(hashlib.md5(data[start:]).hexdigest(), block['audio_md5'])
            (at, size), rate = found['bext'], int(block['rate'])
            bext = data[at:at + size]
            self.assertEqual((bext[:256].rstrip(b'\0'), bext[256:288].rstrip(b'\0'),
                              struct.unpack('<Q', bext[338:346])[0], bext[346:348], bext[602:].rstrip(b'\0')),
                             (b'DAT program ' + block['program'].encode(), b'TERVANO', first * rate * 3 // 100,
                              b'\1\0', b'A=PCM,F=%d,W=16,M=stereo,T=DAT tape%s\r\n'
                              % (rate, b', long play' if block['long_play'] == 'yes' else b'')))
            if block['date'] != 'none':
                self.assertEqual(bext[320:338], b'1994-06-0510:30:00')
            references.add(bext[288:320])
        self.assertEqual(len(references), 4)
        # The blip is stored in its track's format: the file holds 48 kHz frames only.
        with open(self.bay.file('Take1.wav'), 'rb') as source:
            self.assertEqual(source.read()[-100 * 5760:], b''.join(f[:5760] for f in archive_tape()[:100]))

    def test_an_image_its_report_and_checksums(self):
        blocks, damage = self.run_job(
            ['/DAT2IMG', 'Tape'], 'Done: 1 file, 250 frames (00:00:09), 3 damaged frames (0 repaired); '
            'ended at the end of the recording')
        self.assertEqual([[b[k] for k in ('file', 'program', 'start', 'end', 'frames')] for b in blocks],
                         [['Tape.img', '1', t(0), t(119), '150'], ['Tape.img', '2', t(150), t(209), '60'],
                          ['Tape.img', '3', t(210), t(249), '40']])
        self.assertEqual([row[:4] for row in damage], [['1', t(7), t(7), 'left'], ['1', t(8), t(8), 'left'],
                                                       ['3', t(215), t(5), 'right']])


if __name__ == '__main__':
    unittest.main()
