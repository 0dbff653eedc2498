"""Drive preparation and release, end to end: the program against vdat drives.

Every run goes through a job that cannot start on a blank cassette (or without an image
file), so the exit code is 6 and what the run prints around the job is the drives' own
trace. TERVANO_TIME_SCALE makes the 2-second settle and the 60-second tape wait cost
milliseconds.
"""

import os
import time
import unittest

from datcomposer import Bay, run, trace

FAST = {'TERVANO_TIME_SCALE': '1000'}

SDT9000_PREPARED = (
    ' - found drive SONY     SDT-9000        12.2\n'
    ' - waiting (up to 60 seconds) for tape to mount...done\n'
    ' - setting drive in audio mode...done\n'
    ' - issuing a tape load...done\n')
PYTHON_PREPARED = (
    ' - found drive ARCHIVE  Python 25601-XXX2.63\n'
    ' - waiting (up to 60 seconds) for tape to mount...done\n'
    ' - setting drive in audio mode...done\n')
SDT9000_RELEASED = (
    ' - issuing a tape unload...done\n'
    ' - setting drive back to data mode...done\n')


def sdt9000(bay, cassette='sdt.dat', **keys):
    return dict(vendor='SONY', product='SDT-9000', revision='12.2',
                cassette=bay.cassette(cassette), **keys)


def python_drive(bay, cassette='python.dat', **keys):
    return dict(cassette=bay.cassette(cassette), **keys)


def commands(bay, address):
    """The CDBs the program sent to one drive, in order."""
    return [line.cdb for line in trace(bay) if line.address == address]


class PreparationAndRelease(unittest.TestCase):
    def test_sdt9000_input_and_python_output(self):
        bay = Bay()
        bay.add('0:4', **sdt9000(bay))
        bay.add('0:3', **python_drive(bay))
        code, out = run(['/DAT2IMG', 'copy', '/INPUTID', '0:4', '/OUTPUTID', '0:3'], bay,
                        env=FAST)
        self.assertEqual(code, 6, out)
        self.assertIn(
            'DAT2IMG\nInput SCSI adapter 0, ID number: 4\nOutput SCSI adapter 0, ID number: 3\n'
            'Configuring input drive...\n' + SDT9000_PREPARED +
            'Configuring output drive 0:3:0...\n' + PYTHON_PREPARED +
            ' - rewinding 0:4 input tape to beginning...done\n'
            ' - rewinding 0:3 output tape to beginning...done\n', out)
        self.assertTrue(out.endswith(
            '\n - closing input drive...\n' + SDT9000_RELEASED +
            ' - closing output drive...\n'), out)

        sdt = commands(bay, '0:4:0')
        self.assertEqual([cdb[0] for cdb in sdt[:7]],
                         [0x12, 0x00, 0x1A, 0x15, 0x1A, 0x1A, 0x1B])
        self.assertEqual(sdt[6], bytes([0x1B, 0, 0, 0, 1, 0]))
        self.assertEqual(sdt[-5:], [bytes([0x1B, 0, 0, 0, 0, 0]), bytes([0x1A, 0, 0, 0, 100, 0]),
                                    bytes([0x15, 0, 0, 0, 0x0C, 0]), bytes([0x1A, 0, 0, 0, 100, 0]),
                                    bytes([0x1A, 0, 0, 0, 100, 0])])
        self.assertEqual(bay.state('sdt.dat')['density'], 0x13)
        self.assertEqual(bay.state('python.dat')['density'], 0x80)
        self.assertNotIn(0x1B, [cdb[0] for cdb in commands(bay, '0:3:0')])

    def test_drive_that_answers_from_another_thread(self):
        bay = Bay()
        bay.add('0:4', **sdt9000(bay, latency_ms=2))
        code, out = run(['/DAT2IMG', 'copy', '/INPUTID', '0:4'], bay, env=FAST)
        self.assertEqual(code, 6, out)
        self.assertIn('Configuring input drive...\n' + SDT9000_PREPARED, out)
        self.assertTrue(out.endswith('\n - closing input drive...\n' + SDT9000_RELEASED), out)

    def test_output_drive_alone(self):
        bay = Bay()
        bay.add('1:3', **python_drive(bay))
        code, out = run(['/IMG2DAT', 'missing', '/OUTPUTID', '1:3'], bay, env=FAST)
        self.assertEqual(code, 6, out)
        self.assertIn('IMG2DAT\nOutput SCSI adapter 1, ID number: 3\n'
                      'Configuring output drive 1:3:0...\n' + PYTHON_PREPARED, out)
        self.assertNotIn('rewinding', out)
        self.assertTrue(out.endswith('\n - closing output drive...\n'), out)
        self.assertEqual({line.address for line in trace(bay)}, {'1:3:0'})
        self.assertNotIn(0x1B, [cdb[0] for cdb in commands(bay, '1:3:0')])

    def test_rewind_on_request(self):
        bay = Bay()
        bay.add('0:4', **python_drive(bay))
        for extra, rewound in (([], False), (['/REWIND'], True)):
            code, out = run(['/TERVANO', 'take', '/INPUTID', '0:4'] + extra, bay, env=FAST)
            self.assertEqual(code, 6, out)
            line = ' - rewinding 0:4 input tape to beginning...done\n'
            self.assertEqual(line in out, rewound, out)
            self.assertEqual(bytes([1, 0, 0, 0, 0, 0]) in commands(bay, '0:4:0'), rewound)
            os.remove(bay.trace_path)


class MrsSwitch(unittest.TestCase):
    def test_turned_off_on_the_01931_firmware(self):
        bay = Bay()
        bay.add('0:4', **python_drive(bay, product='Python 01931-XXX', revision='5.63'))
        args = ['/DAT2IMG', 'copy', '/INPUTID', '0:4', '/MRSOFF']
        code, out = run(args, bay, env=FAST)
        self.assertEqual(code, 6, out)
        self.assertIn(' - setting drive in audio mode...done\nTurning off MRS mode...done.\n', out)
        self.assertEqual(bay.state('python.dat')['mrs_off'], 1)
        code, out = run(args, bay, env=FAST)
        self.assertIn('Turning off MRS mode...already off.\n', out)

    def test_left_alone_elsewhere(self):
        bay = Bay()
        bay.add('0:4', **python_drive(bay))
        code, out = run(['/DAT2IMG', 'copy', '/INPUTID', '0:4', '/MRSOFF'], bay, env=FAST)
        self.assertEqual(code, 6, out)
        self.assertNotIn('MRS', out)
        self.assertNotIn(0x30, [cdb[2] for cdb in commands(bay, '0:4:0') if cdb[0] == 0x1A])


class PreparationFailures(unittest.TestCase):
    def test_unknown_drive(self):
        bay = Bay()
        bay.add('0:4', vendor='HP', product='C1533A', revision='9608',
                cassette=bay.cassette('tape.dat'))
        code, out = run(['/DAT2IMG', 'copy', '/INPUTID', '0:4'], bay, env=FAST)
        self.assertEqual(code, 4, out)
        self.assertTrue(out.endswith(
            'Configuring input drive...\ndrive is unknown\nDrive didn\'t initialize\n'), out)
        self.assertEqual([cdb[0] for cdb in commands(bay, '0:4:0')], [0x12])

    def test_missing_output_leaves_the_prepared_input_as_it_is(self):
        bay = Bay()
        bay.add('0:4', **sdt9000(bay))
        code, out = run(['/DAT2DAT', '/INPUTID', '0:4', '/OUTPUTID', '0:5'], bay, env=FAST)
        self.assertEqual(code, 4, out)
        self.assertTrue(out.endswith(
            'Configuring output drive 0:5:0...\nno device at 0:5:0\nDrive didn\'t initialize\n'),
            out)
        lines = trace(bay)
        self.assertEqual((lines[-1].address, lines[-1].cdb[0], lines[-1].status),
                         ('0:5:0', 0x12, 0x82))
        self.assertEqual(bay.state('sdt.dat')['density'], 0x80, 'still in audio mode')

    def test_tape_that_never_mounts(self):
        bay = Bay()
        bay.add('0:4', vendor='SONY', product='SDT-9000', revision='13.1')  # no cassette
        started = time.monotonic()
        code, out = run(['/DAT2IMG', 'copy', '/INPUTID', '0:4'], bay, env=FAST)
        self.assertLess(time.monotonic() - started, 30, 'the minute of waiting is scaled')
        self.assertEqual(code, 6, out)
        self.assertIn(' - waiting (up to 60 seconds) for tape to mount...'
                      'failed, continuing anyway\n - setting drive in audio mode...', out)
        ready_polls = [cdb for cdb in commands(bay, '0:4:0') if cdb == bytes(6)]
        self.assertGreater(len(ready_polls), 10)
        self.assertLessEqual(len(ready_polls), 602)

    def test_tape_that_mounts_while_waited_for(self):
        bay = Bay()
        bay.add('0:4', **python_drive(bay, ready_delay_ms=3000))
        code, out = run(['/DAT2IMG', 'copy', '/INPUTID', '0:4'], bay, env=FAST)
        self.assertEqual(code, 6, out)
        self.assertIn(' - waiting (up to 60 seconds) for tape to mount...done\n', out)
        self.assertGreater(len([c for c in commands(bay, '0:4:0') if c == bytes(6)]), 1)


class RunExits(unittest.TestCase):
    def test_no_provider(self):
        bay = Bay()
        bay.add('0:4', **python_drive(bay))
        env = dict(FAST, TERVANO_ASPI=bay.file('no-such-provider.so'))
        code, out = run(['/DAT2IMG', 'copy', '/INPUTID', '0:4'], bay, env=env)
        self.assertEqual(code, 3, out)
        self.assertTrue(out.endswith(
            'Input SCSI adapter 0, ID number: 4\n'
            'Can\'t find WNASPI32.DLL file\nNo ASPI drivers found\n'), out)
        self.assertEqual(trace(bay), [])

    def test_no_adapters(self):
        for bay_file in ('empty', 'missing'):
            bay = Bay()
            env = dict(FAST)
            if bay_file == 'missing':
                env['VDAT_CONFIG'] = bay.file('missing.ini')
            code, out = run(['/DAT2IMG', 'copy', '/INPUTID', '0:4'], bay, env=env)
            self.assertEqual(code, 3, out)
            self.assertTrue(out.endswith(
                'No ASPI for WIN32 support detected.\nASPI32 status 0000e800\n'
                'No ASPI drivers found\n'), out)

    def test_two_modes_run_the_first_in_dispatch_order(self):
        bay = Bay()
        bay.add('0:4', **python_drive(bay))
        code, out = run(['/DAT2IMG', 'image', '/TERVANO', 'take', '/INPUTID', '0:4'], bay,
                        env=FAST)
        self.assertEqual(code, 6, out)
        self.assertIn('DAT2IMG\nTERVANO\n', out)
        self.assertIn(' - rewinding 0:4 input tape to beginning...done\n', out)
        self.assertNotIn('IMG file', out)

    def test_command_line_exits(self):
        bay = Bay()
        env = dict(FAST, TERVANO_ASPI=bay.file('no-such-provider.so'))
        for args in ([], ['/DAT2IMG']):
            code, out = run(args, bay, env=env)
            self.assertEqual(code, 1, out)
            self.assertIn('version 1.2', out.split('\n')[0])
            self.assertTrue(out.endswith('\n\nMissing command line parameters....\n'), out)
        code, out = run(['/DAT2IMG', 'copy'], bay, env=env)
        self.assertEqual(code, 2, out)
        self.assertTrue(out.endswith('DAT2IMG\nNo input ID entered\n'
                                     'Problem parsing command line\n'), out)
        self.assertNotIn('WNASPI32', out)


if __name__ == '__main__':
    unittest.main()
