#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses (tests/fuzz/corpus/<name>/).

Run from anywhere; needs the 7z and openssl commands (p7zip-full, openssl).
The seeds are small, valid inputs of each format; libFuzzer mutates from them.
Keys are the repository's demo keys, which the fuzz build uses.
"""
import binascii
import os
import pathlib
import random
import struct
import subprocess
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "corpus"
KEYS = {}
for line in (HERE.parent.parent / "resources" / "demo-keys.txt").read_text().splitlines():
    if "=" in line and not line.startswith("#"):
        k, v = line.split("=", 1)
        KEYS[k.strip()] = v.strip()


def put(name, file, data):
    d = CORPUS / name
    d.mkdir(parents=True, exist_ok=True)
    (d / file).write_bytes(data if isinstance(data, bytes) else data.encode("latin-1"))


def crc16(crc, data):
    return binascii.crc_hqx(data, crc)


def version_crc(map_, blocks, pad=True):
    crc = crc16(0xFFFF, map_)
    double = len(map_) >= 2 and map_[0] == 0x07 and map_[1] == 0xE3
    for k in range(2, len(map_)):
        for b in range(8):
            if map_[k] >> b & 1:
                ns = [2 * (8 * k + b), 2 * (8 * k + b) + 1] if double else [8 * k + b]
                for n in ns:
                    crc = crc16(crc, blocks[n].ljust(256, b"\xff") if pad else blocks[n]) if n in blocks \
                        else crc16(crc, b"\xff" * 256)
    return crc


def aes(key, iv, plain):
    return subprocess.run(["openssl", "enc", "-aes-128-cbc", "-K", key, "-iv", iv.hex(), "-nopad"],
                          input=plain, capture_output=True, check=True).stdout


def efw_records(map_, blocks, cls=21, hw=1, rev=1, typ=0, ver=320, hwid=0):
    def page_records(n, page):
        out = b""
        for start in (0, 128):
            out += struct.pack(">I", (n << 8) + start)[1:] + bytes([128]) + page[start:start + 128]
        return out
    ident = bytes([cls, hw, rev]) + struct.pack(">HH", typ, ver) + b"\xff" * 17
    ident = ident.ljust(256, b"\xff")
    crc = version_crc(map_, blocks)
    mapblock = (map_ + struct.pack(">HH", crc, hwid)).ljust(256, b"\xff")
    recs = page_records(0xFFFF, ident) + page_records(0xFFFE, mapblock)
    for n, data in sorted(blocks.items()):
        recs += page_records(n, data.ljust(256, b"\xff"))
    return recs + b"\x00" * (-len(recs) % 16)


def efw_container(title, map_, blocks, **kw):
    iv = bytes(range(16))
    return (b"QVD_FW_v01" + bytes([len(map_) // 16, 0]) + title + b"\0" + iv +
            aes(KEYS["efw"], iv, efw_records(map_, blocks, **kw)))


def ini_text():
    data = {2: bytes(range(256)), 3: b"\x5a" * 100}
    map_ = bytes([0xFC] + [0] * 31)
    return ("[CX21 firmware 3.00]\nTitle=CX21 firmware 3.00\nAddressWidth=8\nClass=21\nHardware=1\n"
            "HardwareRev=1,2\nVersion=300\nCRC=%04X\nBlocks=%s\n2=%s\n3=%s\n"
            % (version_crc(map_, data, pad=False), map_.hex().upper(), data[2].hex().upper(), data[3].hex().upper()))


def seven_zip(files):
    with tempfile.TemporaryDirectory() as d:
        for name, data in files.items():
            p = pathlib.Path(d, name)
            p.parent.mkdir(parents=True, exist_ok=True)
            p.write_bytes(data)
        out = pathlib.Path(d, "out.7z")
        subprocess.run(["7z", "a", "-bd", "-mtm=off", "-mtc=off", "-mta=off", str(out)] + list(files),
                       cwd=d, capture_output=True, check=True)
        return out.read_bytes()


def main():
    # Link: unit frames in the three modes; the tail bytes steer mode and chunking.
    def core2(cmd, p):
        return bytes([0x5B, cmd, len(p)]) + p + bytes([sum(p) & 0xFF, 0x5D])

    def stx(cmd, p, b=False):
        s = (sum(p) + (cmd + len(p) if b else 0)) & 0xFF
        out = b"\x02\x04"
        for x in bytes([cmd, len(p)]) + p + bytes([s]):
            out += bytes([0x10, x + 1]) if x in (2, 0x11, 0x13) else (b"\x10\x10" if x == 0x10 else bytes([x]))
        return out
    unit = bytes.fromhex("003039150202310545010064")
    ext = bytes.fromhex("0030391502023105450100640102030405060708")
    version = bytes.fromhex("0102030405060708090A0B0C0D0E0F10")
    put("link", "core2", core2(1, unit) + core2(0x0A, version) + core2(2, b"\x01") + b"noise" + b"\x00\x00\x01")
    put("link", "stx", stx(1, unit) + stx(0x0B, ext) + stx(0x1B, b"\x00\x00\x10\x00\x02\x11") + b"\x01\x00\x01")
    put("link", "stxb", stx(0x0B, ext, True) + stx(0x05, bytes(27), True) + b"\x01\x01\x00\x02")
    put("link", "pull", core2(1, unit) + b"{\x02}{\x01}{\x03}{\x00}" + b"\x01\x01\x00\x00")
    put("link", "detect", b"_CONFIGB\r" + stx(0x0B, ext, True) + b"\x01\x00\x01\x00\x01\x00")

    # Unit frames for the frame reader alone. The last ten bytes steer it, from the end:
    # mode, auto-detect, connected, core escape, show raw, bytes a block feed takes, cut seed.
    def steer(mode, detect=0, connected=0, core_escape=0, show_raw=0, taken=0, seed=b"\x12\x34\x56\x78"):
        return seed + bytes([taken, show_raw, core_escape, connected, detect, mode])
    put("unitframes", "stxb", stx(0x0B, ext, True) + stx(0x23, b"\x07", True) + steer(2))
    put("unitframes", "stx-escapes", stx(0x27, b"\x02\x10\x11\x13") + b"\x02\x04\x27\x05\xaa\x10" +
        stx(0x23, b"\x01") + steer(1, show_raw=1))
    put("unitframes", "core2", core2(0x27, b"\x5c\x41\x5b\x5d") + b"a\\\\b" + core2(1, unit) +
        steer(0, core_escape=1))
    put("unitframes", "detect", b"_CONFIGB\r" + stx(0x0B, ext) + steer(0, detect=1))
    put("unitframes", "held", b"{" * 40 + stx(0x0B, ext, True) + steer(2, taken=0xAA))

    # Block feed: first byte picks the version.
    put("softupdate", "narrow", b"\x00{\x05}{\x01}{\x02}x}{\x00}")
    put("softupdate", "wide", b"\x81{\x00\x08}{\xff\xfd}{\x01\xff}{\xff\xff}")
    put("softupdate", "double", b"\x02{\x00\x10}{\xff\xfd}{\x7b\x7d}")

    put("ini", "version", ini_text())
    put("ini", "two", "[a]\nBlocks=0C\n2=01\n3=\n[b]\nAddressWidth=16\nCRC=zz\nBlocks=07E3\n; c\n")

    wide_map = bytes([0xFF, 0xFF, 0x03] + [0] * 61)
    blocks = {16: bytes(range(256)), 17: b"\x11" * 200}
    put("efw", "plain", b"\x00" + efw_records(wide_map, blocks))
    put("efw", "plain-double", b"\x02" + efw_records(bytes([7, 0xE3, 1] + [0] * 125), {32: b"\x01", 33: b"\x02"},
                                                     hwid=0x1234))
    efw = efw_container(b"CX21 firmware 3.20", wide_map, blocks)
    put("efw", "container", b"\x01" + efw)

    arch = seven_zip({"cx21.ini": ini_text().encode(), "cx21-320.efw": efw, "image.bin": b"\x00" * 64})
    put("archive", "packages", arch)
    put("archive", "nested", seven_zip({"inner/a.7z.ini": ini_text().encode()}))
    put("cfw", "archive", b"\x00" + arch)
    iv = bytes(range(16, 32))
    pad = 16 - len(arch) % 16
    put("cfw", "container", b"\x01" + b"QVD_CFW_v01" + iv + aes(KEYS["cfw"], iv, arch + bytes([pad]) * pad))

    # Loader: patches of (offset high, offset low, byte) over the real headers.
    put("loader", "garbage", b"\x00\x7fELF\x02\x01\x01" + b"\x00" * 60)
    put("loader", "phoff", b"\x01\x00\x20\xff\x00\x21\xff")
    put("loader", "dynamic", b"\x01\x01\x00\x00\x01\x38\x7f")
    put("loader", "cut", b"\x01\x00\x10\x03\x00")

    rng = random.Random(10)
    hdr = bytearray(448)
    hdr[16:16 + 23] = b"AXN_5.0_3333_22051800,5"
    hdr[144:150] = b"MTKGPS"
    hdr[328:331] = b"AXN"
    body = bytes(rng.randrange(256) for _ in range(2048)) + b"GPS " * 600
    img = bytes(hdr) + body
    img = img[:244] + struct.pack("<I", len(img)) + img[248:]
    put("mediatek", "image", img)
    put("mediatek", "whole", (img * 2)[:4096])
    put("mediatek", "short", img[:447])

    put("moduleframes", "identify", b"\x01")
    put("moduleframes", "escaped", b"\xfa\x52\x10\x3c\x3e\x00")
    put("moduleframes", "answer", b"\xff\x01\x02\x03\x06")

    # Session: module frames as the module sends them; the tail steers the session.
    def module_frame(content):
        body = content + bytes([sum(content[1:] if content[0] == 0xFF else content) & 0xFF])
        out = b"\x3c"
        for x in body:
            out += {0x10: b"\x10\x10", 0x3C: b"\x10\x01", 0x3E: b"\x10\x02"}.get(x, bytes([x]))
        return out + b"\x3e"
    ident_new = module_frame(b"\xff\x00\x01\x02\x03\x02\x05EGPS")
    ident_old = module_frame(b"\xff\x00\x01\x02\x03\x01\x32EGPS")
    version = module_frame(b"\xff" + b"AXN_5.0_3333_22051800,5003,MC-3333,1.2")
    status = module_frame(b"\x00\x2cR\x01") + module_frame(b"\x00\x2cS\x01") + module_frame(b"\x00\x2cT\x02")
    put("session", "identify", ident_new + version + status + b"\x00\x00\x06\x00\x01\x01")
    put("session", "controller", ident_old + b"{\x00\x05}...." + b"\x00\x04\x00\x01\x00")
    put("session", "eva", ident_new + module_frame(b"\xff" + b"EVA_2.0_M10_24031500,2000,EVA-M10,1.0+F") +
        b"\x00\x06\x00\x01\x01")

    put("util", "hex", " 0A 1B 2C ff")


if __name__ == "__main__":
    main()
