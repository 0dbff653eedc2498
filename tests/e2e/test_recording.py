# Recording (/WAV2DAT), end to end: audio files made here are recorded through vdat, and
# every frame of the cassette is compared with a model of what a DAT recorder writes. (The
# decoding of MPEG and sound files: the input unit tests.) The date
# pack is the run's local time: Monday 28 January 2002, 14:05:09.

import unittest
import wave

import datcomposer as dc

DATE = (2002, 1, 28, 14, 5, 9, 2)
DEFAULT_LINES = ('Start IDs will be marked\nSCMS will be set to 00\nAbsolute time will be marked\n'
                 'Program numbers will be marked\n32KHz Long Play (LP) will be used if needed\n'
                 'Time and date will be marked\n\nWriting lead-in...done\n\nFile: /')


def audio(rate, frames, extra=0, seed=0):  # (rate, PCM): whole 16-bit frames at rate, plus extra bytes
    return rate, dc.test_pcm(seed, rate, 0, frames * dc.pcm_bytes_per_frame(rate) + extra)


def model(files, start_ids=True, scms=0, lp=True, date=DATE, silences=(0, 0, 0)):
    """The cassette a recording of files [(number, rate, pcm)] leaves; silences in seconds
    (inter-track, lead-in, lead-out), 33.3 frames a second, half that in long play."""
    tape = [dc.frame(dc.PNO_LEAD_IN, dc.NO_TIME, dc.NO_TIME, index=0, control=0x40)] * 120
    now = [(0, 0, 0, 0)]
    silence = lambda seconds, long_play: (333 * seconds // 10 if seconds > 0 else 0) // (2 if long_play else 1)

    def add(count, pno, prog, control, **keys):
        for _ in range(count):
            tape.append(dc.frame(pno, now[0], prog, control=control, **keys))
            now[0], prog = dc.step_time(now[0]), prog and dc.step_time(prog)
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


class Recording(unittest.TestCase):
    def record(self, files, config=(), drive=None, stdin=b'', cue=True):
        """files: {number: (rate, pcm), or the cue's text}; config: CONFIG key=value lines.
        Returns the exit code, the console text and the cassette's frames."""
        self.bay = dc.Bay().add('0:4', cassette='tape.dat', frames=(), **(drive or {}))
        lines = ['[files]']
        for number, value in files.items():
            if isinstance(value, tuple):
                rate, pcm, value = *value, self.bay.file('f%d.wav' % number)
                with wave.open(value, 'wb') as out:
                    out.setparams((2, 2, dc.RATE_HZ[rate], 0, 'NONE', ''))
                    out.writeframes(pcm)
            lines.append('file_%.3d=%s' % (number, value))
        if cue:
            with open(self.bay.file('set.cue'), 'w') as out:
                out.write('\n'.join(lines + ['[Config]'] + list(config)) + '\n')
        code, out = self.bay.run(['/WAV2DAT', 'set', '/OUTPUTID', '0:4'], stdin=stdin)
        return code, out, self.bay.frames('tape.dat')

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
        on = ['SCMS=10', 'ABS_TIME=OFF', 'INTERTRACK_SILENCE=1', 'LEADIN_SILENCE=1', 'LEADOUT_SILENCE=2']
        cases = (  # name, files, config, keys, files recorded, model settings, console lines
            ('012 and 123', many, [], b'', many, {}, DEFAULT_LINES),
            ('switches off', {1: c, 2: a}, off, b'', {1: c, 2: a}, dict(start_ids=False, lp=False, date=None),
             'SCMS will be set to 12\nAbsolute time will be marked\nProgram numbers will be marked\n'
             'Inter-track silence = 0 seconds\nLead-in silence = -3 seconds\nLead-out silence = 0 seconds\n\n'),
            ('silences, a gap', {1: c, 2: b, 4: a}, on, b'', {1: c, 2: b}, dict(scms=2, silences=(1, 1, 2)),
             'Inter-track silence = 1 seconds\nLead-in silence = 1 seconds\nLead-out silence = 2 seconds\n\n'),
            # One key is read per frame: ESC comes with the second frame of file 2.
            ('ESC', {n: five for n in range(1, 6)}, on, b'x' * 6 + b'\x1b',
             {1: five, 2: (five[0], five[1][:2 * 5760])}, dict(scms=2, silences=(1, 1, 2)), ''),
        )
        for name, files, config, keys, recorded, settings, lines in cases:
            with self.subTest(name):
                code, out, frames = self.record(files, config, stdin=keys)
                self.assertEqual(code, 0, out[-300:])
                self.assertIn('\n' + lines, out)
                files = [(n, r, p) for n, (r, p) in sorted(recorded.items())]
                self.assertTape(frames, model(files, **settings))

    def test_jobs_that_cannot_record_or_end_early(self):
        long = audio(dc.RATE_48K, 400)
        cases = (  # files, config, drive, cue written, exit code, line, frames on tape
            ({}, [], {}, False, 6, '\nCannot find cue file: set.cue\n', 0),
            ({1: 'NONE'}, [], {}, True, 0, '\n\nno file\n', 0),
            ({1: long}, [], {'device_type': 0}, True, 6,
             '\nfailure - drive at 0:4:0 is not a sequential device\n', 0),
            ({1: 'nowhere.wav'}, [], {}, True, 5, 'open file failed\n\n\nWriting lead-out...done\n\n'
             '1 listed file(s) could not be opened\n', 420),
            ({1: audio(dc.RATE_48K, 3)}, ['RATE=44100'], {}, True, 0,
             ' (48000 Hz, 16 bit, 2 ch) -> 44100 Hz 16 bit, resampled, dithered\n', 423),
            ({1: long}, ['RATE=96000'], {}, True, 6,
             'RATE 96000 is not a tape rate (48000, 44100 or 32000): nothing recorded', 0),
        )
        for files, config, drive, cue, code, line, count in cases:
            with self.subTest(line):
                exit_code, out, frames = self.record(files, config, drive=drive, cue=cue)
                self.assertEqual((exit_code, line in out, len(frames)), (code, True, count), out)


if __name__ == '__main__':
    unittest.main()
