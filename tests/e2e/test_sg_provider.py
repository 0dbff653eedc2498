# The SCSI generic provider as the program and its users meet it on a machine without
# SCSI devices: the program loads it by default and stops at the support query,
# tervano-scan says there is nothing to list, and this library and vdat's export the two
# ASPI entry points and nothing else.

import glob
import os
import shutil
import subprocess
import tempfile
import unittest

BIN = os.environ['TERVANO_BIN']
SCAN = os.path.join(os.environ['TERVANO_BUILD'], 'tervano-scan')


class Provider(unittest.TestCase):
    @unittest.skipIf(glob.glob('/sys/bus/scsi/devices/*/scsi_generic/sg*'), 'SCSI generic devices here')
    def test_without_scsi_devices(self):
        env = {k: v for k, v in os.environ.items() if k not in ('TERVANO_ASPI', 'VDAT_CONFIG')}
        with tempfile.TemporaryDirectory() as work:
            run = subprocess.run([BIN, '/DAT2IMG', 'x', '/INPUTID', '0:4'], cwd=work, env=env,
                                 capture_output=True, timeout=120)
            self.assertFalse(os.path.exists(os.path.join(work, 'x.img')))
        # the support query answers SS_NO_ADAPTERS (E8h) in its second byte
        self.assertEqual((run.returncode, run.stdout.decode().split('\n\n', 1)[1], run.stderr),
                         (3, 'DAT2IMG\nInput SCSI adapter 0, ID number: 4\nNo ASPI for WIN32 support detected.\n'
                             'ASPI32 status 0000e800\nNo ASPI drivers found\n', b''))
        run = subprocess.run([SCAN], capture_output=True, timeout=60)
        self.assertEqual((run.returncode, run.stdout, run.stderr),
                         (1, b'No SCSI generic devices found.\n'
                             b'The sg kernel module serves them; "sudo modprobe sg" loads it.\n', b''))

    @unittest.skipUnless(shutil.which('nm'), 'nm is not installed')
    def test_exports_exactly_the_two_entry_points(self):
        for name in ('libaspi_sg.so', 'libaspi_vdat.so'):
            library = os.path.join(os.environ['TERVANO_BUILD'], name)
            run = subprocess.run(['nm', '-D', '--defined-only', library], capture_output=True, text=True)
            names = {line.split()[-1] for line in run.stdout.splitlines() if line.strip()}
            self.assertEqual(names, {'GetASPI32SupportInfo', 'SendASPI32Command'}, library)

    def test_scan_refuses_arguments(self):
        run = subprocess.run([SCAN, '/INPUTID'], capture_output=True, timeout=60)
        self.assertEqual((run.returncode, b'Usage: tervano-scan' in run.stderr), (2, True))


if __name__ == '__main__':
    unittest.main()
