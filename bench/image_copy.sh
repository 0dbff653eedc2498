#!/usr/bin/env bash
# Whole-job throughput of /DAT2IMG through vdat: composes a cassette of FRAMES frames
# (default 20,000), copies it to an image with the console going to /dev/null, and sets
# the time against a plain cp of the same cassette file. Best of RUNS runs (default 3).
#
#   bench/image_copy.sh [build-dir]        (default: build/normal)
#
# TERVANO_TIME_SCALE takes the run's fixed 2-second settle out of the figure; drive
# preparation and the rewind stay in it. The aim is 20,000 frames a second, 600 times
# real time (a DAT plays 33 1/3 frames a second).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build/normal}" && pwd)
frames=${FRAMES:-20000}
runs=${RUNS:-3}
for need in "$build/tervano" "$build/libaspi_vdat.so"; do
    [ -e "$need" ] || { echo "missing $need (build the tervano and aspi_vdat targets)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
PYTHONPATH="$top/tests/support" python3 - "$work" "$frames" <<'PY'
import sys
import datcomposer as dc
work, frames = sys.argv[1], int(sys.argv[2])
bay = dc.Bay(work)
tape = dc.program(1, frames, audio=lambda i: i.to_bytes(4, "little") * 1440)
bay.add("0:4", cassette=bay.cassette("tape.dat", tape))
PY

now() { date +%s.%N; }
best() { sort -g | head -n1; }
calc() { awk "BEGIN { print $1 }"; }

copy_times=()
for _ in $(seq "$runs"); do
    rm -f "$work/BENCH.img"
    start=$(now)
    (cd "$work" && TERVANO_ASPI="$build/libaspi_vdat.so" VDAT_CONFIG="$work/bay.ini" \
        TERVANO_TIME_SCALE=1000 "$build/tervano" /DAT2IMG BENCH /INPUTID 0:4 \
        </dev/null >/dev/null)
    copy_times+=("$(calc "$(now) - $start")")
done
stored=$(( $(stat -c %s "$work/BENCH.img") / 5822 ))
[ "$stored" -eq "$frames" ] || { echo "image holds $stored frames, not $frames" >&2; exit 1; }

cp_times=()
for _ in $(seq "$runs"); do
    rm -f "$work/copy.dat"
    start=$(now)
    cp "$work/tape.dat" "$work/copy.dat"
    cp_times+=("$(calc "$(now) - $start")")
done

job=$(printf '%s\n' "${copy_times[@]}" | best)
plain=$(printf '%s\n' "${cp_times[@]}" | best)
fps=$(calc "$stored / $job")
printf 'frames copied         %d (%d MB)\n' "$stored" $((stored * 5822 / 1000000))
printf '/DAT2IMG through vdat %.3f s  %.0f frames/s  %.0f x real time\n' "$job" "$fps" \
    "$(calc "$fps * 3 / 100")"
printf 'cp of the cassette    %.3f s\n' "$plain"
printf 'ratio /DAT2IMG : cp   %.2f\n' "$(calc "$job / $plain")"
