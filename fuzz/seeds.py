#!/usr/bin/env python3
"""Writes the seed corpus of one fuzz target, made by the project's own tools.

Usage: seeds.py <target> <folder>. Frames and images come from
tests/support/datcomposer.py, WAV files from Python's wave module, MPEG files from lame
and twolame, other audio files from sox; a target without an entry in SEEDS starts from
an empty corpus.
"""
import io
import math
import os
import struct
import subprocess
import sys
import tempfile
import wave

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "support"))
import datcomposer as dc  # noqa: E402

TAIL = slice(dc.AUDIO_BYTES, dc.FRAME_BYTES)  # what the subcode reader looks at


def command_lines():
    lines = [
        "/TERVANO tape /INPUTID 0:4",
        "/tervano tape /inputid 1:3 /REWIND /STARTID /STOPEOT /ERRORCORRECT /MRSOFF",
        "/TERVANO x /INPUTID 0:4 /WAVEOUT /SEEK ABSTIME 0:12:30:0",
        "/TERVANO x /INPUTID 0:4 /SEEK PROGNUM 5",
        "/TERVANO x /INPUTID 0:4 /SEEK RUNTIME 1:2:3:4 /SEEK PROGTIME 0:0:0:33",
        "/WAV2DAT set1 /OUTPUTID 0:5",
        "/DAT2IMG copy /INPUTID 0:4 /TERVANO second",
        "/IMG2DAT copy /OUTPUTID 7:7",
        "/DAT2DAT /INPUTID 0:4 /OUTPUTID 1:4",
        "/DAT2DAT /INPUTID 0:4 /OUTPUTID 0:4",
        "/INPUTID 8:1 /TERVANO",
        "/TERVANO x /INPUTID -1:99999999999 /OUTPUTID 3",
        "/SEEK ABSTIME",
        "/TERVANO %s /INPUTID 0:4" % ("n" * 313),  # the longest name a job takes
        "/DAT2IMG %s /INPUTID 0:4" % ("n" * 1000),
    ]
    return [line.replace(" ", "\0").encode() for line in lines]


def record(frame, repeat=1):
    return bytes([repeat - 1]) + frame[TAIL]


# The frame with the given packs (slot 1-7: 8 bytes) written over its own, parity as given.
def with_packs(frame, packs):
    data = bytearray(frame)
    for slot, pack in packs.items():
        data[dc.PACKS_AT + 8 * (slot - 1):dc.PACKS_AT + 8 * slot] = pack
    return bytes(data)


def tapes():
    date = (2, 1, 28, 14, 5, 9, 2)
    plain = (dc.lead_in(3) + list(dc.program(1, 4, date=date)) +
             list(dc.program(2, 3, start_abs=(0, 0, 0, 4), rate=dc.RATE_44K)) + dc.lead_out(2))
    odd = [dc.frame(dc.PNO_INVALID, dc.NO_TIME, dc.NO_TIME, control=0x80),
           dc.frame(0x123, (99, 59, 59, 33), b"\xff\xff\xff\xff", long_play=True, scms=3),
           with_packs(dc.frame(0x001), {3: b"\x20\x0b\xbb\xaa\xaa\xaa\xaa\x00",
                                        7: b"\x50\x99\x12\x31\x23\x59\x59\x00"})]
    for settings in (0, 1):
        yield bytes([settings]) + b"".join(record(f) for f in plain)
        yield bytes([settings]) + record(plain[5]) + record(dc.blank_frame(), 62) + \
            record(dc.blank_frame(), 2) + b"".join(record(f) for f in odd)


def long_play_areas():
    pcm = dc.test_pcm(0, dc.RATE_32K, 0, dc.LP_PCM_BYTES)
    edge = bytearray(dc.AUDIO_BYTES)
    edge[0], edge[1] = 0xF0, 0x7F
    return [dc.encode_lp(pcm), bytes(edge), bytes(dc.AUDIO_BYTES), b"\xff" * dc.AUDIO_BYTES]


def spikes(left, right=()):
    pairs = max(len(left), len(right)) + 8
    samples = []
    for i in range(pairs):
        samples += [left[i] if i < len(left) else 0, right[i] if i < len(right) else 0]
    return struct.pack("<%dh" % len(samples), *samples)


def damaged_frames():
    audio = [spikes([0, 0, 1000, 0, 0]), spikes([2000, 2000, 2000, 0, 2000]),
             spikes([0, -1001, 2000, 0, 0]), spikes([], [-3000, 3000, -3000, 0])]
    frames = [dc.frame(audio=a, error_flags=f, rate=r)
              for a, f, r in zip(audio, (0x40, 0x48, 0x60, 0x20), (0, 1, 2, 0))]
    frames += list(dc.program(1, 1, rate=dc.RATE_44K, error_flags=lambda i: 0x23))
    return frames


def cue_files():
    return [
        b"[FILES]\nFILE_001=one.wav\nFILE_002=two.mp3\nFILE_003=NONE\n"
        b"[CONFIG]\nSTARTID=ON\nSCMS=10\n32KHZ_LP=on\nINTERTRACK_SILENCE=2\n"
        b"LEADIN_SILENCE=-3\nLEADOUT_SILENCE=0x10\n",
        b"\xef\xbb\xbf; a comment\r\n[ files ]\r\nfile_001 = \"a;b.wav\"\r\nFILE_003=c\r\n"
        b"[CONFIG]\r\nSCMS=\r\nTIME_DATE='ON'\r\n",
        b"loose=1\n[FILES\nFILE_001\n=x\n[FILES]\n[FILES]\nFILE_001=\n",
    ]


def bays():
    return [
        b"[0:4]\nvendor=SONY\nproduct=SDT-9000\nrevision=12.2\ndevice_type=1\n"
        b"cassette=tape.dat\nwrite_protect=0\ncapacity=240000\nread_errors=100,205-210\n"
        b"locate_fps=20000\nready_delay_ms=0\nlatency_ms=0\n",
        b"[0:4]\ncassette=a.dat ; the first\n[1:15]\ncassette='b.dat'\nread_errors= 5 , 3-4\n",
        b"[0:4]\ncassette=a.dat\n[0:5]\ncassette=a.dat\n[8:0]\ncapacity=0x10\n",
        b"[0:4]\nspeed=1\n",
        b"[0:4]\nwrite_errors=50,60-62\nhang_at=3\n",  # the drive faults still to come
    ]


def tone(rate, channels, frames, width=2):
    """A short WAV file of a quiet falling tone, width bytes per sample."""
    peak = (1 << (8 * width - 1)) - 1
    data = bytearray()
    for i in range(frames):
        for c in range(channels):
            value = int(0.4 * peak * math.sin(i * (0.3 - 0.1 * c) * (1 - i / (2 * frames))))
            data += (value + 128 if width == 1 else value).to_bytes(width, "little", signed=width > 1)
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(bytes(data))
    return out.getvalue()


def with_format(wav, tag, bits, extensible=False):
    """The WAV file with another coding in its format chunk (the data is left as it is)."""
    channels, rate = struct.unpack_from("<HI", wav, 22)
    body = struct.pack("<HHIIHH", 0xFFFE if extensible else tag, channels, rate,
                       rate * channels * bits // 8, channels * bits // 8, bits)
    if extensible:
        body += struct.pack("<HHIH", 22, bits, 3, tag) + bytes.fromhex("000000001000800000aa00389b71")
    data = wav[36:]
    chunks = b"WAVE" + b"fmt " + struct.pack("<I", len(body)) + body + data
    return b"RIFF" + struct.pack("<I", len(chunks)) + chunks


def wav_files():
    straight = tone(48000, 2, 300)
    return [
        b"\x05" + straight,  # copied as it stands, a frame's PCM at a time
        b"\x00" + tone(44100, 1, 200),  # mono, read a byte at a time
        b"\x0c" + tone(22050, 2, 200, 1),  # 8-bit, resampled to 44.1 kHz and forced to 48
        b"\x04" + tone(96000, 2, 400, 3),  # 24-bit, resampled and dithered
        b"\x1b" + with_format(tone(48000, 2, 150, 4), 3, 32),  # float, forced to 32 kHz
        b"\x02" + with_format(tone(32000, 1, 150, 3), 1, 24, extensible=True),
        b"\x06" + with_format(tone(8000, 1, 200, 1), 7, 8),  # u-law: libsndfile reads it
        b"\x01" + straight[:44] + straight[44:45],  # a torn frame and no more
    ]


def run_tool(command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def converted(source, encodings):
    """The WAV file source converted by each command (the input and output names are
    appended) to a file with the given suffix."""
    files = []
    with tempfile.TemporaryDirectory() as folder:
        wav = os.path.join(folder, "source.wav")
        with open(wav, "wb") as out:
            out.write(source)
        for number, (command, suffix) in enumerate(encodings):
            target = os.path.join(folder, "%d%s" % (number, suffix))
            run_tool(command(wav, target))
            with open(target, "rb") as made:
                files.append(made.read())
    return files


def mpeg_files():
    lame = lambda *options: (lambda src, dst: ["lame", "--quiet", *options, src, dst], ".mp3")
    twolame = lambda *options: (lambda src, dst: ["twolame", "--quiet", *options, src, dst], ".mp2")
    stereo44 = converted(tone(44100, 2, 4000), [lame("-b", "128"), lame("-t", "-b", "64"),
                                                lame("-V", "6"), lame("-m", "m", "-b", "32")])
    others = (converted(tone(48000, 2, 3000), [twolame("-b", "128")]) +
              converted(tone(32000, 2, 2000), [twolame()]) +
              converted(tone(22050, 2, 3000), [lame("-b", "32")]) +  # resampled
              converted(tone(8000, 1, 2000), [lame("-b", "8")]))  # MPEG 2.5, resampled
    settings = [0x05, 0x04, 0x00, 0x2d, 0x23, 0x22, 0x05, 0x03]
    files = stereo44 + others
    damaged = bytearray(files[1])
    damaged[len(damaged) // 2:len(damaged) // 2 + 300] = bytes(range(44, 144)) * 3
    files.append(bytes(damaged))
    settings.append(0x05)
    return [bytes([s]) + f for s, f in zip(settings, files)]


def sound_files():
    sox = lambda suffix, *options: (lambda src, dst: ["sox", src, *options, dst], suffix)
    files = converted(tone(48000, 2, 2000), [sox(".flac"), sox(".aiff"), sox(".w64"),
                                             sox(".ogg"), sox(".wav", "-e", "u-law")])
    files += converted(tone(96000, 2, 2000, 3), [sox(".flac")])  # resampled and dithered
    files += converted(tone(22050, 1, 1000), [sox(".flac")])  # mono, resampled
    settings = [0x05, 0x25, 0x24, 0x25, 0x23, 0x05, 0x0d]
    return [bytes([s]) + f for s, f in zip(settings, files)]


def images():
    """Settings (see image_source_fuzz.cpp), then frames."""
    date = (2, 1, 28, 14, 5, 9, 2)
    tape = (dc.lead_in(2) + list(dc.program(1, 3, date=date)) +
            list(dc.program(2, 2, start_abs=(0, 0, 0, 3), rate=dc.RATE_44K)) + dc.lead_out(1))
    frames = b"".join(tape)
    return [
        b"\x00\x00\x00\x00\x00\x00" + frames,
        b"\x01\x00\x02\x00\x00\x00" + frames,  # PROGNUM 3 is not there
        b"\x01\x00\x01\x00\x00\x17" + frames,  # PROGNUM 2 after 280 blank frames
        b"\x02\x00\x00\x00\x04\x00" + frames,  # ABSTIME 0:00:00:04
        b"\x03\x00\x00\x03\x05\xf7" + frames,  # RUNTIME 0:00:03:05, far into the blank
        b"\x04\x00\x00\x00\x01\x00" + frames[:-100],  # PROGTIME; a partial frame last
    ]


def cassette_states():
    return [
        b"[state]\nposition=0000000123\ndensity=0x80\nloaded=1\nmrs_off=0\n",
        b"; by hand\r\n[STATE]\r\nposition = 42\r\ndensity=19\r\nloaded=0\r\nmrs_off=1\r\n",
        b"[state]\nposition=-1\ndensity=0x100\nloaded=2\nposition=99999999999\n",
    ]


SEEDS = {
    "command_line": command_lines,
    "subcode_reader": lambda: list(tapes()),
    "long_play": long_play_areas,
    "concealment": damaged_frames,
    "profile_file": cue_files,
    "vdat_bay": bays,
    "vdat_state": cassette_states,
    "wav_input": wav_files,
    "mpeg_input": mpeg_files,
    "sound_file_input": sound_files,
    "image_source": images,
}


def main():
    target, folder = sys.argv[1], sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    for number, seed in enumerate(SEEDS.get(target, lambda: [])()):
        with open(os.path.join(folder, "seed-%02d" % number), "wb") as out:
            out.write(seed)


if __name__ == "__main__":
    main()
