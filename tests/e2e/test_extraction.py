"""Tape to WAV extraction, end to end: cassettes composed here, read by the program through
vdat, and the WAV files compared byte for byte with the PCM the composer computes.

The first frame read (after /REWIND, the first that carries subcode) is stored like
every other. TERVANO_TIME_SCALE makes the run's waits cost
milliseconds.
"""

import hashlib
import os
import struct
import unittest

import datcomposer as dc

FAST = {'TERVANO_TIME_SCALE': '1000'}
SPINNER = '|/-\\'
RATE_HZ = {dc.RATE_48K: 48000, dc.RATE_44K: 44100, dc.RATE_32K: 32000}


def wav_file(pcm, rate_hz):
    """A WAV file as the program should write it: 44-byte header, then the PCM."""
    header = struct.pack('<4sI8sIHHIIHH4sI', b'RIFF', len(pcm) + 36, b'WAVEfmt ', 16, 1, 2,
                         rate_hz, rate_hz * 4, 4, 16, b'data', len(pcm))
    return header + pcm


def fmt_time(time):
    return ':'.join('%02d' % v for v in time)


def saving_line(track, name):
    return '\n - saving audio track# %d in file:%s              \n' % (track, name)


def pcm(frames):
    return dc.expected_pcm(frames)


def program(number, count, first=0, **keys):
    return list(dc.program(number, count, first_frame_index=first, **keys))


def tone(dropouts_left=(), dropouts_right=()):
    """5760 bytes of a slow ramp in each channel, with samples dropped to 0 at the given
    pairs as a drive shows damaged audio. Each pair's neighbours average to its ramp value."""
    return b''.join(struct.pack('<hh', 0 if m in dropouts_left else 3000 + 2 * m,
                                0 if m in dropouts_right else -4000 + 3 * m)
                    for m in range(1440))


class Extraction(unittest.TestCase):
    def extract(self, tape, options=(), drive=None, env=None, stdin=b'', base='Take',
                before=print, source='drive'):
        """Runs /TERVANO after before(bay) on a cassette in a Python drive at 0:4, or with
        source 'image' on the same frames in an image file; returns exit code and console
        text."""
        self.bay = dc.Bay()  # kept: its folder goes with it
        self.bay.add('0:4', cassette=self.bay.cassette('tape.dat', tape), **(drive or {}))
        before(self.bay)
        self.base = self.bay.file(base)
        self.source = source
        if source == 'image':
            dc.write_cassette(self.bay.file('tape.img'), tape)
        input_args = {'drive': ['/INPUTID', '0:4'], 'image': ['/INPUTIMG', 'tape.img']}[source]
        return dc.run(['/TERVANO', self.base] + input_args + list(options), self.bay,
                      env=dict(FAST, **(env or {})), stdin=stdin)

    def assertSameFromBothSources(self, tape, options=(), stdin=b''):
        """Extracts from a drive and from an image: the same exit code, WAV files and
        console text less the drive lines. Returns the exit code, text and files."""
        runs = []
        for source in ('drive', 'image'):
            code, out = self.extract(tape, options, stdin=stdin, source=source)
            files = {}
            for n in range(1, 1000):
                if not os.path.exists('%s%d.wav' % (self.base, n)):
                    break
                with open('%s%d.wav' % (self.base, n), 'rb') as wav:
                    files[n] = hashlib.sha256(wav.read()).hexdigest()
            runs.append((code, dc.less_drive_lines(out, self.bay.folder), files))
        self.assertEqual(runs[0], runs[1])
        return runs[1]

    def assertTracks(self, expected):
        """expected: (pcm, rate in Hz) per file, in order; no further file exists."""
        for n, (data, rate) in enumerate(expected, 1):
            with open('%s%d.wav' % (self.base, n), 'rb') as source:
                self.assertEqual(source.read(), wav_file(data, rate), 'track %d' % n)
        self.assertFalse(os.path.exists('%s%d.wav' % (self.base, len(expected) + 1)))

    def test_where_tracks_begin_and_end(self):
        # Start IDs exactly 300 frames after the start of the track before them.
        at_300 = [program(n, count, 400 * n, rate=dc.RATE_44K, start_id_frames=100)
                  for n, count in ((1, 300), (2, 300), (3, 40))]
        # Program 2 starts 200 frames after the first stored frame, program 3 600 after.
        at_200 = [frame for n, first, count in ((1, 0, 200), (2, 200, 400), (3, 600, 40))
                  for frame in program(n, count, first, start_id_frames=10)]
        early = program(1, 100) + program(1, 50, rate=dc.RATE_44K)
        late = program(1, 501) + program(1, 50, rate=dc.RATE_44K)
        # A short program at another rate between two others is a file of its own.
        short = (program(1, 400, rate=dc.RATE_44K) + program(2, 150, 400) +
                 program(3, 100, 550, rate=dc.RATE_44K))
        long_play = program(1, 12, long_play=True)
        # A change of quantization at one rate is no new track.
        mixed = (program(1, 3, rate=dc.RATE_32K) + program(1, 2, 3, long_play=True) +
                 program(1, 2, 5, rate=dc.RATE_32K))
        # Four frames in a row at a new rate are a change; fewer are damage.
        run_of_4 = program(1, 1) + program(1, 4, 1, rate=dc.RATE_44K)
        plain = program(1, 100)
        limit = 'TERVANO_WAV_DATA_LIMIT'
        cases = (  # name, tape, options, environment, keys, [(first, end, rate)...]
            ('one rate, one file', sum(at_300, []), [], {}, b'', [(0, 640, 1)]),
            ('/STARTID', sum(at_300, []), ['/STARTID'], {}, b'',
             [(0, 300, 1), (300, 600, 1), (600, 640, 1)]),
            ('start ID at 200 ignored', at_200, ['/STARTID'], {}, b'',
             [(0, 600, 0), (600, 640, 0)]),
            ('rate change at 100 restarts', early, [], {}, b'', [(100, 150, 1)]),
            ('rate change at 500 is a new file', late, [], {}, b'', [(0, 501, 0), (501, 551, 1)]),
            ('a short program at another rate is kept', short, [], {}, b'',
             [(0, 400, 1), (400, 550, 0), (550, 650, 1)]),
            ('long play', long_play, [], {}, b'', [(0, 12, 2)]),
            ('quantization change', mixed, [], {}, b'', [(0, 7, 2)]),
            ('a run of 4 at a new rate', run_of_4, [], {}, b'', [(1, 5, 1)]),
            # One key is taken per frame stored: ESC after nine others ends the tenth pass.
            ('ESC', plain, [], {}, b'x' * 9 + b'\x1b', [(0, 10, 0)]),
            ('ESC under /STOPEOT', plain, ['/STOPEOT'], {}, b'x' * 9 + b'\x1b', [(0, 10, 0)]),
            # A file takes whole frames up to the (lowered) limit, and at least one.
            ('4 GiB split', plain[:26], [], {limit: str(10 * 5760 + 4)}, b'',
             [(0, 10, 0), (10, 20, 0), (20, 26, 0)]),
            ('limit below a frame', plain[:4], [], {limit: '100'}, b'',
             [(0, 1, 0), (1, 2, 0), (2, 3, 0), (3, 4, 0)]),
        )
        outs = {}
        for name, tape, options, env, keys, tracks in cases:
            with self.subTest(name):
                code, out = outs[name] = self.extract(tape, options, env=env, stdin=keys)
                self.assertEqual(code, 0, out)
                self.assertTracks([(pcm(tape[first:end]), RATE_HZ[rate])
                                   for first, end, rate in tracks])
                if not env:
                    self.assertSameFromBothSources(tape, options, keys)
        self.assertEqual(len(pcm(long_play)), 12 * 7680)
        self.assertIn('-32k-2-12-SCMS=00 ', outs['long play'][1])
        self.assertIn('\n - the sampling rate changed to 44100 Hz within the first 300 frames of '
                      'track# 1: the track starts again, 100 frames dropped\n',
                      outs['rate change at 100 restarts'][1])
        self.assertRegex(outs['/STARTID'][1],
                         r'\n - saving audio track# 3 in file:\S+/Take3\.wav {14}\n')

    def test_each_kind_of_seek_starts_the_first_file_at_its_target(self):
        tape = (dc.lead_in(20) + program(1, 40) +
                program(2, 40, 40, start_abs=dc.time_after(40), start_id_frames=5))
        for kind, value, target in (('PROGNUM', '2', 60), ('ABSTIME', '0:0:1:10', 63),
                                    ('RUNTIME', '0:0:2:1', 67), ('PROGTIME', '0:0:0:30', 50)):
            with self.subTest(kind):
                code, out, files = self.assertSameFromBothSources(
                    tape, ['/SEEK', kind, value, '/STARTID'])
                self.assertEqual(code, 0, out)
                self.assertTracks([(pcm(tape[target:]), 48000)])

    def test_a_blank_lead_in_is_scanned_past_and_its_last_frame_opens_track_1(self):
        tape = [dc.blank_frame()] * 40 + program(1, 60)
        code, out, _ = self.assertSameFromBothSources(tape, ['/REWIND'])
        self.assertEqual(code, 0, out)
        # The probe takes blank frame 0; the scan reads 39 blanks and program frame 0.
        scan = ''.join('\r - scanning past lead-in: %s \r' % SPINNER[n // 2 % 4]
                       for n in range(40))
        self.assertIn(scan + ' - scanning past lead-in: done        \n' +
                      saving_line(1, '<folder>/Take1.wav'), out)
        self.assertTracks([(pcm(tape[40:]), 48000)])

    def test_damaged_frames_are_reported_and_repaired_on_request(self):
        # Left: spikes at even pairs 10 and 20 outnumber the one at odd pair 31, so only
        # the even ones are repaired; right: both spikes are even.
        damaged = dc.frame(error_flags=0x60, audio=tone((10, 20, 31), (40, 50)), pack_count=7)
        tape = program(1, 3) + [damaged] + program(1, 3)
        report = '\n - Error detected in data buffer ... : LEFT channel: RIGHT channel'

        code, out, files = self.assertSameFromBothSources(tape)
        self.assertEqual(code, 0, out)
        self.assertIn(report + '\n', out)
        self.assertTracks([(pcm(tape), 48000)])

        code, out, files = self.assertSameFromBothSources(tape, ['/ERRORCORRECT'])
        self.assertEqual(code, 0, out)
        self.assertIn(report + 'attempting to correct\n', out)
        self.assertTracks([(pcm(tape[:3]) + tone((31,)) + pcm(tape[4:]), 48000)])

        # An SDT-9000 does not tell the channels.
        code, out = self.extract(tape, drive=dict(vendor='SONY', product='SDT-9000',
                                                  revision='12.2'))
        self.assertIn('\n - Error detected in data buffer ... \n', out)

    def test_failed_reads_and_the_end_of_the_material(self):
        # Blank tape carries rate code 0, which must not end or restart a 44.1 kHz track.
        tape = (program(1, 50, rate=dc.RATE_44K) + [dc.blank_frame()] * 80 +
                program(2, 50, 50, rate=dc.RATE_44K))
        read_error = len(tape) - 20
        drive = {'read_errors': str(read_error)}

        # Frames without subcode are stored in the track's format: 5292 bytes here.
        silence = bytes(5292)

        code, out = self.extract(tape, drive=drive)
        self.assertEqual(code, 0, out)
        # The 62nd frame without subcode ends the job; the 61 before it are stored.
        self.assertTracks([(pcm(tape[:50]) + silence * 61, 44100)])
        self.assertNotIn('read audio block failed', out)

        code, out = self.extract(tape, ['/STOPEOT'], drive=drive)
        self.assertEqual(code, 0, out)
        self.assertIn('SCMS=00 \nloop2 read audio block failed: 4031100\n', out)
        # The failed read is stored as zeros; the end of the data still ends the job.
        self.assertTrue(out.endswith('loop2 read audio block failed: 4080005\n\rDone: 1 file, '
                                     '180 frames (00:00:05), 1 damaged frame (0 repaired); '
                                     'ended at the end of the recording\n'
                                     '\n - closing input drive...\n'), out[-300:])
        self.assertTracks([(pcm(tape[:50]) + silence * 80 + pcm(tape[130:read_error]) +
                            silence + pcm(tape[read_error + 1:]), 44100)])

        # Without /STOPEOT a failed read ends the job early, in mid-track or after the
        # first frame.
        for position, stored in (('30', tape[:30]), ('1', tape[:1])):
            code, out = self.extract(tape, drive={'read_errors': position})
            self.assertEqual(code, 5, out)
            self.assertIn('loop2 read audio block failed: 4031100\n', out)
            self.assertIn('ended at a read error: MEDIUM ERROR, unrecovered read error '
                          '(03h/11h/00h) after %s\n' % fmt_time(dc.time_after(len(stored) - 1)),
                          out)
            self.assertTracks([(pcm(stored), 44100)])

        # With it, a failed read after the first is stored as zeros too.
        code, out = self.extract(tape[:5], ['/STOPEOT'], drive={'read_errors': '1'})
        self.assertTracks([(pcm(tape[:1]) + silence + pcm(tape[2:5]), 44100)])

    def test_a_folder_that_cannot_take_files_ends_the_run_before_the_tape_moves(self):
        code, out = self.extract(program(1, 10), base='missing/Take')
        self.assertEqual(code, 6, out)
        self.assertIn('\nCannot write to the folder %s/missing/: No such file or directory\n'
                      % self.bay.folder, out)
        self.assertEqual(dc.trace(self.bay), [])

    def test_a_record_that_cannot_be_written_is_one_line(self):
        code, out = self.extract(program(1, 10),
                                 before=lambda bay: os.mkdir(bay.file('Take.timeline.svg')))
        self.assertEqual(code, 5, out)
        self.assertIn('4080005\n\rCannot write %s.timeline.svg: Is a directory\nDone: 1 file, '
                      % self.base, out)


if __name__ == '__main__':
    unittest.main()
