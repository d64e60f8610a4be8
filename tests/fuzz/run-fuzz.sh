#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer, the engine built with coverage) in build-fuzz and
# runs each for the given number of seconds (default 60):
#
#   zip     the zip facade alone: archives from memory, listed and extracted
#           into a scratch folder, with and without a password
#   rows    the rows of a package database, checked before they are loaded
#   reader  the whole package reader, from Kist(path) to take-out and copying
#           into the vault; slow, but it reaches everything behind the others
#
# Every target runs on its seeds, its committed corpus (tests/fuzz/corpus/<target>)
# and what earlier runs in the same build folder found. The script exits
# non-zero when any target finds a crash, a leak, undefined behaviour, an input
# slower than the time-out or a file written outside its scratch area; the
# input that did it is kept in build-fuzz/fuzz-artifacts/<target>. The time-out
# is 1 s per input for zip and rows, 30 s for the reader.
#
# Usage: tests/fuzz/run-fuzz.sh [--save-corpus] [seconds] [target...]
#   --save-corpus  afterwards fold what each target found into its committed
#                  corpus (only inputs of at most KIST_FUZZ_SAVE_MAX_LEN bytes,
#                  default 4096, that add coverage beyond the seeds)
# Environment: KIST_FUZZ_BUILD (build folder), KIST_FUZZ_JOBS (default 2),
#   KIST_FUZZ_TMP (scratch folders; default /dev/shm when writable, else /tmp).
set -euo pipefail
save_corpus=false
if [ "${1:-}" = "--save-corpus" ]; then
    save_corpus=true
    shift
fi
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(zip rows reader)

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${KIST_FUZZ_BUILD:-$root/build-fuzz}
jobs=${KIST_FUZZ_JOBS:-2}
if [ -z "${KIST_FUZZ_TMP:-}" ]; then
    if [ -d /dev/shm ] && [ -w /dev/shm ]; then KIST_FUZZ_TMP=/dev/shm; else KIST_FUZZ_TMP=/tmp; fi
fi
export KIST_FUZZ_TMP

program_of() {
    case "$1" in
    zip) echo zip_facade_fuzzer ;;
    rows) echo package_rows_fuzzer ;;
    reader) echo package_reader_fuzzer ;;
    *) echo "unknown fuzz target: $1 (zip, rows or reader)" >&2; exit 2 ;;
    esac
}

# The reader's program also writes the engine's seeds for the others.
programs=(package_reader_fuzzer)
for target in "${targets[@]}"; do
    program=$(program_of "$target")
    [ "$program" = package_reader_fuzzer ] || programs+=("$program")
done

cmake -S "$root" -B "$build" \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -Wno-unknown-warning-option" \
    "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -Wno-unknown-warning-option" \
    -DKIST_SANITIZE=ON -DKIST_FUZZ=ON -DKIST_BUILD_DESKTOP=OFF >/dev/null
cmake --build "$build" --target "${programs[@]}" -j"$jobs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Archives from the common tools, each where present: a small tree with
# text that deflates, a nested folder and an empty file.
tools=$scratch/tools
mkdir -p "$tools" "$scratch/src/folder/sub"
printf 'some text, some text, some text\n' >"$scratch/src/folder/a.txt"
head -c 3000 /dev/zero | tr '\0' 'x' >"$scratch/src/folder/sub/b.txt"
: >"$scratch/src/empty.txt"
if command -v zip >/dev/null; then
    (cd "$scratch/src" && zip -q -r "$tools/info-zip.zip" . && zip -q -r -P 'zip pw' "$tools/info-zip-password.zip" .)
fi
if command -v 7z >/dev/null; then
    for method in ZipCrypto AES256; do
        for level in 0 5; do
            (cd "$scratch/src" && 7z a -tzip -bso0 -bsp0 "-mx=$level" '-pzip pw' "-mem=$method" \
                "$tools/seven-zip-$method-mx$level.zip" . >/dev/null)
        done
    done
fi

# A package and a plain zip from the engine itself, each behind the reader's
# mode bytes (written once, for the reader's seeds and the zip facade's).
engine_seeds() {
    local seeds=$scratch/engine-seeds
    if [ ! -d "$seeds" ]; then
        KIST_FUZZ_WRITE_SEEDS=$seeds "$build/tests/fuzz/package_reader_fuzzer" >"$scratch/engine-seeds.log" 2>&1 || {
            echo "cannot write the engine's seeds:" >&2
            cat "$scratch/engine-seeds.log" >&2
            return 1
        }
    fi
    echo "$seeds"
}

# The reader's seeds: the engine's, and the tool archives behind each mode
# byte that changes how the reader opens them.
reader_seeds() {
    local seeds=$1 engine mode name
    engine=$(engine_seeds)
    cp "$engine"/* "$seeds"/
    for archive in "$tools"/*.zip; do
        [ -e "$archive" ] || continue
        name=$(basename "$archive" .zip)
        for mode in 00 01; do
            { printf "\\x$mode"; cat "$archive"; } >"$seeds/$name-$mode"
        done
    done
}

# The zip facade's seeds: the tool archives, the engine's package and zip
# without their mode byte, and the hostile archives the zip tests build.
zip_seeds() {
    local seeds=$1 engine
    engine=$(engine_seeds)
    cp "$tools"/*.zip "$seeds"/ 2>/dev/null || true
    for name in package-kzip plain-zip; do
        tail -c +2 "$engine/$name" >"$seeds/engine-$name.zip"
    done
    python3 "$root/tests/fuzz/hostile-zips.py" "$seeds" 2>/dev/null
}

# The rows target writes its own seeds: the rows of packages the engine exports.
rows_seeds() {
    KIST_FUZZ_WRITE_SEEDS=$1 "$build/tests/fuzz/package_rows_fuzzer" >"$scratch/rows-seeds.log" 2>&1 || {
        echo "cannot write the rows seeds:" >&2
        cat "$scratch/rows-seeds.log" >&2
        return 1
    }
}

# Keeps the inputs of the working corpus and the committed one that add
# coverage beyond the seeds, up to the size limit, as the committed corpus.
save_committed() {
    local fuzzer=$1 seeds=$2 corpus=$3 committed=$4 merged=$scratch/merged
    rm -rf "$merged"
    mkdir -p "$merged" "$committed"
    cp "$seeds"/* "$merged"/
    "$fuzzer" -merge=1 -max_len="${KIST_FUZZ_SAVE_MAX_LEN:-4096}" "$merged" "$committed" "$corpus" \
        >"$scratch/merge.log" 2>&1 || { cat "$scratch/merge.log" >&2; return 1; }
    find "$committed" -type f -delete
    for input in "$merged"/*; do
        [ -e "$seeds/$(basename "$input")" ] || cp "$input" "$committed"/
    done
    echo "$committed: $(find "$committed" -type f | wc -l) inputs, $(du -sk "$committed" | cut -f1) KB"
}

failed=()
for target in "${targets[@]}"; do
    program=$(program_of "$target")
    fuzzer=$build/tests/fuzz/$program
    seeds=$build/fuzz-seeds/$target
    corpus=$build/fuzz-corpus/$target
    committed=$root/tests/fuzz/corpus/$target
    artifacts=$build/fuzz-artifacts/$target
    rm -rf "$seeds"
    mkdir -p "$seeds" "$corpus" "$artifacts"
    "${target}_seeds" "$seeds"

    # A fast target must finish every input within a second. The reader keys
    # SQLCipher databases for each input, seconds under the sanitizers, so it
    # only fails on an input that hangs.
    case "$target" in
    reader) limits=(-timeout=30 -rss_limit_mb=4096 -max_len=262144) ;;
    zip) limits=(-timeout=1 -rss_limit_mb=2048 -max_len=65536) ;;
    rows) limits=(-timeout=1 -rss_limit_mb=2048 -max_len=4096) ;;
    esac
    inputs=("$corpus" "$seeds")
    [ -d "$committed" ] && inputs+=("$committed")
    echo "=== fuzzing $target ($program) for $seconds s"
    if ! "$fuzzer" -max_total_time="$seconds" "${limits[@]}" -artifact_prefix="$artifacts/" \
        -print_final_stats=1 "${inputs[@]}"; then
        failed+=("$target")
        continue
    fi
    if $save_corpus; then save_committed "$fuzzer" "$seeds" "$corpus" "$committed"; fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing found faults in: ${failed[*]} (inputs in $build/fuzz-artifacts)" >&2
    exit 1
fi
