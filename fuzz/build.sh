#!/bin/sh
# Builds the libFuzzer targets of the print-file parser with clang into OUTDIR (default
# build-fuzz beside this folder): fuzz_printstream (detection, PJL and all readers), fuzz_pdf,
# fuzz_postscript, fuzz_pcl5, fuzz_pclxl and fuzz_xps. Needs clang++ with libFuzzer, libqpdf-dev
# and zlib1g-dev. Usage: fuzz/build.sh [OUTDIR]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=${1:-$root/build-fuzz}
cxx=${CXX_FUZZ:-clang++}
mkdir -p "$out/obj"
flags="-std=c++17 -g -O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -DPOINTERHOLDER_TRANSITION=4 -I$root/src"
# The parser and what it uses of the log and the platform layer.
sources="$root/src/printparser/ByteSource.cpp $root/src/printparser/PaperSizes.cpp
 $root/src/printparser/ParseSink.cpp $root/src/printparser/PclXlReader.cpp $root/src/printparser/Pcl5Reader.cpp
 $root/src/printparser/PdfReader.cpp $root/src/printparser/PostScriptReader.cpp
 $root/src/printparser/PrintFileParser.cpp $root/src/printparser/PrintStream.cpp
 $root/src/printparser/XpsReader.cpp $root/src/printparser/ZipArchive.cpp
 $root/src/Include/LogFile.cpp $root/src/Include/StringUtil.cpp
 $root/src/platform/posix/FileSystem.cpp $root/src/platform/posix/FolderWalk.cpp $root/src/platform/posix/Thread.cpp
 $root/src/platform/posix/Time.cpp"
objects=""
for src in $sources; do
    obj="$out/obj/$(basename "$src" .cpp).o"
    if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ]; then
        $cxx $flags -c "$src" -o "$obj"
    fi
    objects="$objects $obj"
done
for target in printstream pdf postscript pcl5 pclxl xps; do
    $cxx $flags -fsanitize=fuzzer "$here/fuzz_$target.cpp" $objects -lqpdf -lz -lpthread -o "$out/fuzz_$target"
done
echo "fuzz targets in $out"
