#!/bin/sh
# The test suite's short fuzz run: builds the targets into OUTDIR and runs each for a few
# seconds on its seeds. Fails when a target crashes, leaks or hangs.
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
    "$out/fuzz_$target" -max_total_time=3 -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
        -artifact_prefix="$out/" "$out/scratch-$target" "$here/seeds/$target" > "$out/$target.log" 2>&1 ||
        { tail -40 "$out/$target.log"; exit 1; }
done
echo "all fuzz targets ran clean"
