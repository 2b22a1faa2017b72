#!/bin/sh
# Runs one fuzz target built by fuzz/build.sh on its seed corpus for SECONDS, at the lowest
# priority, keeping new inputs in OUTDIR/corpus-TARGET and crashes in OUTDIR/artifacts-TARGET.
# Usage: fuzz/run.sh OUTDIR TARGET SECONDS [libFuzzer options...]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=$1
target=$2
seconds=$3
shift 3
mkdir -p "$out/corpus-$target" "$out/artifacts-$target"
exec nice -n 19 "$out/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=65536 -artifact_prefix="$out/artifacts-$target/" "$@" "$out/corpus-$target" "$here/seeds/$target"
