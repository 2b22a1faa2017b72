#!/usr/bin/env python3
"""Parser speed and page-count agreement on the parser corpus, side by side with qpdf, pdfinfo
and Ghostscript, all in the same run.

Every tool is started once per file, as the agent starts its parser child once per file; the
time of a file is the median of REPEATS runs. Files per second is the number of files over the
sum of their median times; pages per second likewise with the pages of the manifest. Only the
well-formed files (the Ghostscript part of the corpus) count for agreement. A tool that cannot
read a format is shown as n/a for it.

Usage: bench/printparser/bench.py [--repeats N] [--tool PATH-TO-KlendoPrintInfo]
(default tool: build-parser/src/printparser/KlendoPrintInfo beside this repository's root)."""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CORPUS = os.path.join(ROOT, "tests", "printparser", "corpus")


def klendo_pages(tool, path):
    out = subprocess.run([tool, path], capture_output=True, text=True).stdout
    match = re.search(r"pages=(\d+)", out)
    return int(match.group(1)) if match else None


def qpdf_pages(path):
    out = subprocess.run(["qpdf", "--show-npages", path], capture_output=True, text=True).stdout.strip()
    return int(out) if out.isdigit() else None


def pdfinfo_pages(path):
    out = subprocess.run(["pdfinfo", path], capture_output=True, text=True).stdout
    match = re.search(r"^Pages:\s+(\d+)", out, re.M)
    return int(match.group(1)) if match else None


def gs_pages(path):
    # The bbox device reports one bounding box per page it renders.
    out = subprocess.run(["gs", "-q", "-dBATCH", "-dNOPAUSE", "-dSAFER", "-sDEVICE=bbox", path],
                         capture_output=True, text=True).stderr
    return out.count("%%HiResBoundingBox")


def read_manifest():
    files = []
    with open(os.path.join(CORPUS, "manifest.txt")) as f:
        for line in f:
            fields = line.split()
            if not fields or fields[0].startswith("#") or not fields[0].startswith("gs/"):
                continue
            if fields[2] == "0":
                continue  # page count unknown by design (no DSC, showpage in a procedure)
            files.append((os.path.join(CORPUS, fields[0]), fields[1], int(fields[2])))
    return files


LARGE_PAGES = 200
DEVICES = [("pdfwrite", "pdf", "PDF"), ("ps2write", "ps", "PS"), ("ljet4", "pcl", "PCL5"),
           ("pxlmono", "pxl", "PCLXL"), ("xpswrite", "xps", "XPS")]


def make_large_files(folder):
    """One letter document of LARGE_PAGES text pages per device, written by Ghostscript."""
    source = os.path.join(folder, "large.ps")
    with open(source, "w") as f:
        f.write("%%!PS\n<< /PageSize [612 792] >> setpagedevice\n/Helvetica findfont 10 scalefont setfont\n"
                "1 1 %d { /n exch def 72 72 700 { 72 exch moveto (Line of text on page ) show n 5 string cvs show }"
                " for showpage } for\n" % LARGE_PAGES)
    files = []
    for device, ext, fmt in DEVICES:
        out = os.path.join(folder, f"large-{device}.{ext}")
        subprocess.run(["gs", "-q", "-dBATCH", "-dNOPAUSE", "-dSAFER", "-r150", f"-sDEVICE={device}",
                        f"-sOutputFile={out}", source], check=True)
        files.append((out, fmt, LARGE_PAGES))
    return files


def measure(function, path, repeats):
    times = []
    pages = None
    for _ in range(repeats):
        start = time.perf_counter()
        pages = function(path)
        times.append(time.perf_counter() - start)
    return statistics.median(times), pages


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--tool", default=os.path.join(ROOT, "build-parser", "src", "printparser", "KlendoPrintInfo"))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        print(f"corpus files, then {LARGE_PAGES}-page files made by Ghostscript; {args.repeats} repeats, medians")
        run(args, read_manifest(), "corpus")
        run(args, make_large_files(folder), f"{LARGE_PAGES}-page files")


def run(args, files, title):
    print(f"\n== {title}")
    tools = [("KlendoPrintInfo", lambda p: klendo_pages(args.tool, p), None),
             ("qpdf --show-npages", qpdf_pages, {"PDF"}),
             ("pdfinfo", pdfinfo_pages, {"PDF"}),
             ("gs -sDEVICE=bbox", gs_pages, {"PDF", "PS"})]
    tools = [t for t in tools if t[0] == "KlendoPrintInfo" or shutil.which(t[0].split()[0])]
    formats = sorted({fmt for _, fmt, _ in files})
    rows = []
    for name, function, readable in tools:
        for fmt in formats + ["all"]:
            subset = [f for f in files if fmt == "all" or f[1] == fmt]
            if readable is not None and (fmt == "all" or fmt not in readable):
                if fmt != "all":
                    rows.append((name, fmt, None))
                continue
            total_time = 0.0
            total_pages = 0
            agree = 0
            for path, _, expected in subset:
                median, pages = measure(function, path, args.repeats)
                total_time += median
                total_pages += expected
                agree += pages == expected
            rows.append((name, fmt, (len(subset), total_time, total_pages, agree)))
    print(f"{'tool':<20} {'format':<7} {'files':>5} {'files/s':>9} {'pages/s':>9} {'ms/file':>8} {'agree':>7}")
    reference = {fmt: r for (n, fmt, r) in rows if n == "KlendoPrintInfo"}
    for name, fmt, result in rows:
        if result is None:
            print(f"{name:<20} {fmt:<7} {'n/a':>5}")
            continue
        count, total_time, total_pages, agree = result
        line = (f"{name:<20} {fmt:<7} {count:>5} {count / total_time:>9.1f} {total_pages / total_time:>9.1f} "
                f"{1000 * total_time / count:>8.2f} {agree:>3}/{count:<3}")
        if name != "KlendoPrintInfo" and reference.get(fmt):
            line += f"  KlendoPrintInfo is {total_time / reference[fmt][1]:.1f}x faster"
        print(line)
    # The parser without process start-up: one run over all files, once per repeat.
    paths = [path for path, _, _ in files]
    times = []
    for _ in range(args.repeats):
        start = time.perf_counter()
        subprocess.run([args.tool] + paths, capture_output=True)
        times.append(time.perf_counter() - start)
    best = statistics.median(times)
    pages = sum(expected for _, _, expected in files)
    print(f"KlendoPrintInfo, one process over all {len(paths)} files: {len(paths) / best:.1f} files/s, "
          f"{pages / best:.1f} pages/s (median of {args.repeats})")


main()
