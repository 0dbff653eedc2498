"""The cassette composer checked on its own rules and against the virtual drive: frames it
composes read back through the provider byte for byte, and the drive's position record
shows the times it composed.

The provider checks load libaspi_vdat.so into a Python process through ctypes. They run in
a child process, so that a sanitizer build of the library gets its runtime preloaded."""

import ctypes
import os
import re
import subprocess
import sys
import time
import unittest

import datcomposer as dc

IN_CHILD = os.environ.get("COMPOSER_PROVIDER_CHECKS") == "1"


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
        self.assertEqual(0x01173559, dc.time_value((1, 17, 35, 59)))


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
        self.assertEqual(bytes(5760), dc.encode_lp(bytes(7680)))
        self.assertEqual(bytes(7680), dc.decode_lp(bytes(5760)))
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


# ---- through the provider ---------------------------------------------------------------

class SRB(ctypes.Structure):
    """SRB_ExecSCSICmd, 1-byte packing, pointer-sized pointers."""
    _pack_ = 1
    _fields_ = [("SRB_Cmd", ctypes.c_uint8), ("SRB_Status", ctypes.c_uint8),
                ("SRB_HaId", ctypes.c_uint8), ("SRB_Flags", ctypes.c_uint8),
                ("SRB_Hdr_Rsvd", ctypes.c_uint32), ("SRB_Target", ctypes.c_uint8),
                ("SRB_Lun", ctypes.c_uint8), ("SRB_Rsvd1", ctypes.c_uint16),
                ("SRB_BufLen", ctypes.c_uint32), ("SRB_BufPointer", ctypes.c_void_p),
                ("SRB_SenseLen", ctypes.c_uint8), ("SRB_CDBLen", ctypes.c_uint8),
                ("SRB_HaStat", ctypes.c_uint8), ("SRB_TargStat", ctypes.c_uint8),
                ("SRB_PostProc", ctypes.c_void_p), ("SRB_Rsvd2", ctypes.c_uint8 * 20),
                ("CDBByte", ctypes.c_uint8 * 16), ("SenseArea", ctypes.c_uint8 * 16)]


class Drive:
    def __init__(self, library, adapter, target):
        self.library, self.adapter, self.target = library, adapter, target

    def send(self, cdb, length=0, data_out=None):
        """Sends one command; returns (ScsiStatus, data)."""
        srb = SRB()
        buffer = ctypes.create_string_buffer(data_out if data_out else length, length)
        srb.SRB_Cmd = 0x02
        srb.SRB_HaId, srb.SRB_Target = self.adapter, self.target
        srb.SRB_Flags = 0x10 if data_out else 0x08
        srb.SRB_BufLen = length
        srb.SRB_BufPointer = ctypes.cast(buffer, ctypes.c_void_p) if length else None
        srb.SRB_SenseLen = 14
        srb.SRB_CDBLen = len(cdb)
        for i, byte in enumerate(cdb):
            srb.CDBByte[i] = byte
        self.library.SendASPI32Command(ctypes.byref(srb))
        status = (srb.SRB_Status << 24 | srb.SenseArea[2] << 16 | srb.SenseArea[12] << 8
                  | srb.SenseArea[13])
        return status, buffer.raw[:length]

    def status(self, cdb):
        return self.send(cdb)[0]

    def read(self):
        return self.send([0x08, 0x00, 0x00, 0x16, 0xBE, 0x00], 5822)

    def position(self):
        return self.send([0x34, 0x01, 0, 0, 0, 0, 0, 0, 0, 0], 20)

    def audio_mode(self):
        status, _ = self.send([0x15, 0, 0, 0, 0x0C, 0], 12,
                              bytes([0, 0, 0x10, 8, 0x80, 0, 0, 0, 0, 0, 0, 2]))
        assert status == 0x01000000, hex(status)


def sanitizer_preload(library_path):
    """The sanitizer runtimes a library was linked with, for LD_PRELOAD."""
    listing = subprocess.run(["ldd", library_path], capture_output=True, text=True).stdout
    return " ".join(re.findall(r"=> (\S*lib(?:asan|ubsan)\.so\S*)", listing))


class ThroughTheProvider(unittest.TestCase):
    def test_checks_in_a_child_process(self):
        support = os.path.dirname(os.path.abspath(dc.__file__))
        env = dict(os.environ, COMPOSER_PROVIDER_CHECKS="1",
                   PYTHONPATH=os.pathsep.join([support, os.environ.get("PYTHONPATH", "")]))
        preload = sanitizer_preload(dc.provider_path())
        if preload:
            env["LD_PRELOAD"] = preload
            env["ASAN_OPTIONS"] = "detect_leaks=0"
        child = subprocess.run([sys.executable, "-m", "unittest", "-v",
                                "test_composer.ProviderChecks"],
                               cwd=os.path.dirname(os.path.abspath(__file__)), env=env,
                               capture_output=True, text=True, timeout=300)
        self.assertEqual(0, child.returncode, child.stdout + child.stderr)
        self.assertNotIn("skipped", child.stderr)


@unittest.skipUnless(IN_CHILD, "runs in the child process of ThroughTheProvider")
class ProviderChecks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bay = dc.Bay()
        cls.tape = (dc.lead_in(3)
                    + list(dc.program(1, 50, start_id_frames=10))
                    + list(dc.program(2, 30, start_abs=dc.time_after(50), first_frame_index=50))
                    + [dc.blank_frame()])
        cls.bay.add("0:4", cassette=cls.bay.cassette("tape.dat", cls.tape),
                    locate_fps=100000)
        cls.bay.add("0:5", cassette=cls.bay.cassette("blank.dat"))
        os.environ["VDAT_CONFIG"] = cls.bay.path
        os.environ["VDAT_TRACE"] = cls.bay.trace_path
        cls.library = ctypes.CDLL(dc.provider_path())
        cls.library.GetASPI32SupportInfo.restype = ctypes.c_uint32
        cls.library.SendASPI32Command.restype = ctypes.c_uint32
        cls.drive = Drive(cls.library, 0, 4)
        cls.drive.audio_mode()

    def setUp(self):
        self.assertEqual(0x01000000, self.drive.status([0x01, 0, 0, 0, 0, 0]))

    def test_support_query(self):
        self.assertEqual(0x0101, self.library.GetASPI32SupportInfo())

    def test_composed_frames_read_back_byte_for_byte(self):
        for number, expected in enumerate(self.tape):
            status, data = self.drive.read()
            self.assertEqual(0x01000000, status, number)
            self.assertEqual(expected, data, number)
        self.assertEqual(0x04080005, self.drive.read()[0])
        reads = [line for line in dc.trace(self.bay) if line.cdb[:1] == b"\x08"]
        self.assertEqual(0x04080005, dc.scsi_status(reads[-1]))
        self.assertEqual(("0:4:0", "in", 5822), (reads[-1].address, reads[-1].direction,
                                                  reads[-1].length))

    def test_position_record_shows_the_composed_times(self):
        status = self.drive.status([0x2B, 0x04, 0, 0x00, 0x00, 0x00, 0x02, 0, 0, 0])
        self.assertEqual(0x01000000, status)
        position = 3 + 50
        status, record = self.drive.position()
        self.assertEqual(0x01000000, status)
        self.assertEqual(b"\x00\x00\x02", record[4:7])
        self.assertEqual(dc.time_bytes(dc.running_time(position)), record[8:12])
        self.assertEqual(dc.time_bytes(dc.time_after(50)), record[12:16])
        self.assertEqual(dc.time_bytes((0, 0, 0, 0)), record[16:20])

        # Absolute time, immediate: wait until the drive is ready.
        target = dc.time_after(62)
        cdb = [0x2B, 0x05, 0, 0x20] + list(dc.time_bytes(target)) + [0, 0]
        self.assertEqual(0x01000000, self.drive.status(cdb))
        deadline = time.monotonic() + 60
        while self.drive.status([0, 0, 0, 0, 0, 0]) != 0x01000000:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.01)
        status, record = self.drive.position()
        self.assertEqual(b"\x00\x00\x02", record[4:7])
        self.assertEqual(dc.time_bytes(target), record[12:16])
        self.assertEqual(dc.time_bytes((0, 0, 0, 12)), record[16:20])
        self.assertEqual(self.tape[3 + 62], self.drive.read()[1])

    def test_written_frames_land_in_the_cassette_file(self):
        drive = Drive(self.library, 0, 5)
        drive.audio_mode()
        frames = list(dc.program(3, 4, date=(2024, 2, 29, 23, 59, 58, 5)))
        for data in frames:
            self.assertEqual(0x01000000,
                             drive.send([0x0A, 0, 0x00, 0x16, 0xBE, 0], 5822, data)[0])
        self.assertEqual(frames, dc.read_frames(self.bay.file("blank.dat")))
        self.assertEqual(4, self.bay.state("blank.dat")["position"])
        self.assertEqual(0x80, self.bay.state("blank.dat")["density"])


if __name__ == "__main__":
    unittest.main()
