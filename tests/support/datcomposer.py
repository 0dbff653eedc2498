# Composes DAT cassettes, vdat drive bays and program runs for the end-to-end tests.
#
# Standard library only, and independent of the C++ code: the time-code rule, the
# long-play code and its interleave are written out here from the frame format, so that a
# test compares the program's output with a second implementation.
#
#     tape = lead_in(120) + list(program(1, 400))
#     bay = Bay().add('0:4', cassette='in.dat', frames=tape)   # a fresh temporary folder
#     code, out = bay.run(['/DAT2IMG', 'copy', '/INPUTID', '0:4'])   # the program, on vdat
#     assert bay.frames('copy.img') == tape
#     expected = expected_pcm(tape[120:])          # what a WAV file should hold
#
# Frame layout (offsets in the frame): audio 0-5759; seven 8-byte packs from 5760 (item
# number in bits 7-4 of byte 0, parity in byte 7); sub-ID bytes 5816-5819 (control bits,
# program-number hundreds digit and pack count, tens and units, error flags); format bytes
# 5820-5821 (rate and channel codes; quantization and SCMS codes).
#
# Program numbers are given as their 12-bit pack value, three BCD digits: 0x123 for
# program 123 (bcd_pno(123)), and the markers PNO_LEAD_IN (0x0BB), PNO_LEAD_OUT (0x0EE).
# Times are tuples (hours, minutes, seconds, frames), or NO_TIME for AA AA AA AA.

import collections
import os
import re
import resource
import shutil
import signal
import struct
import subprocess
import tempfile
import weakref

FRAME_BYTES, AUDIO_BYTES, PACKS_AT, SUB_ID_AT, FORMAT_AT = 5822, 5760, 5760, 5816, 5820
LP_PCM_BYTES = 7680
PNO_INVALID, PNO_LEAD_IN, PNO_LEAD_OUT = 0x0AA, 0x0BB, 0x0EE
RATE_48K, RATE_44K, RATE_32K = 0, 1, 2
RATE_HZ = {RATE_48K: 48000, RATE_44K: 44100, RATE_32K: 32000}
CONTROL_START_ID = 0x40  # sub-ID byte 0 bit 6
NO_TIME = None
ERROR_LEFT, ERROR_RIGHT = 0x40, 0x20  # sub-ID byte 3, as a drive reports damaged audio
SDT9000 = dict(vendor='SONY', product='SDT-9000', revision='12.2')


def bcd(value):
    return ((value // 10) << 4 | value % 10) & 0xFF


def bcd_pno(number):
    return (number // 100) << 8 | bcd(number % 100)


def time_bytes(time):
    return b'\xaa' * 4 if time is NO_TIME else bytes(bcd(v) for v in time)


# Seconds whose number mod 3 is 2 have 34 frames, the others 33: 100 every 3 s.
def step_time(time):
    h, m, s, f = time
    f += 1
    if f >= (34 if s % 3 == 2 else 33):
        f, s = 0, s + 1
    if s == 60:
        s, m = 0, m + 1
    if m == 60:
        m, h = 0, h + 1
    return (h, m, s, f)


def time_after(count, start=(0, 0, 0, 0)):
    time = tuple(start)
    for _ in range(count):
        time = step_time(time)
    return time


# ---- frames

def parity(pack):
    value = 0
    for byte in pack[:7]:
        value ^= byte
    return value


def time_pack(item, pno, index, time):
    return bytes([item << 4 | (pno >> 8) & 0x07, pno & 0xFF, bcd(index)]) + time_bytes(time)


# One frame. pno: the 12-bit program-number value of packs 1 and 2 and of the sub-ID.
# control: sub-ID byte 0 bits 7-4. date: (year, month, day, hour, minute, second, weekday)
# fills pack 5. long_play sets quantization code 1. error_flags: sub-ID byte 3. audio: up
# to 5760 bytes, the rest is zero. pack_count: packs covered by parity, also in sub-ID
# byte 1 (default 7 with a date, else 2); parity_ok=False inverts each covered parity.
def frame(pno=0x001, abs_time=(0, 0, 0, 0), prog_time=(0, 0, 0, 0), index=1, control=0,
          date=None, rate=RATE_48K, long_play=False, scms=0, error_flags=0, audio=b'',
          pack_count=None, parity_ok=True):
    data = bytearray(FRAME_BYTES)
    data[:len(audio)] = audio
    packs = [bytearray(8) for _ in range(7)]
    packs[0][:7] = time_pack(1, pno, index, prog_time)
    packs[1][:7] = time_pack(2, pno, index, abs_time)
    if date is not None:
        year, month, day, hour, minute, second, weekday = date
        packs[4][:7] = bytes([0x50 | weekday]) + bytes(
            bcd(v) for v in (year % 100, month, day, hour, minute, second))
    if pack_count is None:
        pack_count = 7 if date is not None else 2
    for pack in packs[:pack_count]:
        pack[7] = parity(pack) ^ (0 if parity_ok else 0xFF)
    data[PACKS_AT:SUB_ID_AT] = b''.join(packs)
    data[SUB_ID_AT:] = bytes([control & 0xF0, (pno >> 8 & 0x0F) << 4 | pack_count & 0x0F,
                              pno & 0xFF, error_flags, (rate & 3) << 2,
                              (1 if long_play else 0) << 6 | (scms & 3) << 2])
    return bytes(data)


def blank_frame():  # unrecorded tape: all seven packs empty
    return bytes(FRAME_BYTES)


def lead_in(count=120, rate=RATE_48K):
    return [frame(PNO_LEAD_IN, NO_TIME, NO_TIME, control=CONTROL_START_ID, rate=rate)] * count


def lead_out(count=300):
    return [frame(PNO_LEAD_OUT, NO_TIME, NO_TIME, control=CONTROL_START_ID, pack_count=7)] * count


# The frames of a program (number 1-799), times advancing from start_abs and start_prog
# (program_time=False: NO_TIME); the first start_id_frames carry a start ID. Audio:
# test_pcm of first_frame_index + i (encoded as long play when long_play, at 32 kHz), or
# audio(i). error_flags(i) gives sub-ID byte 3; date fills every frame's date pack.
def program(number, count, start_abs=(0, 0, 0, 0), start_prog=(0, 0, 0, 0),
            start_id_frames=300, program_time=True, rate=RATE_48K, long_play=False, scms=0,
            date=None, first_frame_index=0, error_flags=None, audio=None):
    abs_time, prog_time = tuple(start_abs), tuple(start_prog)
    rate = RATE_32K if long_play else rate
    for i in range(count):
        if audio is not None:
            sound = audio(i)
        elif long_play:
            sound = encode_lp(test_pcm(first_frame_index + i, rate, 0, LP_PCM_BYTES))
        else:
            sound = test_pcm(first_frame_index + i, rate, 0, pcm_bytes_per_frame(rate))
        yield frame(bcd_pno(number), abs_time, prog_time if program_time else NO_TIME,
                    control=CONTROL_START_ID if i < start_id_frames else 0, date=date,
                    rate=rate, long_play=long_play, scms=scms, audio=sound, pack_count=7,
                    error_flags=error_flags(i) if error_flags else 0)
        abs_time, prog_time = step_time(abs_time), step_time(prog_time)


# (program-number value, absolute time bytes, program time bytes) of packs 2 and 1.
def program_times(data):
    pack1, pack2 = data[PACKS_AT:PACKS_AT + 8], data[PACKS_AT + 8:PACKS_AT + 16]
    return (pack2[0] & 0x0F) << 8 | pack2[1], bytes(pack2[3:7]), bytes(pack1[3:7])


# ---- audio

def pcm_bytes_per_frame(rate, long_play=False):
    return LP_PCM_BYTES if long_play else {RATE_44K: 5292, RATE_32K: 3840}.get(rate, 5760)


# Deterministic 16-bit stereo PCM for one frame, spread over every value.
def test_pcm(frame_index, rate, channels, length):
    seed = (frame_index * 7919 + rate * 104729 + channels * 1299709) & 0xFFFFFFFF
    return b''.join((((seed + i * 2654435761) * 40503 >> 7) & 0xFFFF).to_bytes(2, 'little')
                    for i in range(length // 2))


# 12-bit long-play code (signed, or unsigned 2048-4095) to a 16-bit sample, and back
# (rounding down).
def lp_expand(code):
    code = code - 4096 if code >= 2048 else code
    if code < 0:
        return -32768 if code == -2048 else -lp_expand(-code)
    for top, factor, offset in ((511, 1, 0), (767, 2, -512), (1023, 4, -2048),
                                (1279, 8, -6144), (1535, 16, -16384), (1791, 32, -40960)):
        if code <= top:
            return factor * code + offset
    return 64 * (code - 1536)


def lp_compress(value):
    if value < -512:
        return -1 - lp_compress(-1 - value)
    if value < 512:
        return value
    for top, divisor, offset in ((1023, 2, 256), (2047, 4, 512), (4095, 8, 768),
                                 (8191, 16, 1024), (16383, 32, 1280), (32767, 64, 1536)):
        if value <= top:
            return value // divisor + offset


def _linear_address(k):
    a, h, l = k // 4, (k // 2) % 2, k % 2
    block = (a % 52) + (a // 832) + 75 * (a % 2) + 128 * h
    return 32 * block + 2 * ((a // 52) - 16 * (a // 832) - l) + 2 - ((a // 52) % 2)


def _long_play_address(m):
    s = m // 3
    w = 3 * (s // 2) + (m % 3)
    x = (s % 2) + 2 * ((w // 2) - 720 * (s // 960))
    block = (x % 52) + (x // 832) + 75 * (x % 2) + 128 * ((x + (s // 960)) % 2)
    return 32 * block + 2 * ((x // 52) - 16 * (x // 832) + (w % 2)) - ((x // 52) % 2)


# Where byte n of the long-play sample stream lies in the audio area.
_AT_ADDRESS = {_linear_address(k): k for k in range(AUDIO_BYTES)}
LP_INTERLEAVE = [_AT_ADDRESS[_long_play_address(
    n if n % 6 < 3 else n + 2880 if n < 2880 else n - 2880)] for n in range(AUDIO_BYTES)]


# 7680 bytes of 16-bit stereo (1920 pairs) to the 5760-byte long-play audio area.
def encode_lp(pcm):
    area, samples = bytearray(AUDIO_BYTES), struct.unpack('<3840h', pcm)
    for i in range(1920):
        left, right = (lp_compress(v) & 0xFFF for v in samples[2 * i:2 * i + 2])
        area[LP_INTERLEAVE[3 * i]] = left >> 4
        area[LP_INTERLEAVE[3 * i + 1]] = (left & 0x0F) << 4 | right & 0x0F
        area[LP_INTERLEAVE[3 * i + 2]] = right >> 4
    return bytes(area)


def decode_lp(area):
    out = bytearray()
    for i in range(1920):
        b0, b1, b2 = (area[LP_INTERLEAVE[3 * i + j]] for j in range(3))
        for code in (b0 << 4 | b1 >> 4, b2 << 4 | b1 & 0x0F):
            out += (lp_expand(code) & 0xFFFF).to_bytes(2, 'little')
    return bytes(out)


# The 16-bit PCM a reading job takes from these frames: each 16-bit frame's first bytes
# by its rate, a long-play frame's decoded area; damaged frames as they stand.
def expected_pcm(frames):
    out = bytearray()
    for data in frames:
        if data[FORMAT_AT + 1] >> 6 == 1:
            out += decode_lp(data[:AUDIO_BYTES])
        else:
            out += data[:pcm_bytes_per_frame(data[FORMAT_AT] >> 2 & 3)]
    return bytes(out)


# ---- cassettes, bays and runs

Request = collections.namedtuple('Request', 'at cdb direction length status sense')
TRACE_LINE = re.compile(r'(\d+:\d+:\d+)((?: [0-9a-f]{2})+) (in|out|none) (\d+) -> ([0-9a-f]{2}) '
                        r'([0-9a-f]{2} [0-9a-f]{2} [0-9a-f]{2})')


def trace_request(line):
    fields = TRACE_LINE.fullmatch(line)
    if not fields:
        raise ValueError('malformed trace line %r' % line)
    at, cdb, direction, length, status, sense = fields.groups()
    return Request(at, bytes.fromhex(cdb), direction, int(length), int(status, 16), bytes.fromhex(sense))


# A vdat drive bay in a new temporary folder of its own (removed with the Bay), or in the
# folder given (the benchmarks'), which is also the working directory of its runs. Keys
# as the bay file takes them; frames= writes the cassette named by cassette=.
class Bay:
    def __init__(self, folder=None):
        self.folder = folder or tempfile.mkdtemp(prefix='tervano-e2e-')
        if not folder:
            self._cleanup = weakref.finalize(self, shutil.rmtree, self.folder, True)
        self.path = os.path.join(self.folder, 'bay.ini')
        self.trace_path = os.path.join(self.folder, 'vdat-trace.log')
        self.sections = collections.OrderedDict()
        self.add(None)

    def add(self, address, frames=None, **keys):
        if frames is not None:
            self.cassette(keys['cassette'], frames)
        if address:
            self.sections[address] = keys
        with open(self.path, 'w') as out:
            out.writelines('[%s]\n' % address + ''.join('%s=%s\n' % kv for kv in keys.items())
                           for address, keys in self.sections.items())
        return self

    def file(self, name):
        return os.path.join(self.folder, name)

    def cassette(self, name, frames=()):
        with open(self.file(name), 'wb') as out:
            out.writelines(frames)
        return name

    def frames(self, name):
        with open(self.file(name), 'rb') as source:
            content = source.read()
        if len(content) % FRAME_BYTES:
            raise ValueError('%s: %d bytes is no whole number of frames' % (name, len(content)))
        return [content[i:i + FRAME_BYTES] for i in range(0, len(content), FRAME_BYTES)]

    def state(self, cassette):  # the drive state kept beside a cassette, or {}
        if not os.path.exists(self.file(cassette + '.state')):
            return {}
        with open(self.file(cassette + '.state')) as source:
            pairs = [line.split('=', 1) for line in source.read().splitlines() if '=' in line]
        return {key.strip(): int(value, 16 if 'x' in value else 10) for key, value in pairs}

    # The vdat trace, a Request per line: address 'a:t:l', CDB bytes, direction ('in',
    # 'out', 'none'), data length, SRB_Status, and sense key, ASC and ASCQ as 3 bytes.
    def trace(self):
        if not os.path.exists(self.trace_path):
            return []
        with open(self.trace_path) as source:
            return [trace_request(line) for line in source.read().splitlines()]

    def cdbs(self, address='0:4:0'):
        return [r.cdb for r in self.trace() if r.at == address]

    # Runs the program to its end: (exit code, console text).
    def run(self, args, **keys):
        process = start(args, self, **keys)
        try:
            out = process.communicate(timeout=120)[0]
        finally:
            process.kill()
        return process.returncode, out.decode('latin-1')


# In the child: files end at size bytes, as on a full disk (writes then fail), and never
# pass 256 MiB, so that a job that reads for ever fails its test instead of filling the
# disk; the stop signals act as on a terminal, even when the runner ignores them.
def child_setup(file_size=None, close=()):
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_DFL)
    limit = file_size if file_size is not None else 256 << 20
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    for fd in close:
        os.close(fd)


# Starts $TERVANO_BIN with args in the bay's folder against its drives. The keys typed
# (stdin, b'\x1b' is ESC) are all waiting before the program starts, so the frame at
# which one is taken never depends on timing. env adds to the environment (the clock runs
# 1000 times faster; audio goes to ALSA's null device).
def start(args, bay, stdin=b'', env=None, file_size=None, close=(), **popen):
    env = {**os.environ, 'TERVANO_ASPI': os.path.join(os.environ['TERVANO_BUILD'], 'libaspi_vdat.so'),
           'VDAT_CONFIG': bay.path, 'VDAT_TRACE': bay.trace_path, 'TERVANO_AUDIO_DEVICE': 'null',
           'TERVANO_TIME_SCALE': '1000', 'TERVANO_LOCAL_TIME': '2002-01-28 14:05:09', **(env or {})}
    read_end, write_end = os.pipe()
    os.write(write_end, stdin)
    os.close(write_end)
    try:
        return subprocess.Popen([os.environ['TERVANO_BIN']] + list(args), stdin=read_end,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                cwd=bay.folder, env=env,
                                preexec_fn=lambda: child_setup(file_size, close), **popen)
    finally:
        os.close(read_end)
