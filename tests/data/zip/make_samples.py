"""Writes the Python-made sample archives (see make_samples.sh)."""
import struct
import sys
import zipfile
import zlib

out = sys.argv[1]


def info(name, host=3, attr=0o100644 << 16, when=(2019, 5, 6, 7, 8, 10),
         method=zipfile.ZIP_DEFLATED):
    zi = zipfile.ZipInfo(name, date_time=when)
    zi.create_system = host
    zi.external_attr = attr
    zi.compress_type = method
    return zi


# Names the clean-up rules rewrite, hostile names, a link, a DOS-host item.
with zipfile.ZipFile(f"{out}/names.zip", "w") as z:
    for name in ["C:/x/y.txt", "a/b/../c.txt", "//srv/share/d.txt", "e/f.txt",
                 "../x.txt", "a/../../x2.txt", "/etc/x3.txt", "C:\\x4.txt",
                 "..\\x5.txt", "link/evil.txt", "g\\h.txt"]:
        z.writestr(info(name), f"contents of {name}\n")
    z.writestr(info("symlink", attr=0o120777 << 16), "/etc/passwd")
    z.writestr(info("dos.txt", host=0, attr=0x23, method=zipfile.ZIP_STORED),
               "read-only, hidden, archive\n")
    z.writestr(info("newdir/", attr=(0o40755 << 16) | 0x10), "")
    z.writestr(info("big.bin"), bytes(range(256)) * 1024)

with zipfile.ZipFile(f"{out}/empty.zip", "w"):
    pass

# good.txt is sound; bad_data.txt has a damaged deflate stream; bad_crc.txt
# inflates fine but to other bytes than its CRC-32 says; bomb.txt inflates
# to more than its declared size.
payload = b"the quick brown fox jumps over the lazy dog\n" * 200
with zipfile.ZipFile(f"{out}/corrupt.zip", "w") as z:
    z.writestr(info("good.txt"), payload)
    z.writestr(info("bad_data.txt"), payload)
    z.writestr(info("bad_crc.txt"), payload)
    z.writestr(info("bomb.txt"), payload)
data = bytearray(open(f"{out}/corrupt.zip", "rb").read())


def local_header(name):
    at = data.find(b"PK\x03\x04" + data[4:4])  # first header
    while at >= 0:
        n, e = struct.unpack_from("<HH", data, at + 26)
        if data[at + 30:at + 30 + n] == name:
            return at, at + 30 + n + e
        at = data.find(b"PK\x03\x04", at + 4)
    raise KeyError(name)


def central_header(name):
    at = data.find(b"PK\x01\x02")
    while at >= 0:
        n = struct.unpack_from("<H", data, at + 28)[0]
        if data[at + 46:at + 46 + n] == name:
            return at
        at = data.find(b"PK\x01\x02", at + 4)
    raise KeyError(name)


_, body = local_header(b"bad_data.txt")
for i in range(4, 24):
    data[body + i] ^= 0x5A
for header in (local_header(b"bad_crc.txt")[0] + 14,
               central_header(b"bad_crc.txt") + 16):
    data[header] ^= 0xFF
small = len(payload) // 2
for header in (local_header(b"bomb.txt")[0] + 22,
               central_header(b"bomb.txt") + 24):
    struct.pack_into("<I", data, header, small)
open(f"{out}/corrupt.zip", "wb").write(bytes(data))

open(f"{out}/not_a_zip.zip", "wb").write(b"This is plain text, not a zip.\n")
