#!/usr/bin/env bash
# make fuzz: builds the fuzz targets with clang's libFuzzer, ASan and UBSan in
# their own build folder and runs every target for FUZZ_SECONDS, several at a
# time, each starting from its seed corpus in tests/fuzz/corpus/<target>.
#
#   run_fuzz.sh BUILD_DIR SECONDS [TARGET...]
#
# New corpus inputs go to BUILD_DIR/corpus/<target> (the seeds in the
# repository stay as they are); a finding is written to
# BUILD_DIR/findings/<target>-crash-... and fails the run. Fix it, then add
# the input to tests/fuzz/corpus/<target>/ so it stays a test case: the
# normal test suite runs every corpus once (ctest fuzz_corpus.*).
#
# When clang or its libFuzzer runtime is missing, it is installed with
# apt-get where that is possible; otherwise the run is skipped with one line.
set -uo pipefail
cd "$(dirname "$0")/../.."
ROOT=$(pwd)
BUILD=${1:-build-fuzz}
SECONDS_EACH=${2:-20}
shift 2 2>/dev/null || shift $#
JOBS=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 4)}

have_libfuzzer() {
    command -v clang++ >/dev/null 2>&1 || return 1
    local dir
    dir=$(mktemp -d) || return 1
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
        > "$dir/t.cpp"
    clang++ -fsanitize=fuzzer,address,undefined "$dir/t.cpp" -o "$dir/t" >/dev/null 2>&1
    local rc=$?
    rm -rf "$dir"
    return $rc
}

if ! have_libfuzzer; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "fuzz: installing clang and its libFuzzer runtime"
        apt-get update -qq >/dev/null 2>&1
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev \
            >/dev/null 2>&1 || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang \
            >/dev/null 2>&1
    fi
    if ! have_libfuzzer; then
        echo "fuzz: skipped: clang with libFuzzer (Debian package libclang-rt-14-dev) is not available"
        exit 0
    fi
fi

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKYREL_FUZZ=ON \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null || exit 1
fi
cmake --build "$BUILD" -j "$JOBS" >"$BUILD/build.log" 2>&1 || {
    tail -40 "$BUILD/build.log"
    echo "fuzz: build failed (whole log in $BUILD/build.log)"
    exit 1
}

# The file-format targets rebuild a data directory for every input: on a
# memory file system that is several times faster.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for bin in "$BUILD"/fuzz/fuzz_*; do targets+=("$(basename "$bin" | sed 's/^fuzz_//')"); done
fi
mkdir -p "$BUILD/findings" "$BUILD/logs"
BUILD=$(cd "$BUILD" && pwd)  # absolute: the file-format targets change directory

run_one() {
    local t=$1 build=$2 seconds=$3 root=$4
    mkdir -p "$build/corpus/$t"
    # -close_fd_mask=3: the targets' own output (parse errors, replay
    # messages) is dropped; libFuzzer and the sanitizers keep theirs.
    "$build/fuzz/fuzz_$t" "$build/corpus/$t" "$root/tests/fuzz/corpus/$t" \
        -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -max_len=65536 \
        -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$build/findings/$t-" \
        >"$build/logs/$t.log" 2>&1
    local rc=$?
    local execs
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/logs/$t.log")
    if [ $rc -eq 0 ]; then
        printf 'fuzz: %-20s %10s executions in %ss, no finding\n' "$t" "${execs:-?}" "$seconds"
    else
        printf 'fuzz: %-20s FINDING after %s executions (log %s)\n' "$t" "${execs:-?}" \
            "$build/logs/$t.log"
        grep -m1 -E 'ERROR: |runtime error:|deadly signal|Timeout|out-of-memory' \
            "$build/logs/$t.log" | sed 's/^/fuzz:   /'
    fi
    return $rc
}
export -f run_one

printf '%s\n' "${targets[@]}" |
    xargs -P "$JOBS" -I{} bash -c 'run_one "$@"' _ {} "$BUILD" "$SECONDS_EACH" "$ROOT"
status=$?
if [ $status -ne 0 ]; then
    echo "fuzz: findings in $BUILD/findings"
    exit 1
fi
echo "fuzz: ${#targets[@]} targets, no finding"
