#!/usr/bin/env python3
"""Writes the hand-made hostile files of the parser corpus into hostile/ and appends their
expected values to manifest.txt (run make-corpus.sh first, which rewrites the manifest).
Needs qpdf for the encrypted files. Usage: ./make-hostile.py"""
import os
import struct
import subprocess
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "hostile")
UEL = b"\x1b%-12345X"
manifest = []


def write(name, data, fmt, pages, width="-", length="-"):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)
    manifest.append(f"hostile/{name} {fmt} {pages} {width} {length}")


def pdf(objects, root=1, startxref_delta=0, trailer_extra=b""):
    """A PDF from object bodies (numbered from 1) with a correct cross-reference table."""
    out = b"%PDF-1.4\n"
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for offset in offsets:
        out += b"%010d 00000 n \n" % offset
    out += b"trailer\n<< /Size %d /Root %d 0 R %s>>\n" % (len(objects) + 1, root, trailer_extra)
    out += b"startxref\n%d\n%%%%EOF\n" % (xref + startxref_delta)
    return out


def pdf_xref_stream_numbered_as(objects, number):
    """A PDF whose only cross-reference is a stream that calls itself object `number`, while its
    entries send that number to the object of the same number among `objects`."""
    out = b"%PDF-1.5\n"
    offsets = []
    for n, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % n + body + b"\nendobj\n"
    rows = b"\x00" + struct.pack(">I", 0) + b"\xff"
    rows += b"".join(b"\x01" + struct.pack(">I", offset) + b"\x00" for offset in offsets)
    xref = len(out)
    out += (b"%d 0 obj\n<< /Type /XRef /Size %d /W [1 4 1] /Root 1 0 R /Length %d >>\nstream\n"
            % (number, len(objects) + 1, len(rows)) + rows + b"\nendstream\nendobj\n")
    out += b"startxref\n%d\n%%%%EOF\n" % xref
    return out


def page(parent, box=b""):
    return b"<< /Type /Page /Parent %d 0 R %s>>" % (parent, box)


def pdf_files():
    letter = b"/MediaBox [0 0 612 792]"
    # /Count says 10, the tree holds 2 pages; the size is inherited from the root.
    write("pdf-wrong-count.pdf", pdf([b"<< /Type /Catalog /Pages 2 0 R >>",
                                      b"<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 10 " + letter + b" >>",
                                      page(2), page(2)]), "PDF", 2, "8.500", "11.000")
    # An intermediate node lists itself and its parent: each node counts once.
    write("pdf-kids-loop.pdf", pdf([b"<< /Type /Catalog /Pages 2 0 R >>",
                                    b"<< /Type /Pages /Kids [3 0 R 2 0 R] /Count 2 >>",
                                    b"<< /Type /Pages /Kids [4 0 R 3 0 R 2 0 R] /Count 1 /Parent 2 0 R >>",
                                    page(3, b"/MediaBox [0 0 595 842]")]), "PDF", 1, "8.264", "11.694")
    # 400 levels of intermediate nodes above one A5 page: deep, but within what is followed.
    depth = 400
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>"]
    for level in range(depth):
        objects.append(b"<< /Type /Pages /Kids [%d 0 R] /Count 1 >>" % (level + 3))
    objects.append(page(depth + 1, b"/MediaBox [0 0 420 595]"))
    write("pdf-deep-tree.pdf", pdf(objects), "PDF", 1, "5.833", "8.264")
    # 2000 levels: too deep to follow; zeros or a count, but no crash and no hang.
    depth = 2000
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>"]
    for level in range(depth):
        objects.append(b"<< /Type /Pages /Kids [%d 0 R] /Count 1 >>" % (level + 3))
    objects.append(page(depth + 1, letter))
    write("pdf-too-deep-tree.pdf", pdf(objects), "PDF", 0)
    good = pdf([b"<< /Type /Catalog /Pages 2 0 R >>",
                b"<< /Type /Pages /Kids [3 0 R 4 0 R 5 0 R] /Count 3 >>",
                page(2, letter), page(2, letter), page(2, letter)])
    # startxref points into the middle of an object: the table is rebuilt from the objects.
    write("pdf-bad-startxref.pdf", pdf([b"<< /Type /Catalog /Pages 2 0 R >>",
                                        b"<< /Type /Pages /Kids [3 0 R 4 0 R 5 0 R] /Count 3 >>",
                                        page(2, letter), page(2, letter), page(2, letter)],
                                       startxref_delta=-40), "PDF", 3, "8.500", "11.000")
    # Cut after the second page object: the repaired file shows what is left.
    cut = good.index(b"5 0 obj")
    write("pdf-truncated.pdf", good[:cut], "PDF", 2, "8.500", "11.000")
    # A PJL header longer than the 1024 bytes in which libqpdf looks for the PDF header.
    pjl = b"".join(b"@PJL COMMENT line %03d of a long driver header ........................\r\n" % i
                   for i in range(40))
    write("pjl-long-header.pdf", UEL + pjl + b"@PJL ENTER LANGUAGE=PDF\r\n" + good + UEL + b"@PJL EOJ\r\n" + UEL,
          "PDF", 3, "8.500", "11.000")
    # The cross-reference stream takes the number of the last page: both readers resolve that
    # number to the stream, the object read first, and count the two pages before it.
    write("pdf-xref-stream-renumbered.pdf",
          pdf_xref_stream_numbered_as([b"<< /Type /Catalog /Pages 2 0 R >>",
                                       b"<< /Type /Pages /Kids [3 0 R 4 0 R 5 0 R] /Count 3 >>",
                                       page(2, letter), page(2, letter), page(2, letter)], 5),
          "PDF", 2, "8.500", "11.000")
    # The last page's entry has a generation above the largest: no reference reaches that object.
    last_entry = good.rindex(b"00000 n")
    write("pdf-generation-out-of-range.pdf", good[:last_entry] + b"99999 n" + good[last_entry + 7:],
          "PDF", 2, "8.500", "11.000")
    source = os.path.join(OUT, "plain.tmp")
    with open(source, "wb") as f:
        f.write(good)
    owner = os.path.join(OUT, "pdf-owner-password.pdf")
    subprocess.run(["qpdf", "--encrypt", "", "owner-secret", "256", "--", source, owner], check=True)
    manifest.append("hostile/pdf-owner-password.pdf PDF 3 8.500 11.000")
    user = os.path.join(OUT, "pdf-user-password.pdf")
    subprocess.run(["qpdf", "--encrypt", "user-secret", "owner-secret", "256", "--", source, user], check=True)
    manifest.append("hostile/pdf-user-password.pdf PDF 0 - -")
    os.remove(source)


def pcl_files():
    # Raster rows full of form feeds and ESC bytes are data, not pages or commands.
    raster = b"\x1b*r1A" + b"".join(b"\x1b*b8W" + b"\x0c\x1bE\x0c\x0c\x1b\x0c\x0c" for _ in range(20)) + b"\x1b*rC"
    write("pcl5-formfeed-in-raster.pcl", b"\x1bE\x1b&l26A" + raster + b"\x0c\x1bE", "PCL5", 1, "8.268", "11.693")
    # PJL asks for A4 and PCL; two text pages; after the closing UEL a second job is not read.
    body = b"\x1bEPage one\x0cPage two\x0c\x1bE"
    write("pjl-pcl5-a4.pcl", UEL + b"@PJL JOB NAME=\"x\"\r\n@PJL SET PAPER=A4\r\n@PJL ENTER LANGUAGE=PCL\r\n" +
          body + UEL + b"@PJL EOJ\r\n" + body + UEL, "PCL5", 2, "8.268", "11.693")
    header = b") HP-PCL XL;2;0;hand-made\n"
    begin_session = b"\xd1\x58\x02\x58\x02\xf8\x89\xc0\x00\xf8\x86\xc0\x00\xf8\x8f\x41"
    begin_page = b"\xc0\x00\xf8\x28\xc0\x02\xf8\x25\x43"
    # Two pages, then a real32 box operand cut after two of its sixteen bytes.
    write("pclxl-truncated-operand.pxl", header + begin_session + begin_page + b"\x44" + begin_page + b"\x44" +
          b"\xe5\x00\x00", "PCLXL", 2, "8.268", "11.693")
    # An array whose count runs far past the end of the data.
    write("pclxl-array-past-end.pxl", header + begin_session + begin_page + b"\xc8\xc1\xff\xffAB", "PCLXL", 1,
          "8.268", "11.693")


def ps_files():
    write("ps-dsc-nesting.ps", b"""%!PS-Adobe-3.0
%%Pages: (atend)
%%BoundingBox: (atend)
%%EndComments
%%Page: 1 1
%%PageBoundingBox: 0 0 595 842
%%BeginDocument: inner.eps
%!PS-Adobe-3.0 EPSF-3.0
%%Page: 1 1
%%Page: 2 2
%%EndDocument
%%BeginBinary: 20
%%Page: 9 9
%%Page:
showpage
%%Page: 2 2
showpage
%%Trailer
%%Pages: 2
%%BoundingBox: 0 0 612 792
%%EOF
""", "PS", 2, "8.264", "11.694")
    write("ps-showpage-no-dsc.ps", b"""%!
/Helvetica findfont 12 scalefont setfont
/page { 72 72 moveto show showpage } def
<< /PageSize [612 1008] >> setpagedevice
(one) show showpage
(two) show showpage % showpage in a comment
(a string with showpage) show
<73686f77706167650a> pop
{ showpage } pop
showpage
""", "PS", 3, "8.500", "14.000")


def xps_files():
    def zip_bytes(entries, level=zipfile.ZIP_DEFLATED):
        path = os.path.join(OUT, "zip.tmp")
        with zipfile.ZipFile(path, "w", level) as z:
            for name, data in entries:
                z.writestr(name, data)
        with open(path, "rb") as f:
            data = f.read()
        os.remove(path)
        return data
    rels = (b'<?xml version="1.0"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/'
            b'relationships"><Relationship Type="http://schemas.microsoft.com/xps/2005/06/'
            b'fixedrepresentation" Target="/FixedDocSeq.fdseq" Id="R0"/></Relationships>')
    seq = b'<FixedDocumentSequence><DocumentReference Source="Documents/1/FixedDoc.fdoc"/></FixedDocumentSequence>'
    # The document part inflates to 100 MB of blanks: refused, nothing counted.
    bomb = b"<FixedDocument>" + b" " * (100 * 1024 * 1024) + b"</FixedDocument>"
    write("xps-zip-bomb.xps", zip_bytes([("_rels/.rels", rels), ("FixedDocSeq.fdseq", seq),
                                         ("Documents/1/FixedDoc.fdoc", bomb)]), "XPS", 0)
    # The document part claims 100 bytes in the directory but inflates to more: refused.
    doc = b'<FixedDocument>' + b'<PageContent Source="Pages/1.fpage"/>' * 50 + b'</FixedDocument>'
    data = bytearray(zip_bytes([("_rels/.rels", rels), ("FixedDocSeq.fdseq", seq), ("Documents/1/FixedDoc.fdoc", doc)]))
    entry = data.rindex(b"PK\x01\x02")
    data[entry + 24:entry + 28] = struct.pack("<I", 100)
    write("xps-lying-size.xps", bytes(data), "XPS", 0)
    # Interleaved pieces, a relative page path, a prefixed element name and an A5 page.
    doc = (b'<!-- <PageContent Source="nothing"/> --><FixedDocument><x:PageContent Source="Pages/1.fpage"/>'
           b'<PageContent Source="Pages/2.fpage"/></FixedDocument>')
    fpage = b'<FixedPage Width="559.37" Height="793.7" xml:lang="en"></FixedPage>'
    write("xps-pieces.xps", zip_bytes([("_rels/.rels", rels), ("FixedDocSeq.fdseq", seq),
                                       ("Documents/1/FixedDoc.fdoc/[0].piece", doc[:40]),
                                       ("Documents/1/FixedDoc.fdoc/[1].last.piece", doc[40:]),
                                       ("Documents/1/Pages/1.fpage", fpage)]), "XPS", 2, "5.827", "8.268")


def zip64_bytes(entries):
    """A stored zip whose directory uses the zip64 forms throughout: sizes and offsets in zip64
    extra fields, and the zip64 end records."""
    out = b""
    directory = b""
    for name, data in entries:
        name = name.encode()
        crc = zlib.crc32(data)
        offset = len(out)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 45, 0, 0, 0, 0, crc, len(data), len(data), len(name), 0)
        out += name + data
        extra = struct.pack("<HHQQQ", 1, 24, len(data), len(data), offset)
        directory += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 45, 0, 0, 0, 0, crc, 0xFFFFFFFF,
                                 0xFFFFFFFF, len(name), len(extra), 0, 0, 0, 0, 0xFFFFFFFF) + name + extra
    directory_at = len(out)
    out += directory
    record_at = len(out)
    out += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, len(entries), len(entries), len(directory),
                       directory_at)
    out += struct.pack("<IIQI", 0x07064B50, 0, record_at, 1)
    out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    return out


def zip64_file():
    rels = (b'<Relationships><Relationship Target="/Seq.fdseq" Type="http://schemas.microsoft.com/xps/2005/06/'
            b'fixedrepresentation"/></Relationships>')
    write("xps-zip64.xps", zip64_bytes([
        ("_rels/.rels", rels),
        ("Seq.fdseq", b'<FixedDocumentSequence><DocumentReference Source="/D/1.fdoc"/>'
                      b'<DocumentReference Source="/D/2.fdoc"/></FixedDocumentSequence>'),
        ("D/1.fdoc", b'<FixedDocument><PageContent Source="../P/1.fpage"/></FixedDocument>'),
        ("D/2.fdoc", b'<FixedDocument><PageContent Source="/P/1.fpage"/><PageContent Source="/P/1.fpage"/>'
                     b'</FixedDocument>'),
        ("P/1.fpage", b"<FixedPage Height='1056' Width='816'/>")]), "XPS", 3, "8.500", "11.000")


def main():
    os.makedirs(OUT, exist_ok=True)
    pdf_files()
    pcl_files()
    ps_files()
    xps_files()
    zip64_file()
    with open(os.path.join(HERE, "manifest.txt"), "a") as f:
        f.write("\n".join(manifest) + "\n")


main()
