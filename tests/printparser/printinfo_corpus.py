#!/usr/bin/env python3
"""Runs the KlendoPrintInfo executable on every file of the parser corpus and compares what it prints
with the manifest, as an operator would run it (under Wine for the Windows build).

Usage: printinfo_corpus.py CORPUS_FOLDER COMMAND...   (COMMAND: the executable, after its emulator)
"""
import os
import re
import subprocess
import sys

TOLERANCE = 0.05
LINE = re.compile(r"^(?P<file>.*): format=(?P<format>\S+) pages=(?P<pages>-?\d+) "
                  r"width=(?P<width>[\d.]+) length=(?P<length>[\d.]+)\r?$")


def manifest(corpus):
    with open(os.path.join(corpus, "manifest.txt"), encoding="utf-8") as lines:
        for line in lines:
            fields = line.split()
            if fields and not fields[0].startswith("#"):
                yield fields


def main():
    corpus, command = sys.argv[1], sys.argv[2:]
    entries = list(manifest(corpus))
    # Relative names, from the corpus folder: the same on both systems and under Wine.
    run = subprocess.run(command + [entry[0] for entry in entries], cwd=corpus, capture_output=True,
                         text=True, timeout=600)
    printed = {}
    for line in run.stdout.splitlines():
        match = LINE.match(line)
        if match:
            printed[match["file"].replace("\\", "/")] = match
    problems = []
    for name, kind, pages, width, length in entries:
        got = printed.get(name)
        if got is None:
            problems.append(f"{name}: no line")
            continue
        if got["format"] != kind or int(got["pages"]) != int(pages):
            problems.append(f"{name}: {got['format']} {got['pages']} pages, expected {kind} {pages}")
        for label, expected in (("width", width), ("length", length)):
            if expected != "-" and abs(float(got[label]) - float(expected)) > TOLERANCE:
                problems.append(f"{name}: {label} {got[label]}, expected {expected}")
    print(f"{len(entries)} files, {len(problems)} problems")
    for problem in problems:
        print(problem)
    if run.returncode not in (0, 1):
        print(f"exit code {run.returncode}: {run.stderr[-2000:]}")
        return 1
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
