# Every job against every fault a drive, a file or the user can bring, end to end on vdat:
# one table of jobs x faults. Each cell checks the exit code, the line that says what
# happened, how many frames the job says it moved (where the fault fixes that), and that
# every output is valid: a WAV file's header counts exactly the data it holds, which is the
# source's audio as far as the job went; an image or a cassette holds whole frames of the
# source in order; an output that got no frame is not left behind; the source is never
# changed; the drives are back in data mode (unless one stopped answering).

import os, pathlib, re, signal, struct, threading, time, unittest, wave

import datcomposer as dc

# Program 1, a blank stretch long enough to end the recording, and program 2. Every frame
# begins with 0x1B, the ESC key, should a cassette be read as keys.
TAPE = (list(dc.program(1, 400, audio=lambda i: bytes([0x1B, i & 0xFF]) * 8)) + [dc.blank_frame()] * 62
        + list(dc.program(2, 10, start_abs=dc.time_after(400), audio=lambda i: b'\x1b\x02' * 8)))
PCM, TAPE_BYTES = dc.expected_pcm(TAPE), b''.join(TAPE)
JOBS = {'wav': '/TERVANO Take /INPUTID 0:4', 'play': '/TERVANO Take /INPUTID 0:4 /WAVEOUT',
        'img': '/DAT2IMG Tape /INPUTID 0:4', 'dat': '/DAT2DAT /INPUTID 0:4 /OUTPUTID 1:2',
        'i2d': '/IMG2DAT in /OUTPUTID 1:2', 'rec': '/WAV2DAT in /OUTPUTID 1:2',
        'wavi': '/TERVANO Take /INPUTIMG in.img', 'dati': '/DAT2DAT /INPUTIMG in.img /OUTPUTID 1:2'}
# Frame positions a fault is put at ({0} {1} {2}: the first, one in the middle, the last
# of program 1; {end}: the frames a clean run moves), by job.
AT = {'{0}': 0, '{1}': 200, '{2}': 399, '{end}': 462}
AT_JOB = {'rec': {'{1}': 320, '{2}': 519, '{end}': 892},  # after 120 frames of lead-in
          'wav': {'{end}': 461}, 'wavi': {'{end}': 461}, 'play': {'{end}': 461}}
END, READ, WRITE = 'ended at the end of the ', 'ended at a read error: ', 'ended at a write error: '
LOST, GONE = 'MEDIUM ERROR, write error (03h/0Ch/00h)', 'NOT READY, medium not present'
READERS, WRITERS, DRIVES = 'wav play img dat', 'dat i2d dati rec', 'wav play img dat i2d dati rec'
STOP, MOUNT = ' before the job began\n\n', {'in': {'ready_delay_ms': 20000}}  # ready after the signal
SEEK = {'in': {'locate_fps': 1}, 'opt': '/SEEK PROGNUM 2'}
FILE_GROWS = {'wav': (44, 5760), 'wavi': (44, 5760), 'img': (0, 5822)}  # header, frame


def after(sig, opcode, count):  # the signal, once so many commands of the opcode (or writes) went out
    return opcode, count, lambda process, path: process.send_signal(sig)


REMOVE, CUT = lambda process, path: os.remove(path), lambda process, path: os.truncate(path, 5 * 5822)

# fault: what differs from a clean run (input and output drive keys, options, keys typed,
# what happens meanwhile, to 'source' or the output cassette), then per group of jobs the exit
# code, the line that tells what happened ('$': the last line) and the frames moved, or None.
MATRIX = {
    'none': ({}, 'wav play img dat rec wavi dati', 0, END, '{end}',
             'i2d', 0, 'End of recording: 10 more frames of in.img not written (/STOPEOT writes them)\n', '{end}'),
    '/STOPEOT': ({'opt': '/STOPEOT'}, 'wav img dat i2d dati', 0, END, 472),
    'read error first': ({'in': {'read_errors': '{0}'}}, READERS, 6, 'block failed\n', 0),
    'read error middle': ({'in': {'read_errors': '{1}'}}, 'wav play', 5,
                          READ + 'MEDIUM ERROR, unrecovered read error (03h/11h/00h) after 00:00:05:33', '{1}',
                          'img', 5, 'read audio block failed: 04031100\n', '{1}', 'dat', 5, 'block read fail\n', '{1}'),
    'read error middle, /STOPEOT': ({'in': {'read_errors': '{1}'}, 'opt': '/STOPEOT'}, 'wav', 0, END, 472,
                                    'img', 0, 'read audio block failed: 04031100\n', 471,
                                    'dat', 0, 'block read fail\n', 471),
    'read error last': ({'in': {'read_errors': '{2}'}}, READERS, 5, READ + 'MEDIUM', '{2}'),
    'write error first': ({'out': {'write_errors': '{0}'}}, WRITERS[:-4], 5, WRITE + LOST, 0, 'rec', 6, WRITE + LOST, 0),
    'write error middle': ({'out': {'write_errors': '{1}'}}, WRITERS, 5, WRITE + LOST, '{1}'),
    'write error last': ({'out': {'write_errors': '{2}'}}, WRITERS, 5, WRITE + LOST, '{2}'),
    'write protected': ({'out': {'write_protect': 1}}, 'dat dati', 5, 'block write fail\n', 0,
                        'i2d', 5, 'write block fail\nDone: 0 files, 0 frames (00:00:00), 0 damaged frames '
                        '(0 repaired); ended at a write error: DATA PROTECT, write protected (07h/27h/00h)\n', 0,
                        'rec', 6, 'Writing lead-in...fail writing lead-in frame\nTape write protect error\n', 0),
    'cassette full': ({'out': {'capacity': '{1}'}}, WRITERS, 5, WRITE + 'VOLUME OVERFLOW', '{1}'),
    # vdat answers VOLUME OVERFLOW with end of medium at its capacity, as a real drive does
    'end of medium': ({'in': {'capacity': '{1}'}}, 'wav play img dat', 0, END, '{1}'),
    'end of medium, /STOPEOT': ({'in': {'capacity': '{1}'}, 'opt': '/STOPEOT'}, 'wav img dat', 0, END, '{1}'),
    # hang_at: the drive stops answering from that command on
    'no answer in preparation': ({'in': {'hang_at': 1}, 'out': {'hang_at': 2}}, READERS, 4, 'no answer from 0:4:0 within 25', 0,
                                 'i2d dati rec', 4, 'mount...failed: no answer within 25 seconds\nDrive', 0),
    'no answer': ({'in': {'hang_at': '{1}'}, 'out': {'hang_at': '{1}'}}, 'wav play img', 5, '60 seconds\n$', None,
                  'i2d dati rec', 5, WRITE + 'no answer', None),
    'no answer, /STOPEOT': ({'in': {'hang_at': '{1}'}, 'opt': '/STOPEOT'}, 'wav img dat', 5, READ + 'no answer', None),
    'damaged first frames, /STOPEOT': ({'in': {'read_errors': '0-2'}, 'opt': '/STOPEOT /REWIND'}, 'wav img dat', 0, END, 469),
    'source removed': ({'meanwhile': (8, 50, REMOVE)}, READERS, 5, GONE, None),
    'source cut short': ({'meanwhile': (8, 50, CUT)}, READERS, 5, GONE, None, 'i2d dati', 5, 'Reading in.img failed', None),
    'image ends in a part of a frame': ({'tail': 100}, 'i2d', 0, END, '{end}',
                                        'dati wavi', 0, 'Warning: in.img ends in 100 bytes that are no whole frame', '{end}'),
    'target removed': ({'meanwhile': (10, 160, REMOVE), 'target': 1}, WRITERS, 5, GONE, None),
    # no file grows past (frames, bytes more) of its job's output
    'disk full': ({'file_size': (100, 0)}, 'wav img wavi', 5, 'File too large', 100),
    'disk full at the first frame': ({'file_size': (0, 2000)}, 'wav img', 5, 'File too large', 0),
    'disk full at the last frame': ({'file_size': ('{end}', -1)}, 'wav img', 5, 'File too large', '{end}-'),
    'disk just large enough': ({'file_size': ('{end}', 0)}, 'wav img', 0, END, '{end}'),
    # a tape copy's records, named after the time it began, on a full disk: a line, the copy whole
    'records on a full disk': ({'full': 'DAT2DAT-20020128-140509'}, 'dat dati', 0, 'report.txt: No space left', '{end}'),
    'ESC': ({'keys': b'x' * 30 + b'\x1b'}, 'wav play wavi', 0, 'ended by ESC', 31, 'img dat dati', 0, 'ended by ESC', 32,
            'i2d', 0, 'ended by ESC', 31,
            'rec', 0, 'ended by ESC', None),
    'ESC, /STOPEOT': ({'keys': b'\x1b', 'opt': '/STOPEOT'}, 'wav', 0, 'ended by ESC', 1, 'img dat', 0, 'ended by ESC', 2,
                      'i2d', 0, 'ended by ESC', 1),
    'no playback device': ({'env': {'TERVANO_AUDIO_DEVICE': 'no_such_device'}}, 'play', 6,
                           'ALSA device "no_such_device" cannot be opened: No such file or directory; '
                           'TERVANO_AUDIO_DEVICE names the ALSA device', 0),
    'SIGINT': ({'meanwhile': after(signal.SIGINT, 8, 160)}, DRIVES, 130, 'ended by SIGINT', None),
    'SIGTERM': ({'meanwhile': after(signal.SIGTERM, 8, 160)}, DRIVES, 143, 'ended by SIGTERM', None),
    'SIGHUP': ({'meanwhile': after(signal.SIGHUP, 8, 160)}, DRIVES, 129, 'ended by SIGHUP', None),
    'SIGINT in the mount wait': ({**MOUNT, 'meanwhile': after(signal.SIGINT, 0, 5)}, 'img', 130, 'stopped\n\nStopped by SIGINT' + STOP + '$', 0),
    'SIGTERM in the seek': ({**SEEK, 'meanwhile': after(signal.SIGTERM, 0x34, 2)}, 'img', 143, '\r\n\nStopped by SIGTERM' + STOP + ' - closing', 0),
    'SIGHUP in the seek': ({**SEEK, 'meanwhile': after(signal.SIGHUP, 0x34, 2)}, 'wav', 129, '\r\n\nStopped by SIGHUP' + STOP + ' - closing', 0),
    'standard descriptors closed': ({'close': (0, 2)}, 'img', 0, END, '{end}'),
    'image over its own cassette': ({'in': {'cassette': 'Tape.img'}}, 'img', 6, 'Tape.img: in use by a drive', 0),
}


def source(job, setup):  # the cassette or image the job reads
    return setup.get('in', {}).get('cassette', 'in.img' if job in ('i2d', 'wavi', 'dati') else 'in.dat')


def run_cell(job, setup):
    at = lambda value: AT_JOB.get(job, {}).get(value, AT.get(value, value))
    bay = dc.Bay()
    slow = {'latency_ms': 3} if 'meanwhile' in setup else {}  # a fault meets the job in its middle
    [bay.cassette(name, TAPE) for name in ('in.dat', source(job, setup))]
    bay.cassette('in.img', TAPE + [b'\x55' * setup.get('tail', 0)])
    for address, drive, cassette in (('0:4', 'in', 'in.dat'), ('1:2', 'out', bay.cassette('out.dat'))):
        keys = {k: at(v) for k, v in setup.get(drive, {}).items()}
        bay.add(address, **{**dc.SDT9000, **slow, 'cassette': cassette, **keys})
    with wave.open(bay.file('in.wav'), 'wb') as wav:
        wav.setparams((2, 2, 48000, 0, 'NONE', None))
        wav.writeframes(PCM)
    pathlib.Path(bay.file('in.cue')).write_text('[FILES]\nFILE_001=in.wav\n')
    for suffix in ('.report.txt', '.timeline.svg') if 'full' in setup else ():
        os.symlink('/dev/full', bay.file(setup['full'] + suffix))
    header, grows = FILE_GROWS.get(job, (0, 0))
    frames, more = setup.get('file_size', (0, 0))
    size = header + at(frames) * grows + more if 'file_size' in setup else None
    env = {'TERVANO_AUDIO_DEVICE': 'file:FILE=%s,FORMAT=raw' % bay.file('played.raw'),
           **({'TERVANO_TIME_SCALE': '20'} if slow else {}), **setup.get('env', {})}
    process = dc.start((JOBS[job] + ' ' + setup.get('opt', '')).split(), bay, setup.get('keys', b''), env,
                       file_size=size, close=setup.get('close', ()))
    if slow:
        path = bay.file('out.dat' if 'target' in setup else source(job, setup))
        threading.Thread(target=meanwhile, args=(bay, process, path, *setup['meanwhile'])).start()
    try:
        out = process.communicate(timeout=60)[0].decode('latin-1')
    finally:
        process.kill()
    return bay, process.returncode, out, at


def meanwhile(bay, process, path, opcode, count, action):
    while process.poll() is None and sum(r.cdb[0] in (opcode, 10) for r in bay.trace()) < count:
        time.sleep(0.005)
    action(process, path)


class FaultMatrix(unittest.TestCase):
    def test_every_job_against_every_fault(self):
        for fault, (setup, *groups) in MATRIX.items():
            for jobs, exit_code, line, frames in zip(*[iter(groups)] * 4):
                for job in jobs.split():
                    with self.subTest(fault=fault, job=job):
                        bay, code, out, at = run_cell(job, setup)
                        said = out.endswith(line[:-1]) if line.endswith('$') else line in out
                        self.assertEqual((code, said), (exit_code, True), out[-600:])
                        reported = int(next(iter(re.findall(r'Done: \d+ files?, (\d+) frames?', out)), 0))
                        if frames is not None:
                            self.assertEqual(reported, at(frames.rstrip('-')) - frames.endswith('-')
                                             if isinstance(frames, str) else frames, out[-600:])
                        self.check_outputs(bay, job, setup, reported, at)

    def check_outputs(self, bay, job, setup, reported, at):
        if setup.get('meanwhile', (0, 0, None))[2] not in (REMOVE, CUT):
            tail = b'\x55' * setup.get('tail', 0) if source(job, setup) == 'in.img' else b''
            self.assertEqual(pathlib.Path(bay.file(source(job, setup))).read_bytes(), TAPE_BYTES + tail)
        # A damaged frame that /STOPEOT reads past is left out of a copy, stored as
        # silence in a WAV file; after a rewind the scan for the first recorded frame
        # drops what comes before it.
        errors = str(at(setup.get('in', {}).get('read_errors', ''))) if '/STOPEOT' in setup.get('opt', '') else ''
        first, _, last = errors.partition('-')
        damaged = range(int(first), int(last or first) + 1) if first else ()
        kept = [data for n, data in enumerate(TAPE) if n not in damaged]
        heard = [dc.blank_frame() if n in damaged else data for n, data in enumerate(TAPE)]
        heard = heard[len(damaged):] if '/REWIND' in setup.get('opt', '') else heard
        name = bay.file({'img': 'Tape.img', 'play': 'played.raw', 'wav': 'Take1.wav',
                         'wavi': 'Take1.wav'}.get(job, 'out.dat'))
        if source(job, setup) == 'Tape.img':
            return
        exists = os.path.exists(name)
        if job in ('wav', 'wavi', 'img'):  # an output that got no frame is removed
            self.assertEqual(exists, reported > 0)
        if exists and job == 'rec':  # the program is the WAV file's audio, as far as it went
            frames = bay.frames(name)
            audio = [f[:5760] for f in frames if dc.program_times(f)[0] == 1]
            self.assertEqual((audio, len(frames)), ([f[:5760] for f in TAPE[:len(audio)]], reported))
        elif exists and job == 'play':  # after six primed buffers of silence, the last one completed
            pcm = dc.expected_pcm(heard[:reported])
            self.assertEqual(pathlib.Path(name).read_bytes(), bytes(6 * 16384) + pcm + bytes(-len(pcm) % 16384))
        elif exists and job in ('img', 'dat', 'i2d', 'dati'):
            self.assertEqual(bay.frames(name), kept[:reported])
        elif exists:  # one file: the RIFF and data lengths count exactly the file's bytes
            content = pathlib.Path(name).read_bytes()
            self.assertEqual(struct.unpack('<4xI32xI', content[:44]), (len(content) - 8, len(content) - 44))
            self.assertEqual(content[44:], dc.expected_pcm(heard[:reported]))
        for cassette in ('in.dat', 'out.dat') if 'hang_at' not in setup.get('in', {}) else ():
            self.assertIn(bay.state(cassette).get('density'), (None, 0x13), 'in audio mode')


if __name__ == '__main__':
    unittest.main()
