"""Drive preparation and release, end to end: the program against vdat drives.

Every run goes through a job that cannot start on a blank cassette (or without an image
file), so the exit code is 6 and what the run prints around the job is the drives' own
trace. TERVANO_TIME_SCALE makes the 2-second settle and the 60-second tape wait cost
milliseconds.
"""

import time
import unittest

from datcomposer import Bay, run, trace

FAST = {'TERVANO_TIME_SCALE': '1000'}
COPY = ['/DAT2IMG', 'copy', '/INPUTID', '0:4']

SDT9000 = dict(vendor='SONY', product='SDT-9000', revision='12.2')
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
NO_ADAPTERS = 'No ASPI for WIN32 support detected.\nASPI32 status 0000e800\nNo ASPI drivers found\n'


def bay_with(address=None, cassette='tape.dat', **keys):
    bay = Bay()
    if address:
        bay.add(address, cassette=bay.cassette(cassette), **keys)
    return bay


def commands(bay, address):
    """The CDBs the program sent to one drive, in order."""
    return [line.cdb for line in trace(bay) if line.address == address]


class PreparationAndRelease(unittest.TestCase):
    def test_sdt9000_input_and_python_output(self):
        bay = bay_with('0:4', 'sdt.dat', **SDT9000)
        bay.add('0:3', cassette=bay.cassette('python.dat'))
        code, out = run(COPY + ['/OUTPUTID', '0:3'], bay, env=FAST)
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
        self.assertEqual([cdb[0] for cdb in sdt[:7]], [0x12, 0x00, 0x1A, 0x15, 0x1A, 0x1A, 0x1B])
        self.assertEqual(sdt[6], bytes([0x1B, 0, 0, 0, 1, 0]))
        self.assertEqual(sdt[-5:], [bytes([0x1B, 0, 0, 0, 0, 0]), bytes([0x1A, 0, 0, 0, 100, 0]),
                                    bytes([0x15, 0, 0, 0, 0x0C, 0]), bytes([0x1A, 0, 0, 0, 100, 0]),
                                    bytes([0x1A, 0, 0, 0, 100, 0])])
        self.assertEqual(bay.state('sdt.dat')['density'], 0x13)
        self.assertEqual(bay.state('python.dat')['density'], 0x80)
        self.assertNotIn(0x1B, [cdb[0] for cdb in commands(bay, '0:3:0')])

    def test_output_drive_alone(self):
        bay = bay_with('1:3')
        code, out = run(['/IMG2DAT', 'missing', '/OUTPUTID', '1:3'], bay, env=FAST)
        self.assertEqual(code, 6, out)
        self.assertIn('IMG2DAT\nOutput SCSI adapter 1, ID number: 3\n'
                      'Configuring output drive 1:3:0...\n' + PYTHON_PREPARED, out)
        self.assertNotIn('rewinding', out)
        self.assertTrue(out.endswith('\n - closing output drive...\n'), out)
        self.assertEqual({line.address for line in trace(bay)}, {'1:3:0'})

    def test_rewind_on_request(self):
        for extra, rewound in (([], False), (['/REWIND'], True)):
            bay = bay_with('0:4')
            code, out = run(['/TERVANO', 'take', '/INPUTID', '0:4'] + extra, bay, env=FAST)
            self.assertEqual(code, 6, out)
            line = ' - rewinding 0:4 input tape to beginning...done\n'
            self.assertEqual(line in out, rewound, out)
            self.assertEqual(bytes([1, 0, 0, 0, 0, 0]) in commands(bay, '0:4:0'), rewound)

    def test_two_modes_run_the_first_in_dispatch_order(self):
        bay = bay_with('0:4')
        code, out = run(['/DAT2IMG', 'image', '/TERVANO', 'take', '/INPUTID', '0:4'], bay,
                        env=FAST)
        self.assertEqual(code, 6, out)
        self.assertIn('DAT2IMG\nTERVANO\n', out)
        self.assertIn(' - rewinding 0:4 input tape to beginning...done\n', out)
        self.assertIn('first read audio block failed\n', out)

    def test_mrsoff_turns_the_switch_off_only_on_the_01931_firmware(self):
        bay = bay_with('0:4', product='Python 01931-XXX', revision='5.63')
        code, out = run(COPY + ['/MRSOFF'], bay, env=FAST)
        self.assertEqual(code, 6, out)
        self.assertIn(' - setting drive in audio mode...done\nTurning off MRS mode...done.\n', out)
        self.assertEqual(bay.state('tape.dat')['mrs_off'], 1)
        code, out = run(COPY + ['/MRSOFF'], bay, env=FAST)
        self.assertIn('Turning off MRS mode...already off.\n', out)

        bay = bay_with('0:4')
        code, out = run(COPY + ['/MRSOFF'], bay, env=FAST)
        self.assertEqual(code, 6, out)
        self.assertNotIn('MRS', out)
        self.assertNotIn(0x30, [cdb[2] for cdb in commands(bay, '0:4:0') if cdb[0] == 0x1A])

    def test_tape_that_never_mounts(self):
        bay = Bay()
        bay.add('0:4', **SDT9000)  # no cassette
        started = time.monotonic()
        code, out = run(COPY, bay, env=FAST)
        self.assertLess(time.monotonic() - started, 30, 'the minute of waiting is scaled')
        self.assertEqual(code, 6, out)
        self.assertIn(' - waiting (up to 60 seconds) for tape to mount...'
                      'failed, continuing anyway\n - setting drive in audio mode...', out)
        ready_polls = [cdb for cdb in commands(bay, '0:4:0') if cdb == bytes(6)]
        self.assertGreater(len(ready_polls), 10)
        self.assertLessEqual(len(ready_polls), 602)

    def test_missing_output_leaves_the_prepared_input_as_it_is(self):
        bay = bay_with('0:4', **SDT9000)
        code, out = run(['/DAT2DAT', '/INPUTID', '0:4', '/OUTPUTID', '0:5'], bay, env=FAST)
        self.assertEqual(code, 4, out)
        self.assertTrue(out.endswith(
            'Configuring output drive 0:5:0...\nno device at 0:5:0\nDrive didn\'t initialize\n'),
            out)
        last = trace(bay)[-1]
        self.assertEqual((last.address, last.cdb[0], last.status), ('0:5:0', 0x12, 0x82))
        self.assertEqual(bay.state('tape.dat')['density'], 0x80, 'still in audio mode')


class ExitsBeforeAnyJob(unittest.TestCase):
    def test_exit_codes_closing_lines_and_commands_sent(self):
        missing_provider = {'TERVANO_ASPI': '/nonexistent/no-such-provider.so'}
        cases = (
            ('unknown drive', dict(vendor='HP', product='C1533A', revision='9608'), COPY, {}, 4,
             'Configuring input drive...\ndrive is unknown\nDrive didn\'t initialize\n', [0x12]),
            ('no provider', {}, COPY, missing_provider, 3,
             'Input SCSI adapter 0, ID number: 4\nCan\'t find WNASPI32.DLL file\n'
             'No ASPI drivers found\n', []),
            ('empty bay', None, COPY, {}, 3, NO_ADAPTERS, []),
            ('no bay file', None, COPY, {'VDAT_CONFIG': '/nonexistent/bay.ini'}, 3, NO_ADAPTERS,
             []),
            ('no parameters', {}, [], missing_provider, 1,
             '\n\nMissing command line parameters....\n', []),
            ('mode alone', {}, ['/DAT2IMG'], missing_provider, 1,
             '\n\nMissing command line parameters....\n', []),
            ('no input ID', {}, ['/DAT2IMG', 'copy'], missing_provider, 2,
             'DAT2IMG\nNo input ID entered\nProblem parsing command line\n', []),
        )
        for name, drive, args, env, exit_code, ending, opcodes in cases:
            with self.subTest(name):
                bay = Bay() if drive is None else bay_with('0:4', **drive)
                code, out = run(args, bay, env=dict(FAST, **env))
                self.assertEqual(code, exit_code, out)
                self.assertTrue(out.endswith(ending), out)
                self.assertEqual([cdb[0] for cdb in commands(bay, '0:4:0')], opcodes)


if __name__ == '__main__':
    unittest.main()
