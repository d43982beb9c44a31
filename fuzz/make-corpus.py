#!/usr/bin/env python3
"""Writes the seed corpora of the harnesses from the unit tests' vectors.

Byte seeds are the hex literals of the tests; XML seeds are those bytes
turned into XML by the seed-to-xml tool of the fuzz build (argument 1), so
that every XML seed is a document the reader accepts. Lexer seeds are small
hand-written texts. Run from the repository root after building build-fuzz:
    fuzz/make-corpus.py build-fuzz/fuzz/fuzz_seed_to_xml
"""
import hashlib
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "fuzz", "corpus")


def hex_vectors(test_file):
    text = open(os.path.join(ROOT, test_file)).read()
    out = []
    # A vector may be split over adjacent literals; join them first.
    for m in re.finditer(r'"((?:[0-9A-Fa-f ]+)"(?:\s*"[0-9A-Fa-f ]+")*)', text):
        lits = re.findall(r'"?([0-9A-Fa-f ]+)"?', m.group(0))
        h = "".join(lits).replace(" ", "")
        if len(h) >= 2 and len(h) % 2 == 0:
            out.append(bytes.fromhex(h))
    return out


def write(harness, blobs):
    d = os.path.join(CORPUS, harness)
    os.makedirs(d, exist_ok=True)
    for b in blobs:
        name = hashlib.sha1(b).hexdigest()[:16]
        with open(os.path.join(d, name), "wb") as f:
            f.write(b)


def obis_stream(media):
    """A small description database after the stream layout: `media` media
    (A = 1 ...) holding one item with two lines, a table and a variable."""
    import struct
    def i32(v):
        return struct.pack("<i", v)
    def string(a):
        return i32(len(a)) + "".join(c + "\0" for c in a).encode("latin-1")
    def value(kind, b, lo, hi):
        return bytes([kind, b, lo, hi]) + bytes(32)
    s = string("Energy\r\ntariff\r\n") + b"\0"
    for m in range(1, 10):
        if m > media:
            s += b"\0"
            continue
        s += b"\1" + i32(1) + i32(42) + b"\1\0"
        s += value(1, m, 0, 0) + value(1, 0, 0, 0) + value(1, 1, 0, 0) + value(1, 8, 0, 0) + value(2, 0, 0, 63)
        s += value(1, 255, 0, 0) + string("Energy\r\n$2\r\n") + b"\1" + value(1, 3, 0, 0) + b"\0\0"
        tables = bytearray(32)
        tables[ord("2") // 8] = 1 << (ord("2") % 8)
        s += bytes(tables) + b"E\0" + i32(2) + string("total") + string("tariff $E")
        s += i32(1) + string("RATE") + value(2, 0, 0, 63)
    return s


def framed(settings, *messages):
    """A settings byte, then each message as a two-byte length and its bytes."""
    out = bytes([settings])
    for m in messages:
        b = bytes.fromhex(m.replace(" ", ""))
        out += len(b).to_bytes(2, "big") + b
    return out


# Accepting AAREs without authentication: logical names, then short names.
AARE_LN = "6129A109060760857405080101A203020100A305A103020100BE10040E0800065F1F0400001E1D04C80007"
AARE_SN = "6129A109060760857405080102A203020100A305A103020100BE10040E0800065F1F0400001C030400FA00"
AARQ_LN = "601DA109060760857405080101BE10040E01000000065F1F0400007E1FFFFF"


def mbus_seeds():
    """Pushed frames for fuzz_mbus_frame: piece size, reader, then the stream
    (a meter's M-Bus frames from the tests, alone, after junk, or after an
    HDLC frame for the reader that decides); and APDUs for the encoder."""
    frames = [b for b in hex_vectors("tests/RealCaptures.h") if b[:1] == b"\x68"]
    hdlc = bytes.fromhex("7EA0140321130000E6E7000F0000000700112A00007E")
    seeds = []
    for piece, reader in ((0, 0), (15, 1), (255, 0)):
        seeds.append(bytes([piece, reader]) + b"".join(frames))
        seeds.append(bytes([piece, reader]) + b"\x01\xe5\x10\x5b\xfe\x59\x16" + b"".join(frames))
    seeds.append(bytes([3, 1]) + hdlc + b"".join(frames))
    apdu = bytes.fromhex("0F0000000700112A")
    seeds.append(bytes([7, 2]) + bytes([9, len(apdu)]) + apdu + bytes([249, 200]) + bytes(range(200)))
    return seeds


def main():
    tool = sys.argv[1] if len(sys.argv) > 1 else None
    apdus = hex_vectors("tests/xmlpdu/CatalogueTest.cpp")
    data = hex_vectors("tests/xmlpdu/DataAndLeavesTest.cpp")
    write("fuzz_apdu_bytes", apdus)
    write("fuzz_data_bytes", data)
    write("fuzz_acse_bytes", [b for b in hex_vectors("tests/xmlpdu/AcseApduTest.cpp") if b[:1] in (b"\x60", b"\x61", b"\x62", b"\x63")])
    frames = [b for b in hex_vectors("tests/comm/HDLCFrameTest.cpp") + hex_vectors("tests/comm/HDLCLayerTest.cpp")
              if b[:1] == b"\x7e" or b[:1] == b"\x7E"]
    # The first byte is the harness's mode: 0 keeps the checksums, 1 repairs them.
    write("fuzz_hdlc_frame", [b"\x00" + f for f in frames] + [b"\x01" + f for f in frames])
    write("fuzz_wrapper", hex_vectors("tests/comm/WrapperTest.cpp"))
    write("fuzz_mbus_frame", mbus_seeds())
    write("fuzz_v44", hex_vectors("tests/security/V44Test.cpp") + [b"ABABABABABABABAB", b"The quick brown fox"])
    write("fuzz_protection_remove", hex_vectors("tests/security/ProtectionLayersTest.cpp"))
    for harness, kind, blobs in (("fuzz_apdu_xml", "apdu", apdus), ("fuzz_data_xml", "data", data)):
        if not tool:
            break
        xml = []
        for b in blobs:
            r = subprocess.run([tool, kind], input=b, capture_output=True)
            if r.returncode == 0 and r.stdout:
                xml.append(r.stdout)
        write(harness, xml)
    write("fuzz_obis_stream", [obis_stream(1), obis_stream(3)])
    # Meter answers for the engine: settings byte as the harness reads it.
    write("fuzz_engine_response", [
        framed(0, AARE_LN, "C401C100 0904 51000427"),
        framed(2, AARE_LN, "C403C102 000902 0105 0104"),
        framed(4, AARE_LN, "C501C100"),
        framed(6, AARE_LN, "C701C1000100 0F05"),
        framed(8, AARE_LN, "C401C100 0904 51000427", "6300"),
        framed(0, AARE_LN, "C402C100 00000001 00 04 03090251", "C402C101 00000002 00 03 000427"),
        framed(1, AARE_SN, "0C01 00 0904 51000427"),
        framed(5, AARE_SN, "0D01 00"),
    ])
    # Client requests for the simulator.
    write("fuzz_sim_request", [
        framed(4, "C001C100 0001 0000600100FF 02 00"),
        framed(0, AARQ_LN, "C001C100 0001 0000600100FF 02 00", "6200"),
        framed(5, "0501 02 2BC8"),
        framed(4, "C101C100 0001 0000600100FF 02 00 0904 01020304", "C301C100 0008 0000010000FF 01 01 0F00"),
        framed(4, "C003C102 0001 0000600100FF 0200 0003 0100010800FF 0200"),
        framed(4, "C001C100 0007 0100630100FF 02 00"),
    ])
    # Model texts: the simulator's own model, and a few lines of each kind.
    write("fuzz_sim_model", [
        open(os.path.join(ROOT, "data", "sim", "meter.txt"), "rb").read(),
        b'object 1 0 0.0.96.1.0.255 sn=2C00 "Serial number"\nattr 2 <OctetString Value="51000427" />\n',
        b'client 16 LN 1\nclient 49 SN 2 secret=\\12345678\nsecurity suite=0 title=5153494D00000001\n',
    ])
    write("fuzz_lexer", [
        b"a := b + 12;\r\nx[0x1F..3] <> 'it''s' // note\n",
        b"{ @alias #1 % 7 | y & z ... ^p, q: r >= s <= t = u * v / w -= 2 += 3 }",
        b"\"unterminated\n12345678901234567890 0x 0xZZ ~tilde",
    ])


if __name__ == "__main__":
    main()
