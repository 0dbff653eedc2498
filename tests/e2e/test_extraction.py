# Tape to WAV extraction, end to end: cassettes composed here, read by the program through
# vdat (and, where the drive plays no part, from the same frames in an image file), and the
# WAV files compared byte for byte with the PCM the composer computes. The first frame
# read (after /REWIND, the first that carries subcode) is stored like every other.

import os
import re
import struct
import unittest

import datcomposer as dc


def wav_file(pcm, rate_hz):  # as the program should write it: 44-byte header, then the PCM
    return struct.pack('<4sI8sIHHIIHH4sI', b'RIFF', len(pcm) + 36, b'WAVEfmt ', 16, 1, 2, rate_hz,
                       rate_hz * 4, 4, 16, b'data', len(pcm)) + pcm


def program(number, count, first=0, **keys):
    return list(dc.program(number, count, first_frame_index=first, **keys))


# 5760 bytes of a slow ramp in each channel, with samples dropped to 0 at the given pairs
# as a drive shows damaged audio. Each pair's neighbours average to its ramp value.
def tone(dropouts_left=(), dropouts_right=()):
    return b''.join(struct.pack('<hh', 0 if m in dropouts_left else 3000 + 2 * m,
                                0 if m in dropouts_right else -4000 + 3 * m) for m in range(1440))


class Extraction(unittest.TestCase):
    def extract(self, tape, options=(), drive=None, env=None, stdin=b'', base='Take', source='/INPUTID',
                before=lambda bay: None):
        """Runs /TERVANO on the tape in a Python drive at 0:4 (keys: drive), after before(bay),
        or with source '/INPUTIMG' on the same frames in an image file. Returns the exit
        code, the console text less the lines that tell a drive run from an image run, and
        the WAV files' contents."""
        self.bay = dc.Bay().add('0:4', cassette='tape.dat', frames=tape, **(drive or {}))
        self.bay.cassette('tape.img', tape)
        before(self.bay)
        code, out = self.bay.run(['/TERVANO', base, source, {'/INPUTID': '0:4'}.get(source, 'tape.img')]
                                 + list(options), env=env, stdin=stdin)
        files = []
        while os.path.exists(self.bay.file('%s%d.wav' % (base, len(files) + 1))):
            with open(self.bay.file('%s%d.wav' % (base, len(files) + 1)), 'rb') as wav:
                files.append(wav.read())
        out = re.sub(r'(Input SCSI adapter .*|Input image: .*|Configuring .*| - (found drive|waiting|setting '
                     r'drive|issuing|rewinding|closing) .*)\n', '', out)
        return code, out, files

    def assertTracks(self, extracted, expected):
        """extracted: the WAV files; expected: (frames, rate code) per file."""
        self.assertEqual(extracted, [wav_file(dc.expected_pcm(frames), dc.RATE_HZ[rate])
                                     for frames, rate in expected])

    def test_where_tracks_begin_and_end(self):
        # Start IDs exactly 300 frames after the start of the track before them.
        at_300 = sum((program(n, count, 400 * n, rate=dc.RATE_44K, start_id_frames=100)
                      for n, count in ((1, 300), (2, 300), (3, 40))), [])
        # Program 2 starts 200 frames after the first stored frame, program 3 600 after.
        at_200 = program(1, 200, 0, start_id_frames=10) + program(2, 400, 200, start_id_frames=10) + \
            program(3, 40, 600, start_id_frames=10)
        early = program(1, 100) + program(1, 50, rate=dc.RATE_44K)
        late = program(1, 501) + program(1, 50, rate=dc.RATE_44K)
        # A short program at another rate between two others is a file of its own.
        short = (program(1, 400, rate=dc.RATE_44K) + program(2, 150, 400) +
                 program(3, 100, 550, rate=dc.RATE_44K))
        # A change of quantization at one rate is no new track.
        mixed = (program(1, 3, rate=dc.RATE_32K) + program(1, 2, 3, long_play=True) +
                 program(1, 2, 5, rate=dc.RATE_32K))
        # Four frames in a row at a new rate are a change; fewer are damage.
        run_of_4 = program(1, 1) + program(1, 4, 1, rate=dc.RATE_44K)
        plain = program(1, 21)
        limit = 'TERVANO_WAV_DATA_LIMIT'
        cases = (  # name, tape, options, environment, keys, [(first, end, rate)...]
            ('one rate, one file', at_300, [], {}, b'', [(0, 640, 1)]),
            ('/STARTID', at_300, ['/STARTID'], {}, b'', [(0, 300, 1), (300, 600, 1), (600, 640, 1)]),
            ('start ID at 200 ignored', at_200, ['/STARTID'], {}, b'', [(0, 600, 0), (600, 640, 0)]),
            ('rate change at 100 restarts', early, [], {}, b'', [(100, 150, 1)]),
            ('rate change at 500 is a new file', late, [], {}, b'', [(0, 501, 0), (501, 551, 1)]),
            ('a short program at another rate is kept', short, [], {}, b'',
             [(0, 400, 1), (400, 550, 0), (550, 650, 1)]),
            ('quantization change', mixed, [], {}, b'', [(0, 7, 2)]),
            ('a run of 4 at a new rate', run_of_4, [], {}, b'', [(1, 5, 1)]),
            # A file takes whole frames up to the (lowered) limit, and at least one; a
            # track of exactly the limit is one file.
            ('exactly the limit', plain[:20], [], {limit: str(10 * 5760)}, b'', [(0, 10, 0), (10, 20, 0)]),
            ('limit below a frame', plain[:3], [], {limit: '100'}, b'', [(0, 1, 0), (1, 2, 0), (2, 3, 0)]),
        )
        outs = {}
        for name, tape, options, env, keys, tracks in cases:
            for source in ('/INPUTID', '/INPUTIMG') if not env else ('/INPUTID',):
                with self.subTest(name, source=source):
                    code, outs[name, source], files = self.extract(tape, options, env=env, stdin=keys,
                                                                   source=source)
                    self.assertEqual(code, 0, outs[name, source])
                    self.assertTracks(files, [(tape[first:end], rate) for first, end, rate in tracks])
            if not env:  # the same text from both, but for the folders
                self.assertEqual(outs[name, '/INPUTID'], outs[name, '/INPUTIMG'])
        self.assertIn('-32k-2-12-SCMS=00 ', outs['quantization change', '/INPUTID'])
        self.assertIn('\n - the sampling rate changed to 44100 Hz within the first 300 frames of track# 1: '
                      'the track starts again, 100 frames dropped\n',
                      outs['rate change at 100 restarts', '/INPUTID'])
        self.assertRegex(outs['/STARTID', '/INPUTIMG'], r'\n - saving audio track# 3 in file:Take3\.wav {14}\n')

    def test_a_blank_lead_in_is_scanned_past_and_its_last_frame_opens_track_1(self):
        tape = [dc.blank_frame()] * 40 + program(1, 60)
        outs = set()
        for source in ('/INPUTID', '/INPUTIMG'):
            code, out, files = self.extract(tape, ['/REWIND'], source=source)
            self.assertEqual(code, 0, out)
            self.assertTracks(files, [(tape[40:], 0)])
            outs.add(out.replace(self.bay.folder, ''))
        # The probe takes blank frame 0; the scan reads 39 blanks and program frame 0.
        scan = ''.join('\r - scanning past lead-in: %s \r' % '|/-\\'[n // 2 % 4] for n in range(40))
        self.assertEqual(len(outs), 1)
        self.assertIn(scan + ' - scanning past lead-in: done        \n\n'
                      ' - saving audio track# 1 in file:Take1.wav' + ' ' * 14 + '\n', outs.pop())

    def test_damaged_frames_are_reported_and_repaired_on_request(self):
        # Left: spikes at even pairs 10 and 20 outnumber the one at odd pair 31, so only
        # the even ones are repaired; right: both spikes are even.
        damaged = dc.frame(error_flags=0x60, audio=tone((10, 20, 31), (40, 50)), pack_count=7)
        tape = program(1, 3) + [damaged] + program(1, 3)
        report = '\n - Error detected in data buffer ... : LEFT channel: RIGHT channel'
        repaired = dc.frame(audio=tone((31,)))
        for options, line, stored in (([], report + '\n', damaged),
                                      (['/ERRORCORRECT'], report + 'attempting to correct\n', repaired)):
            for source in ('/INPUTID', '/INPUTIMG'):
                code, out, files = self.extract(tape, options, source=source)
                self.assertEqual((code, line in out), (0, True), out)
                self.assertTracks(files, [(tape[:3] + [stored] + tape[4:], 0)])
        # An SDT-9000 does not tell the channels.
        code, out, files = self.extract(tape, drive=dc.SDT9000)
        self.assertIn('\n - Error detected in data buffer ... \n', out)

    def test_failed_reads_and_the_end_of_the_material(self):
        # Blank tape carries rate code 0, which must not end or restart a 44.1 kHz track;
        # frames without subcode, and failed reads under /STOPEOT, are stored in the
        # track's format as zeros.
        tape = program(1, 50, rate=dc.RATE_44K) + [dc.blank_frame()] * 80 + program(2, 50, 50, rate=dc.RATE_44K)
        silence = dc.frame(rate=dc.RATE_44K)  # zeros in the track's format
        cases = (  # tape, options, damaged frame, exit, lines, frames stored
            # The 62nd frame without subcode ends the job; the 61 before it are stored.
            (tape, [], 160, 0, ['Done: 1 file, 111 frames'], tape[:50] + [silence] * 61),
            (tape, ['/STOPEOT'], 160, 0, ['SCMS=00 \nloop2 read audio block failed: 4031100\n',
                                          'loop2 read audio block failed: 4080005\n\rDone: 1 file, 180 frames '
                                          '(00:00:05), 1 damaged frame (0 repaired); ended at the end of the '
                                          'recording\n'],
             tape[:50] + [silence] * 80 + tape[130:160] + [silence] + tape[161:]),
            # Without /STOPEOT a failed read ends the job early, in mid-track or after the
            # first frame; with it, a failed read after the first is stored as zeros.
            (tape, [], 1, 5, ['ended at a read error: MEDIUM ERROR, unrecovered read error (03h/11h/00h) '
                              'after 00:00:00:00\n'], tape[:1]),
            (tape[:5], ['/STOPEOT'], 1, 0, [], tape[:1] + [silence] + tape[2:5]),
        )
        for tape, options, position, exit_code, lines, stored in cases:
            with self.subTest(options=options, damaged=position):
                code, out, files = self.extract(tape, options, drive={'read_errors': position})
                self.assertEqual([code] + [out.count(line) for line in lines],
                                 [exit_code] + [1] * len(lines), out)
                self.assertTracks(files, [(stored, dc.RATE_44K)])

    def test_what_cannot_be_written_ends_the_job(self):
        # A folder that cannot take files ends the run before the tape moves.
        code, out, files = self.extract(program(1, 10), base='missing/Take')
        self.assertEqual((code, self.bay.trace()), (6, []), out)
        self.assertIn('\nCannot write to the folder missing/: No such file or directory\n', out)
        # A record that cannot be written is one line; the audio is whole, the exit code 0.
        code, out, files = self.extract(program(1, 10),
                                        before=lambda bay: os.mkdir(bay.file('Take.timeline.svg')))
        self.assertEqual(code, 0, out)
        self.assertIn('4080005\n\rCannot write Take.timeline.svg: Is a directory\nDone: 1 file, ', out)


if __name__ == '__main__':
    unittest.main()
