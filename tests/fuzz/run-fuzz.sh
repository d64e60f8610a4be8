#!/usr/bin/env bash
# Builds the package reader fuzzer (clang, libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer, engine built with coverage) in build-fuzz and
# runs it for the given number of seconds (default 60). Exits non-zero when
# the fuzzer finds a crash, a leak, undefined behaviour, a time-out or a file
# written outside its scratch area; the input that did it is kept in
# build-fuzz/fuzz-artifacts.
#
# Usage: tests/fuzz/run-fuzz.sh [seconds]
# Environment: KIST_FUZZ_BUILD (build folder), KIST_FUZZ_JOBS (default 2).
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${KIST_FUZZ_BUILD:-$root/build-fuzz}
jobs=${KIST_FUZZ_JOBS:-2}

cmake -S "$root" -B "$build" \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -Wno-unknown-warning-option" \
    "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -Wno-unknown-warning-option" \
    -DKIST_SANITIZE=ON -DKIST_FUZZ=ON -DKIST_BUILD_DESKTOP=OFF >/dev/null
cmake --build "$build" --target package_reader_fuzzer -j"$jobs"
fuzzer=$build/tests/fuzz/package_reader_fuzzer

seeds=$build/fuzz-seeds
corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
rm -rf "$seeds"
mkdir -p "$seeds" "$corpus" "$artifacts"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

# A real package and a plain zip from the engine itself ...
KIST_FUZZ_WRITE_SEEDS=$seeds "$fuzzer" >/dev/null 2>&1 || {
    echo "cannot write the seeds" >&2
    KIST_FUZZ_WRITE_SEEDS=$seeds "$fuzzer"
    exit 1
}
# ... and zips from the common tools, with and without a password, where present.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/src/folder/sub"
printf 'some text, some text, some text\n' >"$scratch/src/folder/a.txt"
head -c 3000 /dev/zero | tr '\0' 'x' >"$scratch/src/folder/sub/b.txt"
: >"$scratch/src/empty.txt"
add_seed() { # mode-byte name file
    if [ -s "$3" ]; then { printf "\\x$1"; cat "$3"; } >"$seeds/$2"; fi
}
if command -v zip >/dev/null; then
    (cd "$scratch/src" && zip -q -r ../plain.zip . && zip -q -r -P 'zip pw' ../locked.zip .)
    add_seed 01 info-zip "$scratch/plain.zip"
    add_seed 01 info-zip-password "$scratch/locked.zip"
    add_seed 00 info-zip-password-kzip "$scratch/locked.zip"
fi
if command -v 7z >/dev/null; then
    (cd "$scratch/src" && 7z a -tzip -bso0 -bsp0 '-pzip pw' -mem=AES256 ../aes.zip . >/dev/null)
    add_seed 01 seven-zip-aes "$scratch/aes.zip"
fi

"$fuzzer" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -max_len=262144 \
    -artifact_prefix="$artifacts/" -print_final_stats=1 "$corpus" "$seeds"
