#!/usr/bin/env python3
"""Writes the seeds of fuzz_listener: pushes of the harness's meter list as a
wrapper stream, HDLC frames and UDP datagrams, genuine, forged, replayed and
general-ded-ciphered; and what a caller answers the head end while it is
identified (a refused AARE that announces a system title, an accepted one
with an InitiateResponse under the meter's keys, the logical device name
read through the public client), both as a connection that speaks first
(fuzz_listener) and as the answers the client engine parses
(fuzz_engine_response). Ciphering with the `cryptography` package (AES-GCM,
the tag cut to 12 bytes). Run from the repository root:
    fuzz/make-listener-corpus.py
"""
import hashlib
import os

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "fuzz", "corpus", "fuzz_listener")
OUT_ENGINE = os.path.join(ROOT, "fuzz", "corpus", "fuzz_engine_response")

TITLE = bytes.fromhex("5153494D00000001")
EK = bytes.fromhex("000102030405060708090A0B00000001")
AK = bytes.fromhex("D0D1D2D3D4D5D6D7D8D9DADB00000001")


def notification(ident, name, value):
    body = b"\x02\x02\x09" + bytes([len(name)]) + name + b"\x06" + value.to_bytes(4, "big")
    return b"\x0f" + ident.to_bytes(4, "big") + b"\x00" + body


def ciphered(sc, counter, apdu, tag=0xDB):
    head = bytes([sc]) + counter.to_bytes(4, "big")
    if sc & 0x30:
        iv = TITLE + counter.to_bytes(4, "big")
        aad = bytes([sc]) + AK
        out = AESGCM(EK).encrypt(iv, apdu if sc & 0x20 else b"", aad + (b"" if sc & 0x20 else apdu))
        content = head + (out[:-16] if sc & 0x20 else apdu) + out[-16:-4]
    else:
        content = head + apdu
    return bytes([tag, len(TITLE)]) + TITLE + bytes([len(content)]) + content


def wrapper(apdu):
    return b"\x00\x01\x00\x01\x00\x66" + len(apdu).to_bytes(2, "big") + apdu


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    crc ^= 0xFFFF
    return crc.to_bytes(2, "little")


def ui_frame(apdu):
    info = b"\xe6\xe7\x00" + apdu
    # Destination upper 1 lower 17 (two address bytes), source 1, UI with the final bit.
    head = b"\x02\x23\x03\x13"
    length = 2 + len(head) + 2 + len(info) + 2
    frame = (0xA000 | length).to_bytes(2, "big") + head
    frame += crc16(frame)
    frame += info
    frame += crc16(frame)
    return b"\x7e" + frame + b"\x7e"


good1 = ciphered(0x30, 1, notification(1, b"QSM0000000001", 1000))
good2 = ciphered(0x10, 2, notification(2, b"QSM0000000001", 1001))
forged = ciphered(0x00, 0xFFFFFFF0, notification(7, b"QSM0000000001", 999999999))
enc_only = ciphered(0x20, 3, notification(3, b"QSM0000000001", 1002))
ded = ciphered(0x30, 4, notification(4, b"QSM0000000001", 1003), tag=0xDC)
# Glo-ciphered data notification: no system title, the connection's meter's.
glo = b"\xCA" + ciphered(0x30, 5, notification(5, b"QSM0000000001", 5))[10:]
plain2 = notification(9, b"QSM0000000002", 2)
plain3 = notification(10, b"QSM0060000003", 3)
unknown = notification(11, b"QSM0000000099", 99)
anonymous = b"\x0f\x00\x00\x00\x0c\x00\x06\x00\x00\x00\x05"

stream = [good1, good2, good1, plain2, forged, enc_only, ded, glo, plain3, unknown, anonymous]
seeds = [
    b"\x00\x40" + b"".join(wrapper(a) for a in stream),
    b"\x00\x00" + wrapper(good1) + wrapper(anonymous),
    b"\x01\x10" + b"\x01\x02\x03" + b"".join(ui_frame(a) for a in [plain2, good1, anonymous, unknown]),
    b"\x02\x00" + b"".join(len(wrapper(a)).to_bytes(2, "big") + wrapper(a) for a in stream),
]


# ---- identification: what a caller answers the head end's probes


def ber(tag, content):
    return bytes([tag, len(content)]) + content


def aare(result, context, user_information, title=TITLE):
    # Application context name 2.16.756.5.8.1.<context>, the result, the
    # diagnostic (service user, null), the responding AP title.
    return ber(0x61, ber(0xA1, ber(0x06, b"\x60\x85\x74\x05\x08\x01" + bytes([context]))) +
               ber(0xA2, ber(0x02, bytes([result]))) + ber(0xA3, ber(0xA1, ber(0x02, b"\x00"))) +
               ber(0xA4, ber(0x04, title)) + ber(0xBE, ber(0x04, user_information)))


# Negotiated: version 6, conformance 001E1D, PDU size 1024, VAA name 0007.
INITIATE_RESPONSE = b"\x08\x00\x06\x5f\x1f\x04\x00\x00\x1e\x1d\x04\x00\x00\x07"


def glo_initiate_response(counter, key=EK):
    sc = 0x30
    iv = TITLE + counter.to_bytes(4, "big")
    out = AESGCM(key).encrypt(iv, INITIATE_RESPONSE, bytes([sc]) + AK)
    content = bytes([sc]) + counter.to_bytes(4, "big") + out[:-16] + out[-16:-4]
    return bytes([0x28, len(content)]) + content


refused = aare(1, 3, b"\x0e\x06\x00\x00\x01")  # rejected; a confirmed service error (initiate, other)
accepted_plain = aare(0, 1, INITIATE_RESPONSE)
accepted_ciphered = aare(0, 3, glo_initiate_response(7))
# The same under keys of our own making: what a stranger announcing the title sends.
stranger_ciphered = aare(0, 3, glo_initiate_response(7, key=bytes(16)))
device_name = b"\xc4\x01\xc1\x00\x09\x0d" + b"QSM0000000001"
serial = b"\xc4\x01\xc1\x00\x06\x03\x93\x87\x01"
release = b"\x63\x03\x80\x01\x00"

identification = [refused, accepted_plain, device_name, serial, release, accepted_ciphered, stranger_ciphered]
seeds += [
    b"\x00\x40" + b"".join(wrapper(a) for a in identification),
    b"\x01\x08" + b"".join(ui_frame(a) for a in identification),
]


def answers(settings, items):
    return bytes([settings]) + b"".join(len(a).to_bytes(2, "big") + a for a in items)


engine_seeds = [
    answers(0x08, [refused]),
    answers(0x08, [accepted_plain, device_name, release]),
    answers(0x08, [accepted_plain, serial, release]),
    answers(0x00, [accepted_ciphered, device_name]),
    answers(0x00, [stranger_ciphered]),
]

for out, written in ((OUT, seeds), (OUT_ENGINE, engine_seeds)):
    os.makedirs(out, exist_ok=True)
    for s in written:
        with open(os.path.join(out, hashlib.sha1(s).hexdigest()[:16]), "wb") as f:
            f.write(s)
    print(f"{len(written)} seeds in {out}")
