#!/usr/bin/env python3
"""Writes the seed corpus of one fuzz target, made by the project's own tools.

Usage: seeds.py <target> <folder>. Frames come from tests/support/datcomposer.py; a
target without an entry in SEEDS starts from an empty corpus.
"""
import os
import struct
import sys

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


def tapes():
    date = (2, 1, 28, 14, 5, 9, 2)
    plain = (dc.lead_in(3) + list(dc.program(1, 4, date=date)) +
             list(dc.program(2, 3, start_abs=(0, 0, 0, 4), rate=dc.RATE_44K)) + dc.lead_out(2))
    odd = [dc.frame(dc.PNO_INVALID, dc.NO_TIME, dc.NO_TIME, control=0x80),
           dc.frame(0x123, (99, 59, 59, 33), b"\xff\xff\xff\xff", long_play=True, scms=3),
           dc.frame(0x001, extra_packs=((3, b"\x20\x0b\xbb\xaa\xaa\xaa\xaa\x00"),
                                        (7, b"\x50\x99\x12\x31\x23\x59\x59\x00")))]
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


SEEDS = {
    "command_line": command_lines,
    "subcode_reader": lambda: list(tapes()),
    "long_play": long_play_areas,
    "concealment": damaged_frames,
    "profile_file": cue_files,
    "vdat_bay": bays,
}


def main():
    target, folder = sys.argv[1], sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    for number, seed in enumerate(SEEDS.get(target, lambda: [])()):
        with open(os.path.join(folder, "seed-%02d" % number), "wb") as out:
            out.write(seed)


if __name__ == "__main__":
    main()
