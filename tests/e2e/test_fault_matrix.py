# Every job against every fault a drive, a file or the user can bring, end to end on vdat:
# one table of jobs x faults. Each cell checks the exit code, the line that says what
# happened, that nothing crashed or hung, and that every output is valid: a WAV file's
# header counts exactly the data it holds, an image or a cassette holds whole frames of the
# source in order, as many as the job reported; the source is never changed; the drives are
# back in data mode (unless one stopped answering).

import os, pathlib, re, signal, struct, subprocess, threading, time, unittest, wave

import datcomposer as dc

# One program; every frame begins with 0x1B, the ESC key, should a cassette be read as keys.
TAPE = list(dc.program(1, 400, audio=lambda i: bytes([0x1B, i & 0xFF]) * 8))
PCM = dc.expected_pcm(TAPE)
JOBS = {'wav': '/TERVANO Take /INPUTID 0:4', 'play': '/TERVANO Take /INPUTID 0:4 /WAVEOUT',
        'img': '/DAT2IMG Tape /INPUTID 0:4', 'dat': '/DAT2DAT /INPUTID 0:4 /OUTPUTID 1:2',
        'i2d': '/IMG2DAT in /OUTPUTID 1:2', 'rec': '/WAV2DAT in /OUTPUTID 1:2',
        'wavi': '/TERVANO Take /INPUTIMG in.img', 'dati': '/DAT2DAT /INPUTIMG in.img /OUTPUTID 1:2'}
SDT9000 = dict(vendor='SONY', product='SDT-9000', revision='12.2')
END, READ, WRITE = 'ended at the end of the ', 'ended at a read error: ', 'ended at a write error: '
LOST, GONE = 'MEDIUM ERROR, write error (03h/0Ch/00h)', 'NOT READY, medium not present'
READERS, WRITERS, DRIVES = 'wav play img dat', 'dat i2d dati rec', 'wav play img dat i2d dati rec'
STOP, MOUNT = ' before the job began\n\n', {'in': {'ready_delay_ms': 20000}}  # ready after the signal
SEEK = {'in': {'locate_fps': 1}, 'opt': '/SEEK PROGNUM 2'}




def after(sig, opcode, count):  # the signal, once so many commands of the opcode (or writes) went out
    return opcode, count, lambda process, path: process.send_signal(sig)


REMOVE, CUT = lambda process, path: os.remove(path), lambda process, path: os.truncate(path, 5 * 5822)

# fault: what differs from a clean run (input and output drive keys, options, keys typed,
# what happens meanwhile, to 'source' or the output cassette), then per group of jobs the exit
# code and the line that tells what happened ('$': the last line). {0} {1} {2}: the first,
# middle and last frame the job moves.
MATRIX = {
    'none': ({}, DRIVES + ' wavi', 0, END),
    'read error first': ({'in': {'read_errors': '{0}'}}, READERS, 6, 'block failed\n'),
    'read error middle': ({'in': {'read_errors': '{1}'}}, READERS, 5, READ + 'MEDIUM'),
    'read error last': ({'in': {'read_errors': '{2}'}}, READERS, 5, READ + 'MEDIUM'),
    'write error first': ({'out': {'write_errors': '{0}'}}, WRITERS[:-4], 5, WRITE + LOST, 'rec', 6, WRITE + LOST),
    'write error middle': ({'out': {'write_errors': '{1}'}}, WRITERS, 5, WRITE + LOST),
    'write error last': ({'out': {'write_errors': '{2}'}}, WRITERS, 5, WRITE + LOST),
    'write protected': ({'out': {'write_protect': 1}}, WRITERS[:-4], 5, 'DATA PROTECT', 'rec', 6, 'DATA PROTECT'),
    'cassette full': ({'out': {'capacity': '{1}'}}, WRITERS, 5, WRITE + 'VOLUME OVERFLOW'),
    'end of medium': ({'in': {'capacity': '{1}'}}, 'wav play img', 0, END),
    # hang_at: the drive stops answering from that command on
    'no answer in preparation': ({'in': {'hang_at': 1}, 'out': {'hang_at': 2}}, READERS, 4, 'no answer from 0:4:0 within 25',
                                 'i2d dati rec', 4, 'mount...failed: no answer within 25 seconds\nDrive'),
    'no answer': ({'in': {'hang_at': '{1}'}, 'out': {'hang_at': '{1}'}}, 'wav play img', 5, '60 seconds\n$',
                  'i2d dati rec', 5, WRITE + 'no answer'),
    'no answer, /STOPEOT': ({'in': {'hang_at': '{1}'}, 'opt': '/STOPEOT'}, 'wav img dat', 5, READ + 'no answer'),
    'damaged first frames, /STOPEOT': ({'in': {'read_errors': '0-2'}, 'opt': '/STOPEOT /REWIND'}, 'wav img dat', 0, END),
    'source removed': ({'meanwhile': (8, 50, REMOVE)}, READERS, 5, GONE),
    'source cut short': ({'meanwhile': (8, 50, CUT)}, READERS, 5, GONE, 'i2d dati', 5, 'Reading in.img failed'),
    'target removed': ({'meanwhile': (10, 160, REMOVE), 'target': 1}, WRITERS, 5, GONE),
    'disk full': ({'file_size': 100 * 5822}, 'wav img wavi', 5, 'File too large'),
    # a tape copy's records, named after TERVANO_LOCAL_TIME, on a full disk
    'records on a full disk': ({'full': 'DAT2DAT-20010203-040506'}, 'dat dati', 5, 'report.txt: No space left'),
    'ESC': ({'keys': b'x' * 30 + b'\x1b'}, DRIVES + ' wavi', 0, 'ended by ESC'),
    'SIGINT': ({'meanwhile': after(signal.SIGINT, 8, 160)}, DRIVES, 130, 'ended by SIGINT'),
    'SIGTERM': ({'meanwhile': after(signal.SIGTERM, 8, 160)}, DRIVES, 143, 'ended by SIGTERM'),
    'SIGHUP': ({'meanwhile': after(signal.SIGHUP, 8, 160)}, DRIVES, 129, 'ended by SIGHUP'),
    'SIGINT in the mount wait': ({**MOUNT, 'meanwhile': after(signal.SIGINT, 0, 5)}, 'img', 130, 'stopped\n\nStopped by SIGINT' + STOP + '$'),
    'SIGTERM in the seek': ({**SEEK, 'meanwhile': after(signal.SIGTERM, 0x34, 2)}, 'img', 143, '\r\n\nStopped by SIGTERM' + STOP + ' - closing'),
    'SIGHUP in the seek': ({**SEEK, 'meanwhile': after(signal.SIGHUP, 0x34, 2)}, 'wav', 129, '\r\n\nStopped by SIGHUP' + STOP + ' - closing'),
    'standard descriptors closed': ({'close': (0, 2)}, 'img', 0, END),
    'image over its own cassette': ({'in': {'cassette': 'Tape.img'}}, 'img', 6, 'Tape.img: in use by a drive'),
}


def source(job, setup):  # the cassette or image the job reads
    return setup.get('in', {}).get('cassette', 'in.img' if job in ('i2d', 'wavi', 'dati') else 'in.dat')


def run_cell(job, setup):
    bay = dc.Bay()
    slow = {'latency_ms': 3} if 'meanwhile' in setup else {}  # a fault meets the job in its middle
    at = dict(zip(('{0}', '{1}', '{2}'), ('0', '320', '819') if job == 'rec' else ('0', '200', '399')))
    [bay.cassette(name, TAPE) for name in ('in.dat', 'in.img', source(job, setup))]
    for address, drive, cassette in (('0:4', 'in', 'in.dat'), ('1:2', 'out', bay.cassette('out.dat'))):
        keys = {k: at.get(v, v) for k, v in setup.get(drive, {}).items()}
        bay.add(address, **{**SDT9000, **slow, 'cassette': cassette, **keys})
    with wave.open(bay.file('in.wav'), 'wb') as wav:
        wav.setparams((2, 2, 48000, 0, 'NONE', None))
        wav.writeframes(PCM)
    pathlib.Path(bay.file('in.cue')).write_text('[FILES]\nFILE_001=in.wav\n')
    for suffix in ('.report.txt', '.timeline.svg') if 'full' in setup else ():
        os.symlink('/dev/full', bay.file(setup['full'] + suffix))

    def child():
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_DFL)
        if 'file_size' in setup:
            dc._limit_file_size(setup['file_size'])
        for fd in setup.get('close', ()):
            os.close(fd)
    env = dict(os.environ, TERVANO_ASPI=dc.provider_path(), VDAT_CONFIG=bay.path, VDAT_TRACE=bay.trace_path,
               TERVANO_LOCAL_TIME='2001-02-03 04:05:06', TERVANO_TIME_SCALE='20' if slow else '1000',
               TERVANO_AUDIO_DEVICE='file:FILE=%s,FORMAT=raw' % bay.file('played.raw'))
    process = subprocess.Popen([os.environ['TERVANO_BIN']] + (JOBS[job] + ' ' + setup.get('opt', '')).split(),
                               cwd=bay.folder, env=env, stdin=subprocess.PIPE, preexec_fn=child,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if slow:
        path = bay.file('out.dat' if 'target' in setup else source(job, setup))
        threading.Thread(target=meanwhile, args=(bay, process, path, *setup['meanwhile'])).start()
    out = process.communicate(setup.get('keys', b''), timeout=60)[0].decode('latin-1')
    return bay, process.returncode, out


def meanwhile(bay, process, path, opcode, count, action):
    while process.poll() is None and sum(t.cdb[0] in (opcode, 10) for t in dc.trace(bay)) < count:
        time.sleep(0.005)
    action(process, path)


class FaultMatrix(unittest.TestCase):
    def test_every_job_against_every_fault(self):
        for fault, (setup, *groups) in MATRIX.items():
            for jobs, exit_code, line in zip(groups[0::3], groups[1::3], groups[2::3]):
                for job in jobs.split():
                    with self.subTest(fault=fault, job=job):
                        bay, code, out = run_cell(job, setup)
                        said = out.endswith(line[:-1]) if line.endswith('$') else line in out
                        self.assertEqual((code, said), (exit_code, True), out[-600:])
                        self.check_outputs(bay, job, setup, out)

    def check_outputs(self, bay, job, setup, out):
        reported = int(next(iter(re.findall(r'Done: \d+ files?, (\d+) frames?', out)), 0))
        if setup.get('meanwhile', (0, 0, None))[2] not in (REMOVE, CUT):
            self.assertEqual(dc.read_frames(bay.file(source(job, setup))), TAPE, 'source changed')
        first = 3 if '/REWIND' in setup.get('opt', '') else 0  # after the damaged frames
        name = bay.file({'img': 'Tape.img', 'play': 'played.raw'}.get(job, 'out.dat'))
        exists = os.path.exists(name) and source(job, setup) != 'Tape.img'
        if exists and job == 'rec':  # the program is the WAV file's audio, as far as it went
            frames = dc.read_frames(name)
            audio = [f[:5760] for f in frames if dc.program_times(f)[0] == 1]
            self.assertEqual((audio, len(frames)), ([f[:5760] for f in TAPE[:len(audio)]], reported))
        elif exists and job == 'play':  # after six primed buffers of silence, the last one completed
            pcm = PCM[:5760 * reported]
            self.assertEqual(pathlib.Path(name).read_bytes(), bytes(6 * 16384) + pcm + bytes(-len(pcm) % 16384))
        elif exists and job in ('img', 'dat', 'i2d', 'dati'):
            self.assertEqual(dc.read_frames(name), TAPE[first:first + reported])
        wav = bay.file('Take1.wav')  # the one program fits one file
        content = pathlib.Path(wav).read_bytes() if os.path.exists(wav) else struct.pack('<4xI32xI', 36, 0)
        # the RIFF and data lengths count exactly the file's bytes
        self.assertEqual(struct.unpack('<4xI32xI', content[:44]), (len(content) - 8, len(content) - 44))
        self.assertEqual(content[44:], dc.expected_pcm(TAPE[first:first + reported]) if 'wav' in job else b'')
        for cassette in ('in.dat', 'out.dat') if 'hang_at' not in setup.get('in', {}) else ():
            self.assertIn((bay.state(cassette) or {}).get('density'), (None, 0x13), 'in audio mode')


if __name__ == '__main__':
    unittest.main()
