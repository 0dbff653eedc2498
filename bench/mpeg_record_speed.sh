#!/usr/bin/env bash
# Whole-job throughput of MPEG recording: a 10-minute MP3 (44.1 kHz stereo, 192 kbit/s,
# made here with lame) is recorded through the virtual drive onto a cassette, against
# the mpg123 command decoding the same file into a WAV file. Reports both times, their
# ratio and the recording's peak resident memory. Not part of the test suite.
#
#     bench/mpeg_record_speed.sh [build dir]     (default: build/normal)
#
# Needs lame, mpg123 (Debian packages of those names; mpg123 only for this comparison)
# and /usr/bin/time. The run's 2-second settle is scaled away (TERVANO_TIME_SCALE); each
# figure is the best of three runs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build/normal}" && pwd)
for file in tervano libaspi_vdat.so; do
    [ -e "$build/$file" ] || { echo "missing $build/$file: build the tree first"; exit 2; }
done
for tool in lame mpg123 /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "needs $tool (Debian package ${tool##*/})"; exit 2; }
done
work=$(mktemp -d /tmp/tervano-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

PYTHONPATH="$top/tests/support" python3 - "$build" "$work" <<'PYTHON'
import array
import math
import os
import subprocess
import sys
import time
import wave

import datcomposer as dc

MINUTES = 10
RUNS = 3
build, work = sys.argv[1:]
at = lambda name: os.path.join(work, name)

# One second of a tone sweep, every other second reversed byte for byte (a noise), so the
# encoder has more than a plain tone to code.
second = array.array('h')
for i in range(44100):
    value = int(9000 * math.sin(2 * math.pi * (220 + i / 100) * i / 44100))
    second.extend((value, value // 2))
with wave.open(at('source.wav'), 'wb') as out:
    out.setparams((2, 2, 44100, 0, 'NONE', ''))
    for n in range(MINUTES * 60):
        out.writeframes(second.tobytes() if n % 2 else (second.tobytes()[::-1]))
subprocess.run(['lame', '--quiet', '-b', '192', at('source.wav'), at('long.mp3')], check=True)
os.remove(at('source.wav'))
with open(at('set.cue'), 'w') as cue:
    cue.write('[FILES]\nFILE_001=long.mp3\n')
bay = dc.Bay(work)
env = dict(os.environ, TERVANO_ASPI=os.path.join(build, 'libaspi_vdat.so'),
           VDAT_CONFIG=bay.path, TERVANO_TIME_SCALE='1000')


def timed(command):
    """Wall time and peak resident set (KiB) of one process, measured by /usr/bin/time."""
    report = at('peak.txt')
    start = time.perf_counter()
    code = subprocess.call(['/usr/bin/time', '-f', '%M', '-o', report] + command,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, env=env,
                           cwd=work)
    elapsed = time.perf_counter() - start
    if code != 0:
        sys.exit('%s failed with %d' % (command[0], code))
    with open(report) as source:
        return elapsed, int(source.read().split()[-1])


def best(command, prepare):
    results = []
    for _ in range(RUNS):
        prepare()
        results.append(timed(command))
    return min(r[0] for r in results), max(r[1] for r in results)


def blank_cassette():
    for name in ('tape.dat', 'tape.dat.state'):
        if os.path.exists(at(name)):
            os.remove(at(name))
    bay.add('0:4', cassette=bay.cassette('tape.dat'))


decode_s, _ = best(['mpg123', '-q', '-w', at('decoded.wav'), at('long.mp3')], lambda: None)
record = [os.path.join(build, 'tervano'), '/WAV2DAT', 'set', '/OUTPUTID', '0:4']
record_s, peak_kib = best(record, blank_cassette)

with wave.open(at('decoded.wav')) as decoded:
    pcm_frames = -(-decoded.getnframes() // 1323)
frames = [f for f in dc.read_frames(at('tape.dat')) if f[5818] == 0x01]
if len(frames) != pcm_frames:
    sys.exit('the recording holds %d program frames, not %d' % (len(frames), pcm_frames))

print('MP3:       %d minutes at 44.1 kHz, %.1f MiB, %d program frames'
      % (MINUTES, os.path.getsize(at('long.mp3')) / 2**20, pcm_frames))
print('mpg123:    %.3f s decoding to a WAV file' % decode_s)
print('recording: %.3f s, %.2f x the time of mpg123' % (record_s, record_s / decode_s))
print('peak memory of the recording: %.1f MiB (maximum resident set)' % (peak_kib / 1024))
PYTHON
