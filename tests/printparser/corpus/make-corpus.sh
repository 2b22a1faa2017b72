#!/bin/sh
# Regenerates the Ghostscript part of the parser corpus and its manifest lines. Each source is a
# small PostScript program of known page count and paper size, rendered by every device that the
# parser reads. Run from anywhere: ./make-corpus.sh (needs gs, and qpdf for make-qpdf.py, which
# it runs at the end for the PDF shapes Ghostscript does not write). The hand-made hostile files
# are written by make-hostile.py; all append to manifest.txt, which is rewritten here.
set -eu
cd "$(dirname "$0")"
mkdir -p gs
manifest=manifest.txt
echo "# file format pages width length (inches; '-' for a value that is not checked)" > "$manifest"

# name width-points length-points pages width-inches length-inches
sources="
letter 612 792 1 8.500 11.000
a4 595 842 3 8.264 11.694
legal 612 1008 2 8.500 14.000
a5 420 595 4 5.833 8.264
"

echo "$sources" | while read -r name w h pages win hin; do
    [ -n "$name" ] || continue
    src="gs/$name.ps"
    cat > "$src" <<PS
%!PS
<< /PageSize [$w $h] >> setpagedevice
/Helvetica findfont 24 scalefont setfont
1 1 $pages {
  72 $h 100 sub moveto (Page ) show 3 string cvs show
  72 72 moveto 144 72 lineto 144 144 lineto closepath fill
  showpage
} for
PS
    # The source itself: no page comments and showpage only inside a procedure, so the page
    # count is unknown (0) while /PageSize gives the size.
    echo "$src PS 0 $win $hin" >> "$manifest"
    for device in pdfwrite:pdf:PDF ps2write:ps:PS ljet4:pcl:PCL5 pxlmono:pxl:PCLXL pxlcolor:pxlc:PCLXL xpswrite:xps:XPS; do
        dev=${device%%:*}
        rest=${device#*:}
        ext=${rest%%:*}
        format=${rest#*:}
        out="gs/$name-$dev.$ext"
        gs -q -dBATCH -dNOPAUSE -dSAFER -r150 -sDEVICE="$dev" -sOutputFile="$out" "$src"
        echo "$out $format $pages $win $hin" >> "$manifest"
    done
done
./make-qpdf.py
