#!/usr/bin/env python3
"""Rewrites some of the Ghostscript PDFs with the qpdf tool into the shapes Ghostscript does not
write: object streams with a cross-reference stream, linearized files, incremental updates,
encryption (RC4 40 and 128 bits, AES 128 and 256 bits, each with and without object streams, and
some more: revision 5, metadata left clear, a user password), a broken cross-reference offset and a file cut short. Appends their
manifest lines with the values the qpdf tool itself gives. make-corpus.sh runs it after the
Ghostscript files are written; by hand: ./make-qpdf.py (needs qpdf)."""
import os
import re
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "qpdf")
SOURCES = {"a4": "gs/a4-pdfwrite.pdf", "letter": "gs/letter-pdfwrite.pdf"}
OBJSTM = ["--object-streams=generate"]
VARIANTS = {
    "objstm": OBJSTM,
    "linearized": ["--linearize"],
    "linearized-objstm": ["--linearize"] + OBJSTM,
    "rc4-40": ["--allow-weak-crypto", "--encrypt", "", "owner", "40", "--"],
    "rc4-128": ["--allow-weak-crypto", "--encrypt", "", "owner", "128", "--use-aes=n", "--"],
    "rc4-128-objstm": ["--allow-weak-crypto", "--encrypt", "", "owner", "128", "--use-aes=n", "--"] + OBJSTM,
    "rc4-128-user-password": ["--allow-weak-crypto", "--encrypt", "user", "owner", "128", "--use-aes=n", "--"],
    "aes-128": ["--encrypt", "", "owner", "128", "--use-aes=y", "--"],
    "aes-128-objstm": ["--encrypt", "", "owner", "128", "--use-aes=y", "--"] + OBJSTM,
    "aes-256": ["--encrypt", "", "owner", "256", "--"],
    "aes-256-objstm": ["--encrypt", "", "owner", "256", "--"] + OBJSTM,
    "aes-256-r5-objstm": ["--allow-weak-crypto", "--encrypt", "", "owner", "256", "--force-R5", "--"] + OBJSTM,
    "aes-128-clear-metadata-objstm": ["--encrypt", "", "owner", "128", "--use-aes=y", "--cleartext-metadata",
                                      "--"] + OBJSTM,
}

manifest = []


def qpdf(*args):
    result = subprocess.run(["qpdf"] + list(args), capture_output=True, text=True)
    if result.returncode not in (0, 3):  # 3: written with warnings
        raise SystemExit(result.stderr)
    return result.stdout


def add(path):
    """A manifest line with the page count and first page size qpdf reads from the file."""
    pages = len(re.findall(r"^page \d+:", qpdf("--show-pages", path) if ok(path) else "", re.M))
    line = "qpdf/%s PDF %d - -" % (os.path.basename(path), pages)
    if pages:
        box = qpdf("--show-object=" + page_one(path), "--password=", path)
        numbers = [float(v) for v in re.search(r"/MediaBox \[ ([^\]]*) \]", box).group(1).split()]
        line = "qpdf/%s PDF %d %.3f %.3f" % (os.path.basename(path), pages, abs(numbers[2] - numbers[0]) / 72,
                                              abs(numbers[3] - numbers[1]) / 72)
    manifest.append(line)


def ok(path):
    return subprocess.run(["qpdf", "--show-npages", path], capture_output=True).returncode in (0, 3)


def page_one(path):
    return re.search(r"^page 1: (\d+) 0 R", qpdf("--show-pages", path), re.M).group(1)


def incremental(source, target, media_box):
    """Appends a revision that replaces page 1 with a copy under another MediaBox, or (None)
    a revision of nothing but a new trailer."""
    data = open(source, "rb").read()
    prev = int(re.findall(rb"startxref\s+(\d+)", data)[-1])
    trailer = qpdf("--show-object=trailer", source).strip()
    trailer = re.sub(r"\s*>>$", " /Prev %d >>" % prev, trailer)
    data += b"\n"
    if media_box is None:
        xref = b"xref\n0 0\n"
    else:
        number = page_one(source)
        page = qpdf("--show-object=" + number, source).strip()
        page = re.sub(r"/MediaBox \[[^\]]*\]", "/MediaBox [ %s ]" % media_box, page)
        offset = len(data)
        data += ("%s 0 obj\n%s\nendobj\n" % (number, page)).encode()
        xref = ("xref\n%s 1\n%010d 00000 n \n" % (number, offset)).encode()
    start = len(data)
    data += xref + b"trailer\n" + trailer.encode() + b"\nstartxref\n%d\n%%%%EOF\n" % start
    open(target, "wb").write(data)


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, source in SOURCES.items():
        source = os.path.join(HERE, source)
        for variant, args in VARIANTS.items():
            target = os.path.join(OUT, "%s-%s.pdf" % (name, variant))
            qpdf(*args, source, target)
            add(target)
    a4 = os.path.join(HERE, SOURCES["a4"])
    incremental(a4, os.path.join(OUT, "a4-update-mediabox.pdf"), "0 0 612 1008")
    incremental(a4, os.path.join(OUT, "a4-update-trailer-only.pdf"), None)
    objstm = open(os.path.join(OUT, "a4-objstm.pdf"), "rb").read()
    incremental(os.path.join(OUT, "a4-objstm.pdf"), os.path.join(OUT, "a4-objstm-update-mediabox.pdf"), "0 0 420 595")
    for name in ("a4-update-mediabox.pdf", "a4-update-trailer-only.pdf", "a4-objstm-update-mediabox.pdf"):
        add(os.path.join(OUT, name))
    # startxref points into the middle of an object; a cut through the last page's objects.
    for name, source in (("a4-objstm-bad-startxref.pdf", objstm),
                         ("a4-linearized-bad-startxref.pdf",
                          open(os.path.join(OUT, "a4-linearized.pdf"), "rb").read())):
        position = source.rindex(b"startxref") + len(b"startxref\n")
        end = source.index(b"\n", position)
        broken = source[:position] + str(int(source[position:end]) + 7).encode() + source[end:]
        open(os.path.join(OUT, name), "wb").write(broken)
        add(os.path.join(OUT, name))
    open(os.path.join(OUT, "a4-objstm-truncated.pdf"), "wb").write(objstm[: len(objstm) * 2 // 3])
    add(os.path.join(OUT, "a4-objstm-truncated.pdf"))
    with open(os.path.join(HERE, "manifest.txt"), "a") as out:
        out.write("\n".join(manifest) + "\n")


main()
