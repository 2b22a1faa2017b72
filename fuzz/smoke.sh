#!/bin/sh
# The test suite's short fuzz run: builds the targets into OUTDIR and runs each for a few
# seconds on its seeds (a differential target on its seeds alone). Fails when a target crashes,
# leaks or hangs.
# Usage: fuzz/smoke.sh OUTDIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=$1
"$here/build.sh" "$out" > "$out.build.log" 2>&1 || { cat "$out.build.log"; exit 1; }
for source in "$here"/fuzz_*.cpp; do
    target=$(basename "$source" .cpp)
    target=${target#fuzz_}
    # New inputs go to the first folder: a scratch one, never the committed seeds.
    rm -rf "$out/scratch-$target"
    mkdir -p "$out/scratch-$target"
    # A differential target runs its seeds only: its random search finds disagreements between two
    # readers, findings for a long run of fuzz/run.sh, which must not make this run pass or fail by luck.
    case "$target" in
        *_diff) budget="-runs=0" ;;
        *) budget="-max_total_time=3" ;;
    esac
    "$out/fuzz_$target" $budget -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
        -artifact_prefix="$out/" "$out/scratch-$target" "$here/seeds/$target" > "$out/$target.log" 2>&1 ||
        { tail -40 "$out/$target.log"; exit 1; }
done
echo "all fuzz targets ran clean"
