"""Recording (/WAV2DAT), end to end: WAV files made here are recorded through vdat, and
every frame of the cassette is compared with a model of what a DAT recorder writes.
TERVANO_LOCAL_TIME fixes the date pack: Monday 28 January 2002, 14:05:09.
"""

import ctypes
import os
import subprocess
import tempfile
import unittest
import wave

import datcomposer as dc

ENV = {'TERVANO_TIME_SCALE': '1000', 'TERVANO_LOCAL_TIME': '2002-01-28 14:05:09'}
DATE = (2002, 1, 28, 14, 5, 9, 2)
HZ = {dc.RATE_48K: 48000, dc.RATE_44K: 44100, dc.RATE_32K: 32000}
DEFAULT_LINES = ('Start IDs will be marked\nSCMS will be set to 00\nAbsolute time will be marked\n'
                 'Program numbers will be marked\n32KHz Long Play (LP) will be used if needed\n'
                 'Time and date will be marked\n\n')


def audio(rate, frames, extra=0, seed=0):
    """(rate, PCM) of a WAV file: whole 16-bit frames at rate plus extra bytes."""
    return rate, dc.test_pcm(seed, rate, 0, frames * dc.pcm_bytes_per_frame(rate) + extra)


def silence(seconds, long_play):
    count = 333 * seconds // 10 if seconds > 0 else 0
    return count // 2 if long_play else count


def model(files, start_ids=True, scms=0, lp=True, date=DATE, silences=(0, 0, 0)):
    """The cassette a recording of files [(number, rate, pcm)] leaves; silences in seconds
    (inter-track, lead-in, lead-out)."""
    tape = [dc.frame(dc.PNO_LEAD_IN, dc.NO_TIME, dc.NO_TIME, index=0, control=0x40)] * 120
    now = [(0, 0, 0, 0)]

    def add(count, pno, prog, control, **keys):
        for _ in range(count):
            tape.append(dc.frame(pno, now[0], prog, control=control, **keys))
            now[0] = dc.step_time(now[0])
            prog = prog and dc.step_time(prog)
        return prog

    long_play = lp and files[0][1] == dc.RATE_32K
    add(silence(silences[1], long_play), 0, (0, 0, 0, 0), 0, rate=files[0][1], long_play=long_play)
    for number, rate, pcm in files:
        long_play, pno, prog, control = lp and rate == dc.RATE_32K, dc.bcd_pno(number), (0,) * 4, 0
        size = dc.pcm_bytes_per_frame(rate, long_play)
        keys = dict(rate=rate, long_play=long_play, scms=scms, date=date, pack_count=7)
        for k in range(0, len(pcm), size):
            window = start_ids and k < 300 * size
            sound = pcm[k:k + size]
            sound = dc.encode_lp(sound.ljust(size, b'\0')) if long_play else sound
            control = 0xC0 if window else 0
            prog = add(1, pno, prog if window else dc.NO_TIME, control, audio=sound, **keys)
        prog = add(silence(silences[0], long_play), pno, prog, control, **keys)
    add(silence(silences[2], long_play), pno, prog, control, **keys)
    return tape + [dc.frame(dc.PNO_LEAD_OUT, dc.NO_TIME, dc.NO_TIME, control=0x40, **keys)] * 300


def mpeg_decode(path):
    """Libmpg123's own decode of a whole MPEG file to 16-bit stereo."""
    lib = ctypes.CDLL('libmpg123.so.0')
    lib.mpg123_new.restype = ctypes.c_void_p
    handle = ctypes.c_void_p(lib.mpg123_new(None, None))
    lib.mpg123_open_fixed(handle, path.encode(), 2, 0xD0)  # MPG123_STEREO, ENC_SIGNED_16
    chunk, done, pcm, result = ctypes.create_string_buffer(1 << 16), ctypes.c_size_t(), b'', 0
    while result in (0, -11):  # MPG123_OK, MPG123_NEW_FORMAT; MPG123_DONE brings the last bytes
        result = lib.mpg123_read(handle, chunk, len(chunk), ctypes.byref(done))
        pcm += chunk.raw[:done.value]
    lib.mpg123_delete(handle)
    return pcm


class Recording(unittest.TestCase):
    def record(self, files, config=(), drive=None, stdin=b'', cue=True):
        """files: {number: (rate, pcm), or the cue's text}; config: CONFIG key=value lines.
        Returns the exit code, the console text and the cassette's frames."""
        self.bay = dc.Bay()
        self.bay.add('0:4', cassette=self.bay.cassette('tape.dat'), **(drive or {}))
        lines = ['[files]']
        for number, value in files.items():
            if isinstance(value, tuple):
                with wave.open(self.bay.file('f%d.wav' % number), 'wb') as out:
                    out.setparams((2, 2, HZ[value[0]], 0, 'NONE', ''))
                    out.writeframes(value[1])
                value = 'f%d.wav' % number
            lines.append('file_%.3d=%s' % (number, value))
        if cue:
            with open(self.bay.file('set.cue'), 'w') as out:
                out.write('\n'.join(lines + ['[Config]'] + list(config)) + '\n')
        code, out = dc.run(['/WAV2DAT', 'set', '/OUTPUTID', '0:4'], self.bay, stdin, ENV)
        return code, out, dc.read_frames(self.bay.file('tape.dat'))

    def assertTape(self, frames, expected):
        wrong = [i for i, (a, b) in enumerate(zip(frames, expected)) if a != b][:1]
        self.assertEqual((len(frames), wrong), (len(expected), []), 'frames, first wrong')

    def test_every_recorded_frame_matches_the_model(self):
        a, b, c = audio(dc.RATE_48K, 350), audio(dc.RATE_44K, 3), audio(dc.RATE_32K, 2, 8)
        tiny, five = audio(dc.RATE_48K, 0, 100, 1), audio(dc.RATE_48K, 4, 100, 2)
        many = {n: tiny for n in range(4, 124)}
        many.update({1: a, 2: b, 3: c, 12: a, 123: b})
        off = ['STARTID=on', '32KHZ_LP=on', 'TIME_DATE=on', 'SCMS=12', 'INTERTRACK_SILENCE=00',
               'LEADIN_SILENCE=-3', 'LEADOUT_SILENCE=abc']
        on = ['SCMS=10', 'ABS_TIME=OFF', 'INTERTRACK_SILENCE=1', 'LEADIN_SILENCE=1',
              'LEADOUT_SILENCE=2']
        cases = (  # name, files, config, keys, files recorded, model settings, console lines
            ('012 and 123', many, [], b'', many, {}, DEFAULT_LINES),
            ('switches off', {1: c, 2: a}, off, b'', {1: c, 2: a},
             dict(start_ids=False, lp=False, date=None),
             'SCMS will be set to 12\nAbsolute time will be marked\nProgram numbers will be '
             'marked\nInter-track silence = 0 seconds\nLead-in silence = -3 seconds\n'
             'Lead-out silence = 0 seconds\n\n'),
            ('silences, a gap', {1: c, 2: b, 4: a}, on, b'', {1: c, 2: b},
             dict(scms=2, silences=(1, 1, 2)), 'Inter-track silence = 1 seconds\nLead-in '
             'silence = 1 seconds\nLead-out silence = 2 seconds\n\n'),
            # One key is read per frame: ESC comes with the second frame of file 2.
            ('ESC', {n: five for n in range(1, 6)}, on, b'x' * 6 + b'\x1b',
             {1: five, 2: (five[0], five[1][:2 * 5760])}, dict(scms=2, silences=(1, 1, 2)), ''),
        )
        for name, files, config, keys, recorded, settings, lines in cases:
            with self.subTest(name):
                code, out, frames = self.record(files, config, stdin=keys)
                self.assertEqual(code, 0, out[-300:])
                self.assertIn('\n' + lines, out)
                self.assertTape(frames, model([(n, r, p) for n, (r, p) in sorted(recorded.items())],
                                              **settings))

    def test_extraction_gives_back_every_sample(self):
        files = {1: audio(dc.RATE_48K, 20, 100), 2: audio(dc.RATE_44K, 20, 4),
                 3: audio(dc.RATE_32K, 40, 8)}
        self.assertEqual(self.record(files)[0], 0)
        code, out = dc.run(['/TERVANO', 'back', '/INPUTID', '0:4', '/REWIND', '/STARTID'],
                           self.bay, env=ENV)
        self.assertEqual(code, 0, out)
        # The first file keeps the lead-in as silence; each ends in zeros.
        for number, (rate, pcm) in files.items():
            lead = 120 * 5760 if number == 1 else 0
            if rate == dc.RATE_32K:  # long play keeps 12-bit codes
                pcm = dc.expected_pcm(f for f in model([(3, rate, pcm)]) if f[5816] & 0x80)
            with open(self.bay.file('back%d.wav' % number), 'rb') as wav:
                data = wav.read()[44:]
            self.assertEqual(data, bytes(lead) + pcm + bytes(len(data) - lead - len(pcm)))

    def test_mpeg_files_come_back_as_decoded(self):
        folder = tempfile.TemporaryDirectory(prefix='tervano-mpeg-')
        self.addCleanup(folder.cleanup)
        script = os.path.join(os.environ['TERVANO_SOURCE'], 'scripts', 'make-mpeg-fixtures')
        subprocess.run([script, folder.name], check=True)
        names = ['tone48.mp2', 'tagged.mp3', 'tone48.wav']
        files = {n: os.path.join(folder.name, name) for n, name in enumerate(names, 1)}
        self.assertEqual(self.record(files)[0], 0)
        code, out = dc.run(['/TERVANO', 'back', '/INPUTID', '0:4', '/REWIND', '/STARTID'],
                           self.bay, env=ENV)
        self.assertEqual(code, 0, out)
        for number, path in files.items():
            pcm = wave.open(path).readframes(1 << 30) if path.endswith('.wav') else mpeg_decode(path)
            lead = 120 * 5760 if number == 1 else 0  # the lead-in, kept as silence
            with open(self.bay.file('back%d.wav' % number), 'rb') as wav:
                data = wav.read()[44:]
            self.assertEqual(data, bytes(lead) + pcm + bytes(len(data) - lead - len(pcm)), path)

    def test_flac_files_at_any_rate(self):
        """A 16-bit FLAC comes back bit for bit, a 96 kHz 24-bit one at 48 kHz and as long."""
        folder = tempfile.TemporaryDirectory(prefix='tervano-flac-')
        self.addCleanup(folder.cleanup)
        at = lambda name: os.path.join(folder.name, name)
        pcm = audio(dc.RATE_48K, 320, 0, 3)[1]  # long enough for a start ID to split
        with wave.open(at('plain.wav'), 'wb') as out:
            out.setparams((2, 2, 48000, 0, 'NONE', ''))
            out.writeframes(pcm)
        subprocess.run(['sox', at('plain.wav'), at('plain.flac')], check=True)
        subprocess.run(['sox', '-n', '-r', '96000', '-b', '24', '-c', '2', at('hi.flac'), 'synth',
                        '2', 'sine', '1000', 'vol', '0.5'], check=True)
        code, out, _ = self.record({1: at('plain.flac'), 2: at('hi.flac')})
        self.assertEqual(code, 0, out)
        self.assertIn('File: %s (96000 Hz, 24 bit, 2 ch) -> 48000 Hz 16 bit, resampled, '
                      'dithered\n' % at('hi.flac'), out)
        code, out = dc.run(['/TERVANO', 'back', '/INPUTID', '0:4', '/REWIND', '/STARTID'],
                           self.bay, env=ENV)
        with open(self.bay.file('back1.wav'), 'rb') as wav:
            data = wav.read()[44:]
        self.assertEqual(data, bytes(120 * 5760) + pcm + bytes(len(data) - 120 * 5760 - len(pcm)))
        with wave.open(self.bay.file('back2.wav')) as wav:  # 96000 samples: 67 frames, lead-out
            self.assertEqual((wav.getframerate(), wav.getnframes()), (48000, (67 + 300) * 1440))
        code, out, frames = self.record({1: at('hi.flac')}, ['RATE=96000'])
        self.assertEqual((code, len(frames)), (6, 0))
        self.assertIn('RATE 96000 is not a tape rate (48000, 44100 or 32000): nothing recorded', out)

    def test_jobs_that_cannot_record_or_end_early(self):
        long = audio(dc.RATE_48K, 400)
        cases = (  # name, files, drive, cue written, exit code, line, frames on tape
            ('missing cue', {}, {}, False, 6, '\nCannot find cue file: set.cue\n', 0),
            ('NONE', {1: 'NONE'}, {}, True, 0, '\n\nno file\n', 0),
            ('write protect', {1: long}, {'write_protect': 1}, True, 6,
             '\nWriting lead-in...fail writing lead-in frame\nTape write protect error\n', 0),
            ('not a tape', {1: long}, {'device_type': 0}, True, 6,
             '\nfailure - drive at 0:4:0 is not a sequential device\n', 0),
            ('full', {1: long}, {'capacity': 300}, True, 5,
             'write block failure: 044d0002\nDone: 1 file, 300 frames written to tape (00:00:09); '
             'ended at a write error: VOLUME OVERFLOW, end of medium detected (0Dh/00h/02h)\n', 300),
            ('missing file', {1: 'nowhere.wav'}, {}, True, 5, 'open file failed\n\n\nWriting '
             'lead-out...done\n\n1 listed file(s) could not be opened\n', 420),
        )
        for name, files, drive, cue, code, line, count in cases:
            with self.subTest(name):
                exit_code, out, frames = self.record(files, drive=drive, cue=cue)
                self.assertEqual(exit_code, code, out)
                self.assertIn(line, out)
                self.assertEqual(len(frames), count)
                if name == 'full':
                    self.assertTape(frames, model([(1,) + long])[:count])


if __name__ == '__main__':
    unittest.main()
