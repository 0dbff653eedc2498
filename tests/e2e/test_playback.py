"""Live playback (/WAVEOUT), end to end: the program plays a composed cassette into ALSA's
file device, which takes the audio as fast as it comes and keeps every byte, one file per
rate ("%r" in the file name), so the played stream can be compared byte for byte.

What a track plays: six buffers of primed silence, the PCM a WAV file would hold, and
the last partial buffer completed with silence.
"""

import os
import unittest

import datcomposer as dc

FAST = {'TERVANO_TIME_SCALE': '1000'}
BUFFER = 16384
PLAYING = 'Playing audio track# %d' + ' ' * 52 + '\n'


def played(pcm):
    return bytes(6 * BUFFER) + pcm + bytes(-len(pcm) % BUFFER)


class Playback(unittest.TestCase):
    def play(self, tape, device=None):
        self.bay = dc.Bay()
        self.bay.add('0:4', cassette=self.bay.cassette('tape.dat', tape))
        device = device or 'file:FILE=%s,FORMAT=raw' % self.bay.file('played_%r.raw')
        return dc.run(['/TERVANO', self.bay.file('Take'), '/INPUTID', '0:4', '/WAVEOUT'],
                      self.bay, env=dict(FAST, TERVANO_AUDIO_DEVICE=device))

    def played_at(self, rate_hz):
        with open(self.bay.file('played_%d.raw' % rate_hz), 'rb') as source:
            return source.read()

    def test_each_track_plays_exactly_what_its_file_would_hold_at_its_own_rate(self):
        tape = (list(dc.program(1, 301, long_play=True)) +
                list(dc.program(2, 20, rate=dc.RATE_44K, first_frame_index=301)))
        code, out = self.play(tape)
        self.assertEqual(code, 0, out)
        self.assertIn(PLAYING % 1, out)
        self.assertIn(PLAYING % 2, out)
        self.assertEqual(self.played_at(32000), played(dc.expected_pcm(tape[:301])))
        self.assertEqual(self.played_at(44100), played(dc.expected_pcm(tape[301:])))
        self.assertEqual([f for f in os.listdir(self.bay.folder) if f.startswith('Take')], [])

    def test_a_device_that_cannot_be_opened_ends_the_job_with_exit_6(self):
        code, out = self.play(list(dc.program(1, 10)), device='no_such_tervano_device')
        self.assertEqual(code, 6, out)
        self.assertIn('ALSA device "no_such_tervano_device" cannot be opened: No such file or '
                      'directory; TERVANO_AUDIO_DEVICE names the ALSA device', out)
        self.assertNotIn('Playing audio track#', out)


if __name__ == '__main__':
    unittest.main()
