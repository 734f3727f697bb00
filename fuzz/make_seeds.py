#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The files are committed; run this again only to change them. Archives get a
fixed time stamp so that the bytes do not change from run to run.
"""
import io
import pathlib
import re
import struct
import subprocess
import tempfile
import zipfile
import zlib

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"
STAMP = (2024, 1, 1, 0, 0, 0)


def write(target, name, data):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def archive(entries, method=zipfile.ZIP_DEFLATED):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", method) as z:
        for name, data in entries:
            z.writestr(zipfile.ZipInfo(name, STAMP), data, compress_type=method)
    return buffer.getvalue()


def version_lists():
    lists = {
        # local list, NUL, server list
        "same": b"Brindax.zip\nBrindax.exe@1.0\ndata/a.dat@2\x00Brindax.zip\nBrindax.exe@1.0\ndata/a.dat@2",
        "changed": b"Brindax.zip\nBrindax.exe@1.0\ndata/a.dat@2\x00Brindax.zip\nBrindax.exe@1.1\ndata/a.dat@2",
        "longer": b"Brindax.zip\nBrindax.exe@1.0\x00Brindax.zip\nBrindax.exe@1.0\nnew.dat@1\n",
        "crlf_fields": b"P.zip\r\na@1@x@y\r\nb@@\r\n\x00P.zip\r\na@1@z\r\nb@\r\n",
        "one_list": b"P.zip\n\n@\n@@1\nname-only\n",
    }
    for name, data in lists.items():
        write("version_list", name, data)


def entry_names():
    names = {
        "plain": b"data/a.dat",
        "folder": b"data/sub/",
        "climb": b"data/../../x",
        "backslash": b"a\\..\\b",
        "absolute": b"/etc/x",
        "drive": b"C:\\x",
        "dots": b"a/./..b/...",
    }
    for name, data in names.items():
        write("entry_name", name, data)


def packs():
    write("pack_unpack", "install", archive(
        [("Brindax.exe", b"MZ" + b"\x00" * 30), ("data/", b""), ("data/a.dat", b"abc" * 20)]))
    write("pack_unpack", "stored", archive([("x.txt", b"hello\n")], zipfile.ZIP_STORED))
    write("pack_unpack", "unsafe_names", archive(
        [("../up.txt", b"1"), ("/abs.txt", b"2"), ("a\\..\\..\\b.txt", b"3"), ("c:d.txt", b"4"),
         ("ok/./f.txt", b"5")]))
    write("pack_unpack", "empty", archive([]))
    bad = bytearray(archive([("crc.txt", b"payload" * 8)], zipfile.ZIP_STORED))
    bad[30 + len("crc.txt")] ^= 0xFF  # first byte of the stored data: CRC no longer matches
    write("pack_unpack", "bad_crc", bytes(bad))


def with_hidden_directory(package, name, data):
    """The package with a second one hidden in its end record's comment: a
    local header, a directory of that one entry and an end record of its own
    as the last bytes. A copy of the package that holds only some of its bytes
    can make libzip take the hidden directory."""
    crc = zlib.crc32(data)
    local = len(package)
    name = name.encode()
    hidden = struct.pack("<IHHHHHIIIHH", 0x04034b50, 20, 0, 0, 0, 0, crc, len(data), len(data),
                         len(name), 0) + name + data
    directory = local + len(hidden)
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014b50, 20, 20, 0, 0, 0, 0, crc, len(data),
                          len(data), len(name), 0, 0, 0, 0, 0, local) + name
    hidden += central + struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, 1, 1, len(central), directory, 0)
    return package[:-2] + struct.pack("<H", len(hidden)) + hidden


def zip64_huge_directory(package):
    """The package's end record replaced by ZIP64 end records that place a
    central directory of 2^44 bytes at 2^44: sizes no allocation may take."""
    body = package[:-22]
    record = len(body)
    end = struct.pack("<IQHHIIQQQQ", 0x06064b50, 44, 45, 45, 0, 0, 1, 1, 1 << 44, 1 << 44)
    end += struct.pack("<IIQI", 0x07064b50, 0, record, 1)
    end += struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    return body + end


def ranged_ends():
    package = archive([("Brindax.exe", b"MZ" + b"\x00" * 30), ("data/a.dat", b"good" * 8)],
                      zipfile.ZIP_STORED)
    write("pack_unpack", "two_end_records", with_hidden_directory(package, "data/a.dat", b"evil"))
    write("pack_unpack", "zip64_huge_directory", zip64_huge_directory(package))


def ftp_replies():
    # First byte: which codes are accepted (an index into the target's table).
    for name, data in [
            ("greeting", b"\x01220 Welcome\r\n"),
            ("multiline", b"\x03230-Hello\r\n more\r\n230 Logged in\r\n"),
            ("passive", b"\x04227 Entering Passive Mode (127,0,0,1,183,29)\r\n"),
            ("passive_blanks", b"\x04227 =127, 0, 0, 1, 4, 1\n"),
            ("two_replies", b"\x02150 go\r\n226 done\r\n"),
            ("blank_lines", b"\x05\r\n\r\n250-a\n251 b\n250 c\n")]:
        write("ftp_reply", name, data)


# Keys files made with brindax-publish keys (version 1: two roots, both
# signing; version 2: other roots and release key, signed by old and new).
KEYS_VERSION_1 = """Brindax keys file
version: 1
expires: 1799316667
threshold: 2
root: RWRmXns7X93WsWzmm5bWYvO86nvD1nCpMGWr6lDiFiIFsrDdhCRdZPqX
root: RWQPuVpqW84zW0ZotN+Ma3WMF3V0Ilf+P+8Q0yGTHgy2g3ePDB7MBzMK
release: RWRPNz3KrnUWj9SAc8DzKfmYdaRd4jDwpUWX1Q3XVD1H9FGKPQG4wWN/
signatures:
untrusted comment: signature from minisign secret key
RURmXns7X93WsWiC5TEqHrHyHy186OdXMImsDSXaVk/3kwaBuk/YYmZW5Cy+I7BRNzI2FK4yyv9+udVXFmhFXLLmGEgZyWOF9w8=
trusted comment: brindax-keys:1
D5mKil4M8YT4YWtoo83Uw1X23WFP6LZGLZn0yvryFRzqc3UYIPYHk96pSGx0+O0RQHufjuWCGwFfq+TWWuMnBQ==
untrusted comment: signature from minisign secret key
RUQPuVpqW84zW8uZrNfALhTgPHcetDt4vmwblphCnip3Z3A1hNmZ05upgOEkVWjbnsM2V3Zk+0h3DaMumy9b9+QQZbZsODQQ8Ag=
trusted comment: brindax-keys:1
YThi/3Yfshy2bL1Be1RFelRYmkfCQIsMe8ivBCRaF2XMXxWVG9Enk2zY0gCxFxMak/KBiBXDxfYeWMuZFRJlAQ==
"""

KEYS_VERSION_2 = """Brindax keys file
version: 2
expires: 1799316667
threshold: 1
root: RWQPuVpqW84zW0ZotN+Ma3WMF3V0Ilf+P+8Q0yGTHgy2g3ePDB7MBzMK
root: RWTvkDBTgaS21vJTut/JW2aFXRAikylhou0Oh+0uJJugNRKfqMkCx4CN
release: RWTuyGm43/5phin2/6uyQMoDaPwlPsdvbtGmCcQ0j4xIGS47t4lS9urz
signatures:
untrusted comment: signature from minisign secret key
RURmXns7X93WsRHbGsxi7Y4g309YGXgbmQGuwjwBCQJmWEDLPNTz4IoWCC4d3M47RrZomj/7JsqczMdrtB+l1B6ofx9PQpNTOQE=
trusted comment: brindax-keys:2
yyzoMsnLBaHSLHdN4yPwp6shh/e8PkNEobicgsKUHeLgrOR1pCybMZ80uhO3ouVczg2IVfDb3TyOUPUpmVauCw==
untrusted comment: signature from minisign secret key
RUQPuVpqW84zWzeBd8oH57LUJgRJrSzptAlvnzYQls8vXPxU9oFX0Be/5F+9DU1yEaMobfl768dyLeWR4HJpVHI0gHyZEznITgM=
trusted comment: brindax-keys:2
cHn0I70rM0VSP3r7jYiVbX1duNEYqPMFNkqdTGDItTndALmcmniIgwCFoT1XZ1zC0uyUOhTEdQ9iNPcEW881Cg==
"""


def keys_files():
    write("keys_file", "version_1", KEYS_VERSION_1.encode())
    write("keys_file", "version_2", KEYS_VERSION_2.encode())
    body = KEYS_VERSION_2[:KEYS_VERSION_2.index("signatures:")]
    write("keys_file", "unsigned", (body + "signatures:\n").encode())


def release_manifests():
    d256, b256, d512 = b"a" * 64, b"b" * 64, b"c" * 128
    head = b"brindax-manifest 1\npackage 5000 " + d512 + b" Brindax.zip\nlist " + d512 + b"\n"
    exe = b"file 100 " + d256 + b" 0 60 8 Brindax.exe\n"
    deltas = (b"delta " + b256 + b" 0 17 " + d256 + b" deltas/x-y.delta\n"
              b"delta - 17 40 " + d256 + b" deltas/x-y.delta\n")
    stored = b"file 12 " + b256 + b" 120 12 0 data/read me.txt\n"
    difference = b"difference " + b256 + b" 0 17 " + d256 + b" deltas/x-y.delta\n"
    texts = {
        "difference": head + exe + difference + deltas.split(b"\n", 1)[1] + stored,
        "empty_release": head,
        "files": head + exe + stored,
        "deltas": head + exe + deltas + stored,
        "executable": head + exe + b"executable\n" + deltas + stored + b"executable\n",
        "same_name": head + exe + exe.replace(b"Brindax.exe", b"BRINDAX.EXE"),
    }
    for name, text in texts.items():
        write("release_manifest", name, text)
    # The served form: one zstd frame (made with the zstd tool).
    frame = subprocess.run(["zstd", "-19", "-q", "-c"], input=texts["deltas"],
                           capture_output=True, check=True).stdout
    write("release_manifest", "served", frame)


def release_records():
    heading = b"Brindax installed release sequence"
    for name, data in [
            ("one", heading + b"\n1\n"),
            ("highest", heading + b"\n18446744073709551615\n"),
            ("crlf_zeros", heading + b"\r\n0042\r\n"),
            ("cut_short", heading + b"\n17"),
            ("out_of_range", heading + b"\n18446744073709551616\n")]:
        write("release_record", name, data)


def zstd_frame(data):
    """A zstd frame that names its content size (the tool writes it for a file)."""
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "stream"
        path.write_bytes(data)
        return subprocess.run(["zstd", "-19", "-q", "-c", str(path)], capture_output=True, check=True).stdout


def leb128(value):
    out = b""
    while value >= 0x80:
        out += bytes([(value & 0x7F) | 0x80])
        value >>= 7
    return out + bytes([value])


def difference_deltas():
    """Inputs of the difference_delta target: [2-byte base length][base]
    [4-byte new size][delta], all little-endian."""
    def triple(add, extra, seek):
        return leb128(add) + leb128(extra) + leb128(seek * 2 if seek >= 0 else -seek * 2 - 1)

    def delta(control, difference, extra, magic=b"BXDIFF2\n"):
        # The difference bytes in turns of zeros (gaps) and non-zero bytes.
        streams = {"gaps": b"", "lengths": b"", "numbers": b""}

        def count(stream, n):
            if n < 255:
                streams[stream] += bytes([n])
            else:
                streams[stream] += b"\xff"
                streams["numbers"] += leb128(n)

        values, end = b"", 0
        for run in re.finditer(rb"[^\x00]+", difference):
            count("gaps", run.start() - end)
            count("lengths", len(run.group()))
            values += run.group()
            end = run.end()
        frames = [zstd_frame(s) for s in (control, streams["gaps"], streams["lengths"], streams["numbers"],
                                          values, extra)]
        return magic + b"".join(struct.pack("<Q", len(f)) for f in frames) + b"".join(frames)

    base = bytes(range(64))
    cases = {
        # 8 bytes from the base plus one, "XYZ", 4 bytes as they are, back
        # to the start, 2 bytes and "!".
        "sound": (18, delta(triple(8, 3, 4) + triple(4, 0, -16) + triple(2, 1, 0),
                            b"\x01" * 8 + b"\x00" * 6, b"XYZ!")),
        "same_file": (64, delta(triple(64, 0, 0), b"\x00" * 64, b"")),
        "extra_only": (5, delta(triple(0, 5, 0), b"", b"hello")),
        "long_gap": (64, delta(triple(64, 0, 0), b"\x00" * 300 + b"\x05", b"")),
        # Signed differences that carry into the next byte, and the earlier
        # form that carries nothing.
        "carries": (64, delta(triple(64, 0, 0), b"\xc0\x00\x7f\x00" * 16, b"")),
        "no_carry": (18, delta(triple(8, 3, 4) + triple(4, 0, -16) + triple(2, 1, 0),
                               b"\x01" * 8 + b"\x00" * 6, b"XYZ!", magic=b"BXDIFF1\n")),
        "seek_outside": (18, delta(triple(8, 3, 60) + triple(4, 0, -16) + triple(2, 1, 0),
                                   b"\x01" * 8 + b"\x00" * 6, b"XYZ!")),
    }
    for name, (size, data) in cases.items():
        write("difference_delta", name, struct.pack("<H", len(base)) + base + struct.pack("<I", size) + data)


if __name__ == "__main__":
    version_lists()
    entry_names()
    packs()
    ranged_ends()
    ftp_replies()
    keys_files()
    release_manifests()
    release_records()
    difference_deltas()
