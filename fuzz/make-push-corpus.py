#!/usr/bin/env python3
"""Writes seeds from the captures of real meters (tests/data/captures):
the APDUs they carry for fuzz_apdu_bytes, their byte streams for
fuzz_listener, and their general-block-transfer blocks for fuzz_push_blocks.
Run from the repository root:
    fuzz/make-push-corpus.py
"""
import hashlib
import json
import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CAPTURES = os.path.join(ROOT, "tests", "data", "captures", "real-meters.jsonl")


def write(harness, data):
    folder = os.path.join(ROOT, "fuzz", "corpus", harness)
    os.makedirs(folder, exist_ok=True)
    name = hashlib.sha1(data).hexdigest()[:16]
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def hdlc_infos(stream):
    """The information fields of the frames, split by their length fields."""
    infos, at = [], 0
    while at + 3 <= len(stream) and stream[at] == 0x7E:
        length = (stream[at + 1] & 7) * 256 + stream[at + 2]
        frame = stream[at + 1:at + 1 + length]
        # format (2), destination and source addresses (ends with bit 0 set), control, HCS
        i = 2
        for _ in range(2):
            while not frame[i] & 1:
                i += 1
            i += 1
        i += 1 + 2
        infos.append(frame[i:-2])
        at += length + 2
    return infos


for line in open(CAPTURES):
    c = json.loads(line)
    raw = bytes.fromhex(c["hex"])
    if c["transport"] == "hdlc":
        write("fuzz_listener", bytes([1, 64]) + raw)
        if c.get("fcs_ok") is False:
            continue
        apdu = b"".join(hdlc_infos(raw))
        if apdu[:3] == b"\xe6\xe7\x00":
            apdu = apdu[3:]
        if apdu[:1] == b"\xe0":
            blocks, joined = [], b""
            for info in hdlc_infos(raw):
                block = info[3:] if info[:3] == b"\xe6\xe7\x00" else info
                blocks.append(block)
            write("fuzz_push_blocks", b"\x00" + b"".join(bytes([len(b)]) + b for b in blocks if len(b) < 256))
            continue
        write("fuzz_apdu_bytes", apdu)
    elif c["transport"] == "wrapper":
        write("fuzz_listener", bytes([0, 16]) + raw)
    elif c["transport"] == "raw-apdu":
        write("fuzz_apdu_bytes", raw)
    plain = c.get("expect", {}).get("plaintext_apdu")
    if plain:
        write("fuzz_apdu_bytes", bytes.fromhex(plain))
