#!/bin/sh
# Builds the libFuzzer targets of the print-file parser (one per fuzz/fuzz_*.cpp) with clang into
# OUTDIR (default build-fuzz beside this folder), through the project's own build so that the
# parser's sources are listed in one place. Needs clang++ with libFuzzer and what the parser links.
# Usage: fuzz/build.sh [OUTDIR]   (CXX_FUZZ picks another clang++, FUZZ_JOBS the parallel jobs,
# CMAKE_GENERATOR the generator, Ninja by default)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=${1:-$root/build-fuzz}
cmake -S "$root" -B "$out" -G "${CMAKE_GENERATOR:-Ninja}" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++}" -DKLENDO_FUZZ=ON
cmake --build "$out" -j "${FUZZ_JOBS:-2}" --target fuzz_targets
echo "fuzz targets in $out"
