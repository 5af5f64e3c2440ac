#!/usr/bin/env python3
"""Writes the container test files of tests/unpack (standard library only).

Every container holds images of this folder, so the tests can compare what
they decode with the files themselves. Dates, names and boundaries are fixed,
so each run writes the same bytes:

  python3 tests/data/make_containers.py
"""
import base64
import email.message
import email.policy
import gzip
import io
import os
import tarfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
WHEN = (2014, 1, 1, 16, 28, 0)


def read(name):
    with open(os.path.join(HERE, name), "rb") as f:
        return f.read()


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


def add(z, name, data, method=zipfile.ZIP_DEFLATED):
    info = zipfile.ZipInfo(name, WHEN)
    info.compress_type = method
    z.writestr(info, data)


def document_zip():
    """A word-processor document's shape: XML parts and a deflated picture."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        add(z, "[Content_Types].xml",
            b'<?xml version="1.0"?><Types><Default Extension="png" ContentType="image/png"/></Types>')
        add(z, "word/document.xml",
            b'<?xml version="1.0"?><w:document><w:body><w:p>A picture:</w:p>'
            b'<w:drawing r:embed="rId1"/></w:body></w:document>')
        add(z, "word/media/image1.png", read("png_rgba_text.png"))
    return out.getvalue()


class PipeWriter:
    """A stream that can only be written, as a pipe: zipfile then puts each
    entry's sizes in a data descriptor after its data."""

    def __init__(self):
        self.buffer = io.BytesIO()

    def write(self, data):
        return self.buffer.write(data)

    def flush(self):
        pass


def piped_zip():
    pipe = PipeWriter()
    with zipfile.ZipFile(pipe, "w") as z:
        add(z, "photo.jpg", read("baseline_420.jpg"))
        add(z, "stored.bmp", read("bmp_core_24bit.bmp"), zipfile.ZIP_STORED)
        add(z, "picture.bmp", read("bmp_24bit.bmp"))
    return pipe.buffer.getvalue()


def appended_zip():
    """A zip after other bytes, as a self-extracting archive is laid out."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        add(z, "palette.png", read("png_palette.png"))
    lead = bytes((k * 37 + 11) % 251 for k in range(1000))
    return lead + out.getvalue()


def tar_and_gzip():
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.USTAR_FORMAT) as t:
        for name in ("bmp_8bit_palette.bmp", "greyscale.jpg", "png_adam7.png"):
            data = read(name)
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mtime = 1388593680
            info.mode = 0o644
            t.addfile(info, io.BytesIO(data))
    tar = out.getvalue()
    packed = io.BytesIO()
    with gzip.GzipFile(filename="images.tar", mode="wb", fileobj=packed, mtime=0) as g:
        g.write(tar)
    return tar, packed.getvalue()


def mail(docx):
    m = email.message.EmailMessage(policy=email.policy.SMTP)
    m["From"] = "sender@example.org"
    m["To"] = "reader@example.org"
    m["Subject"] = "The report"
    m["Date"] = "Wed, 01 Jan 2014 16:28:00 +0000"
    m["Message-ID"] = "<report-2014@example.org>"
    m.set_content("Please find the report attached.\n")
    m.add_attachment(docx, maintype="application",
                     subtype="vnd.openxmlformats-officedocument.wordprocessingml.document",
                     filename="report.docx")
    m.set_boundary("==boundary-2014==")
    return m.as_bytes()


def page():
    png = base64.b64encode(read("png_palette.png")).decode()
    jpg = base64.b64encode(read("greyscale.jpg")).decode()
    return (
        "<!DOCTYPE html>\n<html><head><style>\n"
        f".banner {{ background: url(data:image/jpeg;base64,{jpg}) no-repeat; }}\n"
        "</style></head><body>\n"
        "<p>Ordinary prose with long words such as incomprehensibilities and a digest:\n"
        "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08</p>\n"
        f'<img alt="logo" src="data:image/png;base64,{png}">\n'
        "</body></html>\n"
    ).encode()


def main():
    docx = document_zip()
    write("document.docx", docx)
    write("piped.zip", piped_zip())
    write("appended.bin", appended_zip())
    tar, tgz = tar_and_gzip()
    write("images.tar", tar)
    write("images.tar.gz", tgz)
    write("mail.eml", mail(docx))
    write("page.html", page())
    # A gzip member in a gzip member, four deep: one more than is searched.
    nested = read("png_adam7.png")
    for _ in range(4):
        nested = gzip.compress(nested, mtime=0)
    write("nested.gz", nested)
    # Cut 500 bytes into the picture's compressed data.
    picture = docx.index(b"word/media/image1.png") + len("word/media/image1.png")
    write("truncated.zip", docx[: picture + 500])


if __name__ == "__main__":
    main()
