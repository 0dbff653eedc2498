#!/usr/bin/env bash
# Whole-job throughput of a recording that converts: a 10-minute 96 kHz 24-bit stereo FLAC
# (a tone sweep with noise, made here with sox) is recorded through the virtual drive
# onto a cassette, resampled to 48 kHz and dithered to 16 bits on the way, against sox
# converting the same file to a 48 kHz 16-bit WAV file (sox's default rate quality, with
# its default dither). Reports both times, their ratio and the recording's peak resident
# memory. Not part of the test suite.
#
#     bench/convert_record_speed.sh [build dir]     (default: build/normal)
#
# Needs sox and /usr/bin/time. The run's 2-second settle is scaled away
# (TERVANO_TIME_SCALE); each figure is the best of three runs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build/normal}" && pwd)
for file in tervano libaspi_vdat.so; do
    [ -e "$build/$file" ] || { echo "missing $build/$file: build the tree first"; exit 2; }
done
for tool in sox /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "needs $tool (Debian package ${tool##*/})"; exit 2; }
done
work=$(mktemp -d /tmp/tervano-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

PYTHONPATH="$top/tests/support" python3 - "$build" "$work" <<'PYTHON'
import os
import subprocess
import sys
import time

import datcomposer as dc

MINUTES = 10
RUNS = 3
build, work = sys.argv[1:]
at = lambda name: os.path.join(work, name)

subprocess.run(['sox', '-n', '-r', '96000', '-b', '24', '-c', '2', at('master.flac'), 'synth',
                str(MINUTES * 60), 'sine', '20-40000', 'whitenoise', 'vol', '0.4'], check=True)
with open(at('set.cue'), 'w') as cue:
    cue.write('[FILES]\nFILE_001=master.flac\n')
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


convert = ['sox', '-q', at('master.flac'), '-b', '16', at('converted.wav'), 'rate', '48000']
convert_s, sox_kib = best(convert, lambda: None)
record = [os.path.join(build, 'tervano'), '/WAV2DAT', 'set', '/OUTPUTID', '0:4']
record_s, peak_kib = best(record, blank_cassette)

program = -(-MINUTES * 60 * 48000 // 1440)
frames = [f for f in dc.read_frames(at('tape.dat')) if f[5818] == 0x01]
if abs(len(frames) - program) > 1:
    sys.exit('the recording holds %d program frames, not %d' % (len(frames), program))

print('FLAC:      %d minutes at 96 kHz, 24 bit, %.1f MiB, %d program frames at 48 kHz'
      % (MINUTES, os.path.getsize(at('master.flac')) / 2**20, len(frames)))
print('sox:       %.3f s converting to a 48 kHz 16-bit WAV file, peak memory %.1f MiB'
      % (convert_s, sox_kib / 1024))
print('recording: %.3f s, %.2f x the time of sox' % (record_s, record_s / convert_s))
print('peak memory of the recording: %.1f MiB (maximum resident set)' % (peak_kib / 1024))
PYTHON
