"""The cassette composer checked on its own rules: time codes, long-play codes and their
interleave, and the frame layout, against values worked out by hand from the frame format.
That the virtual drive hands its frames and times to the program unchanged shows in the
other end-to-end tests, which compare what the program stored with what was composed.
"""

import unittest

import datcomposer as dc


class TimeCodes(unittest.TestCase):
    def test_seconds_have_33_or_34_frames(self):
        steps = [((0, 0, 1, 32), (0, 0, 2, 0)), ((0, 0, 2, 32), (0, 0, 2, 33)),
                 ((0, 0, 2, 33), (0, 0, 3, 0)), ((0, 0, 59, 33), (0, 1, 0, 0)),
                 ((0, 59, 59, 33), (1, 0, 0, 0)), ((99, 59, 59, 33), (100, 0, 0, 0))]
        for before, after in steps:
            self.assertEqual(after, dc.step_time(before))
        self.assertEqual((0, 0, 3, 0), dc.time_after(100))
        self.assertEqual((0, 1, 0, 0), dc.time_after(2000))
        self.assertEqual(b"\xa0\x00\x00\x00", dc.time_bytes((100, 0, 0, 0)))
        self.assertEqual(b"\xaa\xaa\xaa\xaa", dc.time_bytes(dc.NO_TIME))


class LongPlay(unittest.TestCase):
    def test_interleave_is_the_documented_permutation(self):
        table = dc.LP_INTERLEAVE
        self.assertEqual([1, 0, 9, 5, 4, 13, 8, 17, 16, 12, 21, 20], table[:12])
        self.assertEqual([3, 2, 11, 7, 6, 15, 10, 19, 18, 14, 23, 22], table[2880:2892])
        self.assertEqual([5739, 5738, 5747, 5743, 5742, 5751, 5746, 5755, 5754, 5750, 5759,
                          5758], table[-12:])
        self.assertEqual(list(range(5760)), sorted(table))

    def test_codes(self):
        for code, sample in [(511, 511), (512, 512), (767, 1022), (768, 1024), (2047, 32704),
                             (-513, -514), (-2048, -32768), (4095, -1)]:
            self.assertEqual(sample, dc.lp_expand(code), code)
        for sample, code in [(1023, 767), (32767, 2047), (-1, -1), (-513, -513),
                             (-1024, -768), (-32768, -2048)]:
            self.assertEqual(code, dc.lp_compress(sample), sample)
        for code in range(-2048, 2048):
            self.assertEqual(code, dc.lp_compress(dc.lp_expand(code)))

    def test_frames_encode_and_decode(self):
        area = bytearray(5760)
        area[0], area[1] = 0xF0, 0x7F
        pcm = dc.decode_lp(area)
        self.assertEqual(32704, int.from_bytes(pcm[0:2], "little", signed=True))
        self.assertEqual(0, int.from_bytes(pcm[2:4], "little", signed=True))
        samples = [1000, 1001, 20000, -20000, 0, -1]
        pcm = b"".join(v.to_bytes(2, "little", signed=True) for v in samples)
        pcm += bytes(7680 - len(pcm))
        back = dc.decode_lp(dc.encode_lp(pcm))
        self.assertEqual([1000, 1000, 19968, -20032, 0, -1],
                         [int.from_bytes(back[2 * i:2 * i + 2], "little", signed=True)
                          for i in range(len(samples))])


class Frames(unittest.TestCase):
    def test_layout_of_a_composed_frame(self):
        data = dc.frame(0x123, (0, 12, 34, 5), (0, 2, 11, 30), index=2,
                        control=dc.CONTROL_START_ID_WINDOW,
                        date=(2002, 1, 28, 14, 5, 9, 2), rate=dc.RATE_44K, channels=1,
                        scms=2, error_flags=dc.ERROR_LEFT, audio=b"\x01\x02")
        self.assertEqual(dc.FRAME_BYTES, len(data))
        self.assertEqual(b"\x01\x02\x00", data[:3])
        pack1, pack2 = data[5760:5768], data[5768:5776]
        self.assertEqual(bytes([0x11, 0x23, 0x02, 0x00, 0x02, 0x11, 0x30]), pack1[:7])
        self.assertEqual(bytes([0x21, 0x23, 0x02, 0x00, 0x12, 0x34, 0x05]), pack2[:7])
        self.assertEqual(bytes([0x52, 0x02, 0x01, 0x28, 0x14, 0x05, 0x09]), data[5792:5799])
        for k in range(7):
            pack = data[5760 + 8 * k:5768 + 8 * k]
            self.assertEqual(dc.parity(pack), pack[7], k)
        self.assertEqual(bytes([0xC0, 0x17, 0x23, 0x40, 0x05, 0x08]), data[5816:5822])
        self.assertTrue(dc.has_subcode(data))
        self.assertFalse(dc.has_subcode(dc.blank_frame(b"\xff" * 5760)))
        lp = dc.frame(long_play=True, rate=dc.RATE_32K, parity_ok=False)
        self.assertEqual(0x40, lp[5821])
        self.assertNotEqual(dc.parity(lp[5760:5768]), lp[5767])

    def test_program_frames_advance_and_carry_their_pcm(self):
        frames = list(dc.program(7, 40, start_abs=(0, 0, 1, 30), start_id_frames=3,
                                  rate=dc.RATE_44K))
        self.assertEqual([0x40] * 3 + [0] * 37, [f[5816] for f in frames])
        self.assertEqual((0x007, dc.time_bytes((0, 0, 2, 0)), dc.time_bytes((0, 0, 0, 3))),
                         dc.program_times(frames[3]))
        self.assertEqual(dc.test_pcm(5, dc.RATE_44K, 0, 5292), frames[5][:5292])
        self.assertEqual(b"".join(f[:5292] for f in frames), dc.expected_pcm(frames))
        lp = list(dc.program(1, 2, long_play=True))
        self.assertEqual(dc.RATE_32K << 2, lp[0][5820])
        self.assertEqual(7680 * 2, len(dc.expected_pcm(lp)))


if __name__ == "__main__":
    unittest.main()
