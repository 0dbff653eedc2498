"""The SCSI generic provider as the program and its users meet it on a machine without
SCSI devices: the program loads it by default and stops at the support query,
tervano-scan says there is nothing to list, and the library exports the two ASPI entry
points and nothing else."""

import glob
import os
import shutil
import subprocess
import tempfile
import unittest

BIN = os.environ["TERVANO_BIN"]
BUILD = os.environ["TERVANO_BUILD"]
PROVIDER = os.path.join(os.path.dirname(BIN), "libaspi_sg.so")
SCAN = os.path.join(BUILD, "tervano-scan")

HAS_SG_DEVICES = bool(glob.glob("/sys/bus/scsi/devices/*/scsi_generic/sg*"))


def environment_without_provider_choice():
    env = dict(os.environ)
    env.pop("TERVANO_ASPI", None)
    env.pop("VDAT_CONFIG", None)
    return env


@unittest.skipIf(HAS_SG_DEVICES, "this machine has SCSI generic devices")
class WithoutScsiDevices(unittest.TestCase):
    def test_program_loads_the_provider_and_finds_no_adapter(self):
        self.assertTrue(os.path.exists(PROVIDER), PROVIDER)
        with tempfile.TemporaryDirectory() as work:
            run = subprocess.run([BIN, "/DAT2IMG", "x", "/INPUTID", "0:4"], cwd=work,
                                 env=environment_without_provider_choice(),
                                 capture_output=True, timeout=120)
            out = run.stdout.decode("latin-1")
            self.assertEqual(3, run.returncode, out)
            self.assertNotIn("Can't find WNASPI32.DLL file", out)
            # the support query answers SS_NO_ADAPTERS (E8h) in its second byte
            self.assertTrue(out.endswith("No ASPI for WIN32 support detected.\n"
                                         "ASPI32 status 0000e800\n"
                                         "No ASPI drivers found\n"), out)
            self.assertNotIn(b"cannot open", run.stderr)
            self.assertFalse(os.path.exists(os.path.join(work, "x.img")))

    def test_scan_says_plainly_that_nothing_was_found(self):
        run = subprocess.run([SCAN], capture_output=True, timeout=60)
        self.assertEqual(1, run.returncode)
        self.assertEqual(b"No SCSI generic devices found.\n"
                         b"The sg kernel module serves them; \"sudo modprobe sg\" loads it.\n",
                         run.stdout)
        self.assertEqual(b"", run.stderr)


class Library(unittest.TestCase):
    @unittest.skipUnless(shutil.which("nm"), "nm is not installed")
    def test_exports_exactly_the_two_entry_points(self):
        run = subprocess.run(["nm", "-D", "--defined-only", PROVIDER], capture_output=True,
                             check=True, text=True)
        names = {line.split()[-1] for line in run.stdout.splitlines() if line.strip()}
        self.assertEqual({"GetASPI32SupportInfo", "SendASPI32Command"}, names)

    def test_scan_refuses_arguments(self):
        run = subprocess.run([SCAN, "/INPUTID"], capture_output=True, timeout=60)
        self.assertEqual(2, run.returncode)
        self.assertIn(b"Usage: tervano-scan", run.stderr)


if __name__ == "__main__":
    unittest.main()
