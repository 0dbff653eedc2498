# Drive preparation and release, end to end: the program against vdat drives. Every run
# goes through a job that cannot start on a blank cassette (or without an image file), so
# the exit code is 6 and what the run prints around the job is the drives' own trace.

import unittest

import datcomposer as dc

COPY = ['/DAT2IMG', 'copy', '/INPUTID', '0:4']
NO_ADAPTERS = 'No ASPI for WIN32 support detected.\nASPI32 status 0000e800\nNo ASPI drivers found\n'
MODE_SENSE = bytes([0x1A, 0, 0, 0, 100, 0])


def bay_with(address='0:4', cassette='tape.dat', **keys):
    return dc.Bay().add(address, cassette=cassette, frames=(), **keys)


class PreparationAndRelease(unittest.TestCase):
    def test_sdt9000_input_and_python_output(self):
        bay = bay_with('0:4', 'sdt.dat', **dc.SDT9000).add('0:3', cassette='python.dat', frames=())
        code, out = bay.run(COPY + ['/OUTPUTID', '0:3'])
        self.assertEqual(code, 6, out)
        # inquiry, ready, mode sense and select, load; at the end unload and data mode
        sdt = bay.cdbs('0:4:0')
        self.assertEqual([cdb[0] for cdb in sdt[:6]] + [sdt[6]], [0x12, 0x00, 0x1A, 0x15, 0x1A, 0x1A,
                                                                   bytes([0x1B, 0, 0, 0, 1, 0])])
        self.assertEqual(sdt[-5:], [bytes([0x1B, 0, 0, 0, 0, 0]), MODE_SENSE, bytes([0x15, 0, 0, 0, 0x0C, 0]),
                                    MODE_SENSE, MODE_SENSE])
        # direction, length, status and sense of the select, the load and the read on blank tape
        sdt = [r[2:] for r in bay.trace() if r.at == '0:4:0']
        self.assertEqual([sdt[3], sdt[6], sdt[8]], [('out', 12, 1, bytes(3)), ('none', 0, 1, bytes(3)),
                                                    ('in', 5822, 4, bytes([8, 0, 5]))])
        self.assertEqual((bay.state('sdt.dat')['density'], bay.state('python.dat')['density']), (0x13, 0x80))
        self.assertNotIn(0x1B, [cdb[0] for cdb in bay.cdbs('0:3:0')])

    def test_output_drive_alone(self):
        bay = bay_with('1:3')
        code, out = bay.run(['/IMG2DAT', 'missing', '/OUTPUTID', '1:3'])
        self.assertEqual(code, 6, out)
        self.assertIn('IMG2DAT\nOutput SCSI adapter 1, ID number: 3\nConfiguring output drive 1:3:0...\n', out)
        self.assertNotIn('rewinding', out)
        self.assertTrue(out.endswith('\n - closing output drive...\n'), out)
        self.assertEqual({r.at for r in bay.trace()}, {'1:3:0'})

    def test_missing_output_leaves_the_prepared_input_as_it_is(self):
        bay = bay_with(**dc.SDT9000)
        code, out = bay.run(['/DAT2DAT', '/INPUTID', '0:4', '/OUTPUTID', '0:5'])
        self.assertEqual(code, 4, out)
        self.assertTrue(out.endswith('Configuring output drive 0:5:0...\nno device at 0:5:0\n'
                                     'Drive didn\'t initialize\n'), out)
        self.assertEqual(bay.trace()[-1], ('0:5:0', bytes([0x12, 0, 0, 0, 255, 0]), 'in', 255, 0x82, bytes(3)))
        self.assertEqual(bay.state('tape.dat')['density'], 0x80, 'still in audio mode')


class ExitsBeforeAnyJob(unittest.TestCase):
    def test_exit_codes_closing_lines_and_commands_sent(self):
        missing_provider = {'TERVANO_ASPI': '/nonexistent/no-such-provider.so'}
        cases = (  # name, drive keys (None: no drive), arguments, environment, exit, ending, opcodes
            ('no provider', {}, COPY, missing_provider, 3, 'Input SCSI adapter 0, ID number: 4\n'
             'Can\'t find WNASPI32.DLL file\nNo ASPI drivers found\n', []),
            ('empty bay', None, COPY, {}, 3, NO_ADAPTERS, []),
            ('mode alone', {}, ['/DAT2IMG'], missing_provider, 1,
             '\n\nMissing command line parameters....\n', []),
        )
        for name, drive, args, env, exit_code, ending, opcodes in cases:
            with self.subTest(name):
                bay = dc.Bay() if drive is None else bay_with(**drive)
                code, out = bay.run(args, env=env)
                self.assertEqual(code, exit_code, out)
                self.assertTrue(out.endswith(ending), out)
                self.assertEqual([cdb[0] for cdb in bay.cdbs()], opcodes)


if __name__ == '__main__':
    unittest.main()
