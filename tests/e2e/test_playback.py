# Live playback (/WAVEOUT), end to end: the program plays a composed cassette into ALSA's
# file device, which takes the audio as fast as it comes and keeps every byte, one file per
# rate ("%r" in the file name), so the played stream can be compared byte for byte: six
# buffers of primed silence, the PCM a WAV file would hold, and the last partial buffer
# completed with silence. (A device that cannot be opened: test_fault_matrix.py.)

import os
import unittest

import datcomposer as dc


class Playback(unittest.TestCase):
    def test_each_track_plays_exactly_what_its_file_would_hold_at_its_own_rate(self):
        tape = list(dc.program(1, 301, long_play=True))
        tape += dc.program(2, 20, rate=dc.RATE_44K, first_frame_index=301)
        bay = dc.Bay().add('0:4', cassette='tape.dat', frames=tape)
        code, out = bay.run(['/TERVANO', 'Take', '/INPUTID', '0:4', '/WAVEOUT'],
                            env={'TERVANO_AUDIO_DEVICE': 'file:FILE=%s,FORMAT=raw' % bay.file('played_%r.raw')})
        self.assertEqual(code, 0, out)
        for track, rate, frames in ((1, 32000, tape[:301]), (2, 44100, tape[301:])):
            self.assertIn('Playing audio track# %d' % track + ' ' * 52 + '\n', out)
            pcm = dc.expected_pcm(frames)
            with open(bay.file('played_%d.raw' % rate), 'rb') as played:
                self.assertEqual(played.read(), bytes(6 * 16384) + pcm + bytes(-len(pcm) % 16384))
        self.assertEqual([f for f in os.listdir(bay.folder) if f.startswith('Take')], [])


if __name__ == '__main__':
    unittest.main()
