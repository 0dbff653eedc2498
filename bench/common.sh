# Sourced by the whole-job benchmarks. bench_setup "<build dir or empty>" [tool ...] sets
# $top, $build (default build/normal, which must hold tervano and libaspi_vdat.so) and a
# scratch folder $work removed on exit, and checks the tools the benchmark needs besides
# /usr/bin/time. bench_python runs a Python script from standard input with benchlib and
# the test composer importable, given the build and scratch folders as arguments.
bench_setup() {
    top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    build=$(cd "${1:-$top/build/normal}" && pwd)
    shift
    for file in tervano libaspi_vdat.so; do
        [ -e "$build/$file" ] || { echo "missing $build/$file: build the tree first"; exit 2; }
    done
    for tool in /usr/bin/time "$@"; do
        command -v "$tool" >/dev/null || { echo "needs $tool (Debian package ${tool##*/})"; exit 2; }
    done
    work=$(mktemp -d /tmp/tervano-bench-XXXXXX)
    trap 'rm -rf "$work"' EXIT
}

bench_python() {
    PYTHONPATH="$top/bench:$top/tests/support" python3 - "$build" "$work"
}
