"""Tape to WAV extraction, end to end: cassettes composed here, read by the program through
vdat, and the WAV files compared byte for byte with the PCM the composer computes.

The probe frame (or the last frame of the lead-in scan) is never stored, so a file
starts with the second frame read. TERVANO_TIME_SCALE makes the run's waits cost
milliseconds.
"""

import os
import signal
import struct
import subprocess
import time
import unittest

import datcomposer as dc

FAST = {'TERVANO_TIME_SCALE': '1000'}
SPINNER = '|/-\\'


def wav_file(pcm, rate_hz):
    """A WAV file as the program should write it: 44-byte header, then the PCM."""
    header = struct.pack('<4sI8sIHHIIHH4sI', b'RIFF', len(pcm) + 36, b'WAVEfmt ', 16, 1, 2,
                         rate_hz, rate_hz * 4, 4, 16, b'data', len(pcm))
    return header + pcm


def saving_line(track, name):
    return '\n - saving audio track# %d in file:%s              \n' % (track, name)


def tone_frame(spikes_left=(), spikes_right=(), error_flags=0x60):
    """A 48 kHz frame of a slow ramp (no spikes of its own) with dropouts to 0 at the
    given pairs, as a drive shows damaged audio."""
    samples = []
    for m in range(1440):
        left = 3000 + 2 * m
        right = -4000 + 3 * m
        samples.append([0 if m in spikes_left else left, 0 if m in spikes_right else right])
    audio = b''.join(struct.pack('<hh', l, r) for l, r in samples)
    return dc.frame(abs_time=(0, 0, 1, 0), error_flags=error_flags, audio=audio,
                    pack_count=7)


def concealed(pcm, flags):
    """Reference repair of one 16-bit frame: spikes of 500 or more against both neighbours,
    the class (odd or even pairs) chosen from their pattern, each spike of that class set
    to the truncated mean of its neighbours."""
    pairs = [list(struct.unpack_from('<hh', pcm, 4 * m)) for m in range(len(pcm) // 4)]

    def spike(c, m):
        d1 = pairs[m][c] - pairs[m - 1][c]
        d2 = pairs[m + 1][c] - pairs[m][c]
        return (d1 < -500 and d2 > 500) or (d1 > 500 and d2 < -500)

    centres = [m for m in range(1, len(pairs)) if 4 * (m - 1) < len(pcm) - 12]
    counts = {0: [0, 0, 0], 1: [0, 0, 0]}  # channel: [odd, even, small]
    for m in centres:
        for c in (0, 1):
            if spike(c, m):
                counts[c][m % 2 == 0] += 1
                counts[c][2] += abs(pairs[m][c]) < 500
                break
    out = [list(p) for p in pairs]
    channels = {0x20: (1,), 0x21: (0,), 0x22: (1,), 0x40: (0,), 0x48: (0,)}.get(flags, (0, 1))
    for c in channels:
        odd, even, small = counts[c]
        want_odd = small == odd or (small != even and odd > even)
        for m in centres:
            if m % 2 == (1 if want_odd else 0) and spike(c, m):
                total = pairs[m - 1][c] + pairs[m + 1][c]
                out[m][c] = int(total / 2)
    return b''.join(struct.pack('<hh', *p) for p in out)


class Extraction(unittest.TestCase):
    def extract(self, tape, options=(), drive=None, env=None, stdin=b''):
        """Runs /TERVANO on a cassette in a Python drive at 0:4; returns exit code, console
        text and the bay."""
        bay = dc.Bay()
        bay.add('0:4', cassette=bay.cassette('tape.dat', tape), **(drive or {}))
        self.base = bay.file('Take')
        code, out = dc.run(['/TERVANO', self.base, '/INPUTID', '0:4'] + list(options), bay,
                           env=dict(FAST, **(env or {})), stdin=stdin)
        return code, out, bay

    def track(self, n):
        path = '%s%d.wav' % (self.base, n)
        if not os.path.exists(path):
            return None
        with open(path, 'rb') as source:
            return source.read()

    def assertTracks(self, expected):
        """expected: (pcm, rate in Hz) per file, in order; no further file exists."""
        for n, (pcm, rate) in enumerate(expected, 1):
            self.assertEqual(self.track(n), wav_file(pcm, rate), 'track %d' % n)
        self.assertIsNone(self.track(len(expected) + 1))

    def test_a_blank_lead_in_is_scanned_past_and_its_last_frame_not_stored(self):
        tape = [dc.blank_frame()] * 40 + list(dc.program(1, 60))
        code, out, _ = self.extract(tape, ['/REWIND'])
        self.assertEqual(code, 0, out)
        # The probe takes blank frame 0; the scan reads 39 blanks and program frame 0.
        scan = ''.join('\r - scanning past lead-in: %s \r' % SPINNER[n // 2 % 4]
                       for n in range(40))
        self.assertIn(scan + ' - scanning past lead-in: done        \n' +
                      saving_line(1, self.base + '1.wav'), out)
        self.assertTracks([(dc.expected_pcm(tape[41:]), 48000)])

    def test_programs_at_one_rate_make_one_file_or_with_startid_one_each(self):
        # Each start ID comes exactly 300 frames after the start of the track before it.
        programs = [list(dc.program(n, count, rate=dc.RATE_44K, start_id_frames=100,
                                    first_frame_index=400 * n))
                    for n, count in ((1, 301), (2, 300), (3, 40))]
        tape = sum(programs, [])
        code, out, _ = self.extract(tape)
        self.assertEqual(code, 0, out)
        self.assertTracks([(dc.expected_pcm(tape[1:]), 44100)])

        code, out, _ = self.extract(tape, ['/STARTID'])
        self.assertEqual(code, 0, out)
        self.assertTracks([(dc.expected_pcm(programs[0][1:]), 44100),
                           (dc.expected_pcm(programs[1]), 44100),
                           (dc.expected_pcm(programs[2]), 44100)])
        self.assertIn(saving_line(3, self.base + '3.wav'), out)

    def test_a_start_id_within_300_frames_of_the_track_start_is_ignored(self):
        # Program 2 starts 200 frames after the first stored frame, program 3 600 after;
        # the start-ID run of program 2 gives no second edge.
        tape = (list(dc.program(1, 201)) + list(dc.program(2, 400, first_frame_index=201)) +
                list(dc.program(3, 40, first_frame_index=601)))
        code, out, _ = self.extract(tape, ['/STARTID'])
        self.assertEqual(code, 0, out)
        self.assertTracks([(dc.expected_pcm(tape[1:601]), 48000),
                           (dc.expected_pcm(tape[601:]), 48000)])

    def test_an_early_rate_change_restarts_the_track_and_a_late_one_starts_the_next(self):
        early = list(dc.program(1, 101)) + list(dc.program(1, 50, rate=dc.RATE_44K))
        code, out, _ = self.extract(early)
        self.assertEqual(code, 0, out)
        # Only the frames at the new rate are counted, and nothing stale follows them.
        self.assertTracks([(dc.expected_pcm(early[101:]), 44100)])

        late = list(dc.program(1, 501)) + list(dc.program(1, 50, rate=dc.RATE_44K))
        code, out, _ = self.extract(late)
        self.assertEqual(code, 0, out)
        self.assertTracks([(dc.expected_pcm(late[1:501]), 48000),
                           (dc.expected_pcm(late[501:]), 44100)])

    def test_long_play_gives_7680_bytes_a_frame_at_32000(self):
        tape = list(dc.program(1, 12, long_play=True))
        code, out, _ = self.extract(tape)
        self.assertEqual(code, 0, out)
        pcm = b''.join(dc.decode_lp(data[:dc.AUDIO_BYTES]) for data in tape[1:])
        self.assertEqual(len(pcm), 11 * 7680)
        self.assertTracks([(pcm, 32000)])
        self.assertIn('-32k-2-12-SCMS=00 ', out)

    def test_damaged_frames_are_reported_and_repaired_on_request(self):
        damaged = tone_frame(spikes_left=(10, 20, 31), spikes_right=(40, 50))
        tape = list(dc.program(1, 3)) + [damaged] + list(dc.program(1, 3))
        raw = damaged[:5760]
        repaired = concealed(raw, 0x60)
        self.assertNotEqual(repaired, raw)
        report = '\n - Error detected in data buffer ... : LEFT channel: RIGHT channel'

        code, out, _ = self.extract(tape)
        self.assertEqual(code, 0, out)
        self.assertIn(report + '\n', out)
        self.assertTracks([(dc.expected_pcm(tape[1:]), 48000)])

        code, out, _ = self.extract(tape, ['/ERRORCORRECT'])
        self.assertEqual(code, 0, out)
        self.assertIn(report + 'attempting to correct\n', out)
        pcm = dc.expected_pcm(tape[1:3]) + repaired + dc.expected_pcm(tape[4:])
        self.assertTracks([(pcm, 48000)])

    def test_an_sdt9000_drive_reports_damage_without_channels(self):
        tape = list(dc.program(1, 2)) + [tone_frame(error_flags=0x40)]
        code, out, _ = self.extract(tape, drive=dict(vendor='SONY', product='SDT-9000',
                                                     revision='12.2'))
        self.assertEqual(code, 0, out)
        self.assertIn('\n - Error detected in data buffer ... \n', out)

    def test_esc_closes_the_file_with_a_correct_header_also_under_stopeot(self):
        tape = list(dc.program(1, 100))
        # One key is taken per frame stored: ESC after nine other keys ends the tenth pass.
        for options in ([], ['/STOPEOT']):
            code, out, _ = self.extract(tape, options, stdin=b'x' * 9 + b'\x1b')
            self.assertEqual(code, 0, out)
            self.assertTracks([(dc.expected_pcm(tape[1:11]), 48000)])

    def test_the_end_of_the_material_ends_the_job_and_stopeot_reads_on(self):
        # Blank tape carries rate code 0, which must not end or restart a 44.1 kHz track.
        first = list(dc.program(1, 50, rate=dc.RATE_44K))
        second = list(dc.program(2, 50, rate=dc.RATE_44K, first_frame_index=50))
        tape = first + [dc.blank_frame()] * 80 + second
        read_error = len(tape) - 20
        drive = {'read_errors': str(read_error)}

        code, out, _ = self.extract(tape, drive=drive)
        self.assertEqual(code, 0, out)
        # The 62nd frame without subcode ends the job; the 61 before it are stored.
        self.assertTracks([(dc.expected_pcm(tape[1:50 + 61]), 44100)])
        self.assertNotIn('read audio block failed', out)

        code, out, _ = self.extract(tape, ['/STOPEOT'], drive=drive)
        self.assertEqual(code, 0, out)
        self.assertIn('loop2 read audio block failed: 4031100\n', out)
        # The failed read is stored as zeros; the end of the data still ends the job.
        self.assertTrue(out.endswith('loop2 read audio block failed: 4080005\n\r'
                                     '\n - closing input drive...\n'), out[-200:])
        pcm = (dc.expected_pcm(tape[1:read_error]) + bytes(5760) +
               dc.expected_pcm(tape[read_error + 1:]))
        self.assertTracks([(pcm, 44100)])

    def test_a_failed_read_in_mid_track_keeps_the_frames_stored_so_far(self):
        tape = list(dc.program(1, 80, rate=dc.RATE_44K))
        code, out, _ = self.extract(tape, drive={'read_errors': '30'})
        self.assertEqual(code, 0, out)
        self.assertIn('loop2 read audio block failed: 4031100\n', out)
        self.assertTracks([(dc.expected_pcm(tape[1:30]), 44100)])

    def test_a_file_that_cannot_be_created_ends_the_job_with_exit_6(self):
        bay = dc.Bay()
        bay.add('0:4', cassette=bay.cassette('tape.dat', list(dc.program(1, 10))))
        name = bay.file('missing/Take1.wav')
        code, out = dc.run(['/TERVANO', bay.file('missing/Take'), '/INPUTID', '0:4'], bay,
                           env=FAST)
        self.assertEqual(code, 6, out)
        self.assertIn(saving_line(1, name) + 'Cannot open %s\n' % name, out)

    def test_files_split_before_their_riff_length_would_overflow(self):
        # The limit is lowered for the test; a file takes whole frames up to it.
        tape = list(dc.program(1, 26))
        code, out, _ = self.extract(tape, env={'TERVANO_WAV_DATA_LIMIT': str(10 * 5760 + 4)})
        self.assertEqual(code, 0, out)
        self.assertTracks([(dc.expected_pcm(tape[1:11]), 48000),
                           (dc.expected_pcm(tape[11:21]), 48000),
                           (dc.expected_pcm(tape[21:]), 48000)])

    def test_sigterm_ends_the_job_like_esc(self):
        tape = list(dc.program(1, 3000, audio=lambda i: bytes([i & 0xFF]) * 5760))
        bay = dc.Bay()
        bay.add('0:4', cassette=bay.cassette('tape.dat', tape), latency_ms=2)
        base = bay.file('Take')
        env = dict(os.environ, TERVANO_ASPI=dc.provider_path(), VDAT_CONFIG=bay.path, **FAST)
        process = subprocess.Popen([os.environ['TERVANO_BIN'], '/TERVANO', base, '/INPUTID',
                                    '0:4'], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   env=env, cwd=bay.folder)
        # Wait until frames are being stored, then stop the run.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and (not os.path.exists(base + '1.wav') or
                                               os.path.getsize(base + '1.wav') < 44 + 5760):
            time.sleep(0.01)
        process.send_signal(signal.SIGTERM)
        out, _ = process.communicate(timeout=60)
        self.assertEqual(process.returncode, 0, out[-300:])
        with open(base + '1.wav', 'rb') as source:
            data = source.read()
        frames = (len(data) - 44) // 5760
        self.assertTrue(0 < frames < 2999, frames)
        self.assertEqual(data, wav_file(dc.expected_pcm(tape[1:1 + frames]), 48000))


if __name__ == '__main__':
    unittest.main()
