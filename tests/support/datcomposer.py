"""Composes DAT cassettes, vdat drive bays and program runs for the end-to-end tests.

Standard library only, and independent of the C++ code: the time-code rule, the
long-play code and its interleave are written out here from the frame format, so that a
test compares the program's output with a second implementation.

A cassette is a list of 5822-byte frames (``bytes``):

    tape = lead_in(120) + list(program(1, 400, start_abs=(0, 0, 0, 0)))
    bay = Bay()                                  # a fresh temporary folder
    bay.add("0:4", cassette=bay.cassette("tape.dat", tape))
    code, out = run(["/DAT2IMG", "copy", "/INPUTID", "0:4"], bay)   # the program, on vdat
    assert read_frames(bay.file("copy.img")) == tape
    expected = expected_pcm(tape[120:])          # what a WAV file should hold

Frame layout (offsets in the frame): audio 0-5759; seven 8-byte packs from 5760 (item
number in bits 7-4 of byte 0, parity in byte 7); sub-ID bytes 5816-5819 (control bits,
program-number hundreds digit and pack count, tens and units, error flags); format bytes
5820-5821 (rate and channel codes; quantization and SCMS codes).

Program numbers are given as their 12-bit pack value, three BCD digits: 0x001 for
program 1, 0x123 for program 123, and the markers PNO_LEAD_IN (0x0BB), PNO_LEAD_OUT
(0x0EE), PNO_SILENCE (0x000) and PNO_INVALID (0x0AA); bcd_pno(123) gives 0x123. Times
are tuples (hours, minutes, seconds, frames) of plain numbers, or NO_TIME for the
AA AA AA AA marker.
"""

import collections
import os
import re
import resource
import shutil
import signal
import subprocess
import tempfile
import weakref

FRAME_BYTES = 5822
AUDIO_BYTES = 5760
PACKS_AT = 5760
PACK_BYTES = 8
SUB_ID_AT = 5816
FORMAT_AT = 5820
LP_PCM_BYTES = 7680

PNO_SILENCE = 0x000
PNO_INVALID = 0x0AA
PNO_LEAD_IN = 0x0BB
PNO_LEAD_OUT = 0x0EE

RATE_48K = 0
RATE_44K = 1
RATE_32K = 2
RATE_NONE = 3
RATE_HZ = {RATE_48K: 48000, RATE_44K: 44100, RATE_32K: 32000}

CONTROL_START_ID = 0x40          # sub-ID byte 0 bit 6
CONTROL_START_ID_WINDOW = 0xC0   # what the recorder writes in a start-ID window

ITEM_PROGRAM_TIME = 1
ITEM_ABSOLUTE_TIME = 2
ITEM_DATE = 5

NO_TIME = None      # the AA AA AA AA marker
ABSENT = "absent"   # leave the pack slot empty (item 0)

ERROR_LEFT = 0x40   # sub-ID byte 3, as a drive reports damaged audio
ERROR_RIGHT = 0x20


# ---- BCD and time codes ---------------------------------------------------------------

def bcd(value):
    """Two decimal digits of value (0-99, or up to 159 as the hour carry gives) in a byte."""
    return ((value // 10) << 4 | value % 10) & 0xFF


def bcd_pno(number):
    """Program number 0-799 as its 12-bit pack value: 123 -> 0x123."""
    if not 0 <= number <= 799:
        raise ValueError("program number out of range: %r" % number)
    return (number // 100) << 8 | bcd(number % 100)


def time_bytes(time):
    """A time tuple as four BCD bytes; NO_TIME as AA AA AA AA; four raw bytes pass through."""
    if time is NO_TIME:
        return b"\xaa\xaa\xaa\xaa"
    if isinstance(time, (bytes, bytearray)):
        if len(time) != 4:
            raise ValueError("a raw time has four bytes")
        return bytes(time)
    return bytes(bcd(v) for v in time)


def frames_in_second(second):
    """Seconds whose number mod 3 is 2 have 34 frames, the others 33: 100 every 3 s."""
    return 34 if second % 3 == 2 else 33


def step_time(time):
    """The time one frame later."""
    h, m, s, f = time
    f += 1
    if f >= frames_in_second(s):
        f, s = 0, s + 1
    if s == 60:
        s, m = 0, m + 1
    if m == 60:
        m, h = 0, h + 1
    return (h, m, s, f)


def time_after(count, start=(0, 0, 0, 0)):
    """The time count frames after start, stepped frame by frame."""
    time = tuple(start)
    for _ in range(count):
        time = step_time(time)
    return time


def running_time(position):
    """The running time a drive shows at tape position n (frame n from the start)."""
    return time_after(position)


# ---- frames ---------------------------------------------------------------------------

def parity(pack):
    """Byte 7 of a pack: the XOR of bytes 0-6."""
    value = 0
    for byte in pack[:7]:
        value ^= byte
    return value


def time_pack(item, pno, index, time):
    pack = bytearray(PACK_BYTES)
    pack[0] = item << 4 | (pno >> 8) & 0x07
    pack[1] = pno & 0xFF
    pack[2] = bcd(index)
    pack[3:7] = time_bytes(time)
    return pack


def date_pack(date):
    """date = (year, month, day, hour, minute, second, weekday); weekday 1 = Sunday."""
    year, month, day, hour, minute, second, weekday = date
    pack = bytearray(PACK_BYTES)
    pack[0] = ITEM_DATE << 4 | weekday & 0x0F
    pack[1:7] = bytes(bcd(v) for v in (year % 100, month, day, hour, minute, second))
    return pack


def frame(pno=0x001, abs_time=(0, 0, 0, 0), prog_time=(0, 0, 0, 0), index=1, control=0,
          date=None, rate=RATE_48K, channels=0, long_play=False, quantization=None, scms=0,
          error_flags=0, audio=b"", pack_count=None, parity_ok=True, extra_packs=()):
    """One 5822-byte frame.

    pno: the 12-bit program-number value of packs 1 and 2 and of the sub-ID.
    abs_time, prog_time: time tuples, NO_TIME, four raw bytes, or ABSENT (no pack).
    control: sub-ID byte 0 bits 7-4 (CONTROL_START_ID ...). date: fills pack 5.
    rate, channels: format byte 0 codes; long_play sets quantization code 1 (or give
    quantization 0-3 directly); scms: code 0-3. error_flags: sub-ID byte 3.
    audio: up to 5760 bytes, the rest of the area is zero.
    pack_count: packs covered by parity, also written to sub-ID byte 1 (default 7 with a
    date pack, else 2). parity_ok=False writes each covered parity byte inverted.
    extra_packs: (slot 1-7, 8 bytes) pairs written last, their parity as given.
    """
    if len(audio) > AUDIO_BYTES:
        raise ValueError("a frame carries at most 5760 audio bytes")
    data = bytearray(FRAME_BYTES)
    data[:len(audio)] = audio
    packs = [bytearray(PACK_BYTES) for _ in range(7)]
    if prog_time is not ABSENT:
        packs[0] = time_pack(ITEM_PROGRAM_TIME, pno, index, prog_time)
    if abs_time is not ABSENT:
        packs[1] = time_pack(ITEM_ABSOLUTE_TIME, pno, index, abs_time)
    if date is not None:
        packs[4] = date_pack(date)
    if pack_count is None:
        pack_count = 7 if date is not None else 2
    for pack in packs[:pack_count]:
        pack[7] = parity(pack) ^ (0 if parity_ok else 0xFF)
    for slot, pack in extra_packs:
        packs[slot - 1] = bytearray(pack)
    for k, pack in enumerate(packs):
        data[PACKS_AT + k * PACK_BYTES:PACKS_AT + (k + 1) * PACK_BYTES] = pack
    if quantization is None:
        quantization = 1 if long_play else 0
    data[SUB_ID_AT] = control & 0xF0
    data[SUB_ID_AT + 1] = (pno >> 8 & 0x0F) << 4 | pack_count & 0x0F
    data[SUB_ID_AT + 2] = pno & 0xFF
    data[SUB_ID_AT + 3] = error_flags
    data[FORMAT_AT] = (rate & 3) << 2 | channels & 3
    data[FORMAT_AT + 1] = (quantization & 3) << 6 | (scms & 3) << 2
    return bytes(data)


def blank_frame(audio=b""):
    """Unrecorded tape: all seven packs empty (the audio bytes do not matter)."""
    data = bytearray(FRAME_BYTES)
    data[:len(audio)] = audio
    return bytes(data)


def has_subcode(data):
    return any(data[PACKS_AT + k * PACK_BYTES] >> 4 for k in range(7))


def lead_in(count=120, rate=RATE_48K, channels=0):
    """Lead-in frames as the recorder writes them: 0BB, no times, start ID."""
    return [frame(PNO_LEAD_IN, NO_TIME, NO_TIME, control=CONTROL_START_ID, rate=rate,
                  channels=channels) for _ in range(count)]


def lead_out(count=300, rate=RATE_48K, channels=0, long_play=False, scms=0):
    """Lead-out frames: 0EE, no times, start ID, the last program's format."""
    return [frame(PNO_LEAD_OUT, NO_TIME, NO_TIME, control=CONTROL_START_ID, rate=rate,
                  channels=channels, long_play=long_play, scms=scms, pack_count=7)
            for _ in range(count)]


# ---- audio ----------------------------------------------------------------------------

def pcm_bytes_per_frame(rate, long_play=False):
    """16-bit PCM bytes one frame yields: 5760, 5292 or 3840 by rate; 7680 in long play."""
    if long_play:
        return LP_PCM_BYTES
    return {RATE_44K: 5292, RATE_32K: 3840}.get(rate, 5760)


def test_pcm(frame_index, rate, channels, length):
    """Deterministic 16-bit little-endian stereo PCM for one frame: a hash of the frame
    index, the rate and channel codes and the sample number, spread over every value."""
    out = bytearray(length)
    seed = (frame_index * 7919 + rate * 104729 + channels * 1299709) & 0xFFFFFFFF
    for i in range(length // 2):
        value = ((seed + i * 2654435761) * 40503 >> 7) & 0xFFFF
        out[2 * i] = value & 0xFF
        out[2 * i + 1] = value >> 8
    return bytes(out)


def lp_expand(code):
    """12-bit long-play code (signed, or unsigned 2048-4095) to a 16-bit sample."""
    if code >= 2048:
        code -= 4096
    if code == -2048:
        return -32768
    if code < 0:
        return -lp_expand(-code)
    segments = ((511, 1, 0), (767, 2, -512), (1023, 4, -2048), (1279, 8, -6144))
    for top, factor, offset in segments:
        if code <= top:
            return factor * code + offset
    if code <= 1535:
        return 16 * (code - 1024)
    if code <= 1791:
        return 32 * (code - 1280)
    return 64 * (code - 1536)


def lp_compress(value):
    """16-bit sample to its 12-bit code (signed), integer division rounding down."""
    if value < -512:
        return -1 - lp_compress(-1 - value)
    if value < 512:
        return value
    for top, divisor, offset in ((1023, 2, 256), (2047, 4, 512), (4095, 8, 768),
                                 (8191, 16, 1024), (16383, 32, 1280), (32767, 64, 1536)):
        if value <= top:
            return value // divisor + offset
    raise ValueError("not a 16-bit sample: %r" % value)


def _linear_address(k):
    a, h, l = k // 4, (k // 2) % 2, k % 2
    block = (a % 52) + (a // 832) + 75 * (a % 2) + 128 * h
    place = 2 * ((a // 52) - 16 * (a // 832) - l) + 2 - ((a // 52) % 2)
    return 32 * block + place


def _long_play_address(m):
    s = m // 3
    w = 3 * (s // 2) + (m % 3)
    x = (s % 2) + 2 * ((w // 2) - 720 * (s // 960))
    block = (x % 52) + (x // 832) + 75 * (x % 2) + 128 * ((x + (s // 960)) % 2)
    place = 2 * ((x // 52) - 16 * (x // 832) + (w % 2)) - ((x // 52) % 2)
    return 32 * block + place


def _build_interleave():
    at_address = {}
    for k in range(AUDIO_BYTES):
        at_address[_linear_address(k)] = k
    table = []
    for n in range(AUDIO_BYTES):
        if n % 6 >= 3:
            n = n + 2880 if n < 2880 else n - 2880
        table.append(at_address[_long_play_address(n)])
    return table


LP_INTERLEAVE = _build_interleave()


def _sample(pcm, i):
    value = pcm[2 * i] | pcm[2 * i + 1] << 8
    return value - 65536 if value >= 32768 else value


def encode_lp(pcm):
    """7680 bytes of 16-bit stereo (1920 pairs) to the 5760-byte long-play audio area."""
    if len(pcm) != LP_PCM_BYTES:
        raise ValueError("a long-play frame takes 7680 PCM bytes")
    area = bytearray(AUDIO_BYTES)
    for i in range(1920):
        left = lp_compress(_sample(pcm, 2 * i)) & 0xFFF
        right = lp_compress(_sample(pcm, 2 * i + 1)) & 0xFFF
        area[LP_INTERLEAVE[3 * i]] = left >> 4
        area[LP_INTERLEAVE[3 * i + 1]] = (left & 0x0F) << 4 | right & 0x0F
        area[LP_INTERLEAVE[3 * i + 2]] = right >> 4
    return bytes(area)


def decode_lp(area):
    """The 5760-byte long-play audio area to 7680 bytes of 16-bit stereo."""
    out = bytearray()
    for i in range(1920):
        b0, b1, b2 = (area[LP_INTERLEAVE[3 * i + j]] for j in range(3))
        left = b0 << 4 | b1 >> 4
        right = b2 << 4 | b1 & 0x0F
        for code in (left, right):
            out += (lp_expand(code) & 0xFFFF).to_bytes(2, "little")
    return bytes(out)


def expected_pcm(frames):
    """The 16-bit PCM a reading job takes from these frames, in order: the first bytes of
    each 16-bit frame by its rate, or the decoded area of a long-play frame (quantization
    code 1). Damaged frames are taken as they stand: no concealment."""
    out = bytearray()
    for data in frames:
        rate = data[FORMAT_AT] >> 2 & 3
        if data[FORMAT_AT + 1] >> 6 == 1:
            out += decode_lp(data[:AUDIO_BYTES])
        else:
            out += data[:pcm_bytes_per_frame(rate)]
    return bytes(out)


# ---- programs -------------------------------------------------------------------------

def program(number, count, start_abs=(0, 0, 0, 0), start_prog=(0, 0, 0, 0),
            start_id_frames=300, start_id_control=CONTROL_START_ID, program_time=True,
            rate=RATE_48K, channels=0, long_play=False, scms=0, date=None, index=1,
            first_frame_index=0, error_flags=None, audio=None):
    """Yields count consecutive frames of program number (a plain number, 1-799).

    The absolute time starts at start_abs and the program time at start_prog, both
    advancing by one frame per frame; program_time=False writes NO_TIME instead. The
    first start_id_frames frames carry start_id_control. Audio: test_pcm of the frame
    index (first_frame_index + i), encoded as long play when long_play (32 kHz), or
    audio(i) when a function is given. error_flags: a function of i giving sub-ID byte 3.
    A date pack (see date_pack) is written into every frame when date is given.
    """
    pno = bcd_pno(number)
    abs_time, prog_time = tuple(start_abs), tuple(start_prog)
    if long_play:
        rate = RATE_32K
    for i in range(count):
        if audio is not None:
            sound = audio(i)
        elif long_play:
            sound = encode_lp(test_pcm(first_frame_index + i, rate, channels, LP_PCM_BYTES))
        else:
            sound = test_pcm(first_frame_index + i, rate, channels, pcm_bytes_per_frame(rate))
        yield frame(pno, abs_time, prog_time if program_time else NO_TIME, index=index,
                    control=start_id_control if i < start_id_frames else 0, date=date,
                    rate=rate, channels=channels, long_play=long_play, scms=scms,
                    error_flags=error_flags(i) if error_flags else 0, audio=sound,
                    pack_count=7)
        abs_time, prog_time = step_time(abs_time), step_time(prog_time)


def program_times(data):
    """(program-number value, absolute time bytes, program time bytes) of a frame's
    packs 2 and 1, for checks."""
    pack1 = data[PACKS_AT:PACKS_AT + 8]
    pack2 = data[PACKS_AT + 8:PACKS_AT + 16]
    return ((pack2[0] & 0x0F) << 8 | pack2[1], bytes(pack2[3:7]), bytes(pack1[3:7]))


# ---- cassettes, bays and runs ---------------------------------------------------------

def write_cassette(path, frames):
    """Writes frames (each 5822 bytes) as a cassette or tape image file."""
    with open(path, "wb") as out:
        for data in frames:
            if len(data) != FRAME_BYTES:
                raise ValueError("a frame has 5822 bytes, not %d" % len(data))
            out.write(data)
    return path


def read_frames(path):
    """The frames of a cassette or image file; a partial last frame is an error."""
    with open(path, "rb") as source:
        content = source.read()
    if len(content) % FRAME_BYTES:
        raise ValueError("%s: %d bytes is not a whole number of frames" % (path, len(content)))
    return [content[i:i + FRAME_BYTES] for i in range(0, len(content), FRAME_BYTES)]


class Bay:
    """A vdat drive bay in a folder of its own (a new temporary folder by default, removed
    with the Bay), which also serves as the working directory of run(). The bay file is rewritten by every
    add(); keys as in the bay's documentation (vendor, product, revision, device_type,
    cassette, write_protect, capacity, read_errors, write_errors, locate_fps,
    ready_delay_ms, latency_ms, hang_at)."""

    def __init__(self, folder=None):
        if folder is None:
            folder = tempfile.mkdtemp(prefix="tervano-e2e-")
            self._cleanup = weakref.finalize(self, shutil.rmtree, folder, True)
        self.folder = folder
        self.path = os.path.join(folder, "bay.ini")
        self.trace_path = os.path.join(folder, "vdat-trace.log")
        self.sections = collections.OrderedDict()
        self.write()

    def add(self, address, **keys):
        """Adds or replaces the drive at "adapter:target"."""
        self.sections[address] = keys
        self.write()
        return self

    def write(self):
        lines = []
        for address, keys in self.sections.items():
            lines.append("[%s]" % address)
            lines.extend("%s=%s" % (key, value) for key, value in keys.items())
        with open(self.path, "w") as out:
            out.write("\n".join(lines) + "\n")

    def file(self, name):
        return os.path.join(self.folder, name)

    def cassette(self, name, frames=()):
        """Writes a cassette file into the bay's folder; returns its name for add()."""
        write_cassette(self.file(name), frames)
        return name

    def state(self, cassette_name):
        """The drive state kept beside a cassette, as a dict of ints (None: no state)."""
        try:
            with open(self.file(cassette_name + ".state")) as source:
                text = source.read()
        except FileNotFoundError:
            return None
        state = {}
        for line in text.splitlines():
            if "=" in line:
                key, value = line.split("=", 1)
                value = value.strip()
                state[key.strip()] = int(value, 16 if value[:2] in ("0x", "0X") else 10)
        return state


def provider_path():
    return os.path.join(os.environ["TERVANO_BUILD"], "libaspi_vdat.so")


def _limit_file_size(size):
    """In the child: files end at size bytes, as on a full disk (writes then fail)."""
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, resource.RLIM_INFINITY))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


def run(args, bay, stdin=b"", env=None, cwd=None, timeout=300, file_size=None):
    """Runs $TERVANO_BIN with args against the bay; returns (exit code, stdout text).

    The provider is vdat (TERVANO_ASPI), VDAT_CONFIG names the bay and VDAT_TRACE its
    trace file; audio goes to ALSA's null device unless env says otherwise. stdin is fed
    to the program (b'\\x1b' sends ESC). The working directory is the bay's folder.
    file_size: no file the program writes grows past it."""
    environment = dict(os.environ)
    environment.update({
        "TERVANO_ASPI": provider_path(),
        "VDAT_CONFIG": bay.path,
        "VDAT_TRACE": bay.trace_path,
        "TERVANO_AUDIO_DEVICE": "null",
    })
    environment.update(env or {})
    command = [os.environ["TERVANO_BIN"]] + list(args)
    limit = (lambda: _limit_file_size(file_size)) if file_size else None
    if len(stdin) <= PREFILLED_STDIN_BYTES:
        # The keys are all waiting before the program starts, so the frame at which a
        # key is taken never depends on timing.
        read_end, write_end = os.pipe()
        try:
            os.write(write_end, stdin)
        finally:
            os.close(write_end)
        try:
            completed = subprocess.run(command, stdin=read_end, stdout=subprocess.PIPE,
                                       cwd=cwd or bay.folder, env=environment,
                                       timeout=timeout, preexec_fn=limit)
        finally:
            os.close(read_end)
    else:
        completed = subprocess.run(command, input=stdin, stdout=subprocess.PIPE,
                                   cwd=cwd or bay.folder, env=environment, timeout=timeout)
    return completed.returncode, completed.stdout.decode("latin-1")


PREFILLED_STDIN_BYTES = 4096  # well within any pipe's buffer

# What only a run with drives prints: the input's address line (an image's name line in
# its place), the preparation, rewind and release of the drives.
_DRIVE_LINE = re.compile(r"^(Input SCSI adapter .*|Input image: .*|Configuring .*|"
                         r" - (found drive|waiting|setting drive|issuing|rewinding|closing) .*)\n",
                         re.M)


# How many polls a drive's seek shows depends on how fast it winds.
_SEEK_PROGRESS = re.compile(r"   - Present seek position: [^\r\n]*\r")


def less_drive_lines(out, folder=None):
    """Console text less the lines that tell a drive run from an image run (and the seek's
    progress lines), with the folder (a bay's) replaced by <folder>."""
    out = _SEEK_PROGRESS.sub("", _DRIVE_LINE.sub("", out))
    return out.replace(folder, "<folder>") if folder else out


TraceLine = collections.namedtuple(
    "TraceLine", "address cdb direction length status sense_key asc ascq line")


def trace(bay_or_path):
    """The vdat trace lines, parsed: address 'a:t:l', cdb bytes, direction, data length,
    SRB_Status, sense byte 2, ASC, ASCQ and the line itself."""
    path = bay_or_path.trace_path if isinstance(bay_or_path, Bay) else bay_or_path
    if not os.path.exists(path):
        return []
    lines = []
    with open(path) as source:
        for line in source.read().splitlines():
            request, result = line.split(" -> ")
            fields = request.split()
            status, key, asc, ascq = (int(v, 16) for v in result.split())
            lines.append(TraceLine(fields[0], bytes(int(v, 16) for v in fields[1:-2]),
                                   fields[-2], int(fields[-1]), status, key, asc, ascq, line))
    return lines
