#!/usr/bin/env bash
# Everyday folders against plain copies on the same file system: kist add and
# take-out of a folder of photos (200 files of 3 MiB) and of documents (2,000
# files of 1 KiB) against `cp -r SRC DST && sync`, kist export of the photos
# against `cp` of the package and `sync`, and one large file against
# `dd conv=fsync`; the package's import into another vault is shown beside
# `cp` of the package. The page cache is emptied before every timed step (needs
# root; without it the figures are marked warm). Ratios are the copy's time
# over kist's, higher is better; medians of the runs, with their spread.
#
# Each copy goes into a folder placed as the vault places the folders it
# makes (ext4's "T" attribute on the folder above): kept beside the work
# folder, where every run removes thousands of files, ext4 without a journal
# would have cp search past each inode freed in the last minutes for every
# new file, and kist would be measured against a slowed copy.
#
# Deleting the copy is timed too: a move deletes what it moved, a copy
# does not, and the line "reference:" shows a copy and that deletion
# together against kist.
#
# Usage: tools/bench_folders/bench-folders.sh [--quick] [--runs N] [--dir D]
#                                            [--large-mib N] [--build DIR]
set -euo pipefail

runs=3
dir=${TMPDIR:-/tmp}
large_mib=512
build="$(cd "$(dirname "$0")/../.." && pwd)/build"
photo_count=200 photo_kib=3072 doc_count=2000 doc_bytes=1024
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) runs=1 photo_count=40 doc_count=300 large_mib=64 ;;
        --runs) runs=$2; shift ;;
        --dir) dir=$2; shift ;;
        --large-mib) large_mib=$2; shift ;;
        --build) build=$2; shift ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
    shift
done

kist="$build/tools/kist/kist"
[ -x "$kist" ] || { echo "build kist first: $kist" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }

work=$(mktemp -d "$dir/bench_folders.XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_CONFIG_HOME="$work/home/.config"
export XDG_RUNTIME_DIR="$work/run" KIST_PASSWORD="" KIST_PACKAGE_PASSWORD="bench package"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$work/out" "$work/copies"
chattr +T "$work/copies" 2> /dev/null || true
chmod 700 "$XDG_RUNTIME_DIR"

cold=1
if [ "$(id -u)" != 0 ]; then
    cold=0
    echo "note: not root, so the page cache cannot be emptied; figures are warm" >&2
fi
drop_caches() {
    sync
    if [ $cold = 1 ]; then echo 3 > /proc/sys/vm/drop_caches; fi
}

# timed LABEL COMMAND...: seconds into $last_time, peak KiB into $last_kib.
timed() {
    drop_caches
    /usr/bin/time -f "%e %M" -o "$work/time" "$@" > /dev/null
    read -r last_time last_kib < "$work/time"
}

declare -A samples peaks
record() { samples[$1]+="$2 "; peaks[$1]=$(( ${peaks[$1]:-0} > $3 ? ${peaks[$1]:-0} : $3 )); }

make_folder() { # NAME COUNT BYTES
    mkdir -p "$work/$1"
    for ((i = 0; i < $2; ++i)); do
        head -c "$3" /dev/urandom > "$work/$1/file$i.dat"
    done
}

echo "preparing in $work ..." >&2
"$kist" list > /dev/null
make_folder photos "$photo_count" $((photo_kib * 1024))
make_folder documents "$doc_count" "$doc_bytes"
if [ "$large_mib" -gt 0 ]; then
    head -c $((large_mib << 20)) /dev/urandom > "$work/large.bin"
fi

in_other_vault=(env HOME="$work/other/home" XDG_DATA_HOME="$work/other/home/.local/share"
                XDG_CONFIG_HOME="$work/other/home/.config")

folder_round() { # NAME
    local name=$1
    timed bash -c "cp -r '$work/$name' '$work/copies/copy' && sync"
    record "$name cp" "$last_time" "$last_kib"
    # What a move adds to a copy: the source's deletion, which waits for the
    # disk where freed blocks are discarded at once.
    timed rm -rf "$work/copies/copy"
    record "$name rm" "$last_time" "$last_kib"
    timed "$kist" add "$work/$name"
    record "$name add" "$last_time" "$last_kib"
    if [ "$name" = photos ]; then
        rm -f "$work/package.kzip"
        timed "$kist" export --out "$work/package.kzip" photos
        record "photos export" "$last_time" "$last_kib"
        timed bash -c "cp '$work/package.kzip' '$work/package-copy.kzip' && sync"
        record "photos export-cp" "$last_time" "$last_kib"
        # The package imported into a vault of its own, made afresh each run.
        rm -rf "$work/other"
        mkdir -p "$work/other/home"
        "${in_other_vault[@]}" "$kist" list > /dev/null
        timed "${in_other_vault[@]}" "$kist" package import "$work/package.kzip"
        record "photos import" "$last_time" "$last_kib"
        rm -f "$work/package.kzip" "$work/package-copy.kzip"
    fi
    timed "$kist" take-out --to "$work/out" "$name"
    record "$name take-out" "$last_time" "$last_kib"
    mv "$work/out/$name" "$work/$name"
}

large_round() {
    timed dd if="$work/large.bin" of="$work/large-copy.bin" bs=4M conv=fsync status=none
    record "large dd" "$last_time" "$last_kib"
    rm -f "$work/large-copy.bin"
    timed "$kist" add "$work/large.bin"
    record "large add" "$last_time" "$last_kib"
    timed "$kist" take-out --to "$work/out" large.bin
    record "large take-out" "$last_time" "$last_kib"
    mv "$work/out/large.bin" "$work/large.bin"
}

for ((run = 1; run <= runs; ++run)); do
    echo "run $run of $runs ..." >&2
    folder_round photos
    folder_round documents
    if [ "$large_mib" -gt 0 ]; then large_round; fi
done

# median MIN MAX of the samples of a key
stats() { tr ' ' '\n' <<< "${samples[$1]}" | sed '/^$/d' | sort -n | awk '
    { v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; print m, v[1], v[NR] }'; }

failed=0
verdict() { # LABEL BASE-KEY KIST-KEY TARGET
    read -r base bmin bmax <<< "$(stats "$2")"
    read -r mine kmin kmax <<< "$(stats "$3")"
    local ratio ok
    ratio=$(awk -v b="$base" -v k="$mine" 'BEGIN { printf "%.2f", (k > 0) ? b / k : 0 }')
    ok=$(awk -v r="$ratio" -v t="$4" 'BEGIN { print (r >= t) ? "ok" : "BELOW" }')
    [ "$ok" = ok ] || failed=1
    printf '%-34s %6.2f s (%.2f-%.2f)  vs %6.2f s (%.2f-%.2f)  %5sx  target %sx  %s  peak %d MiB\n' \
        "$1" "$mine" "$kmin" "$kmax" "$base" "$bmin" "$bmax" "$ratio" "$4" "$ok" $(( ${peaks[$3]} / 1024 ))
}

echo
echo "medians of $runs run(s), page cache $( [ $cold = 1 ] && echo emptied || echo WARM ) before each step"
echo "work                               kist (min-max)               copy (min-max)       ratio"
verdict "add $photo_count photos of ${photo_kib} KiB" "photos cp" "photos add" 0.7
verdict "take-out of the photos" "photos cp" "photos take-out" 0.7
verdict "export of the photos (cp of package)" "photos export-cp" "photos export" 0.7
verdict "add $doc_count files of $doc_bytes B" "documents cp" "documents add" 0.6
verdict "take-out of the documents" "documents cp" "documents take-out" 0.6
if [ "$large_mib" -gt 0 ]; then
    verdict "add one file of $large_mib MiB (dd)" "large dd" "large add" 0.7
    verdict "take-out of it (dd)" "large dd" "large take-out" 0.7
fi
# Adding and taking out move files: each plain copy or body is deleted once
# its other form is on the disk. A copy followed by deleting its source is
# the same work for the disk; shown for reference, not as a target.
reference() { # LABEL NAME KIST-KEY
    read -r copied _ <<< "$(stats "$2 cp")"
    read -r removed _ <<< "$(stats "$2 rm")"
    read -r mine _ <<< "$(stats "$3")"
    awk -v l="$1" -v c="$copied" -v r="$removed" -v k="$mine" 'BEGIN {
        printf "reference: %-23s cp %.2f s + rm -rf %.2f s = %.2f s, kist %.2f s: %.2fx\n", l, c, r, c + r, k, (k > 0) ? (c + r) / k : 0 }'
}
echo
reference "move of the photos" photos "photos add"
reference "move of the documents" documents "documents add"
read -r imported _ <<< "$(stats "photos import")"
read -r package_copied _ <<< "$(stats "photos export-cp")"
awk -v k="$imported" -v c="$package_copied" 'BEGIN {
    printf "reference: import of the photos'"'"' package %.2f s, cp of it %.2f s: %.2fx\n", k, c, (k > 0) ? c / k : 0 }'
case "$(findmnt -no OPTIONS -T "$work" 2> /dev/null)" in
    *discard*) echo "(this file system discards freed blocks as they are freed: the mount option discard)" ;;
esac
most=0
for key in "${!peaks[@]}"; do
    case "$key" in *cp|*dd|*rm) ;; *) [ "${peaks[$key]}" -gt "$most" ] && most=${peaks[$key]} ;; esac
done
mem_ok=$([ $most -lt $((100 * 1024)) ] && echo ok || echo ABOVE)
[ "$mem_ok" = ok ] || failed=1
echo "peak memory of kist: $((most / 1024)) MiB (target under 100 MiB) $mem_ok"
exit $failed
