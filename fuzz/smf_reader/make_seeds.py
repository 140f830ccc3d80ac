#!/usr/bin/env python3
"""Writes the seed corpus: small valid Standard MIDI Files of every shape the reader knows
(seeds/valid/) and damaged ones (seeds/damaged/). The reader's tests load both folders: every
valid file must read completely, every damaged one must read as damaged or not MIDI."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def vlq(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def chunk(cid, data, length=None):
    return cid + struct.pack(">I", len(data) if length is None else length) + data


def header(fmt, ntrks, division, length=6):
    body = struct.pack(">HHH", fmt, ntrks, division)
    return b"MThd" + struct.pack(">I", length) + (body + bytes(max(0, length - 6)))[:length]


def meta(t, data):
    return bytes([0xFF, t]) + vlq(len(data)) + data


EOT = b"\x00" + meta(0x2F, b"")


def tempo(us):
    return meta(0x51, us.to_bytes(3, "big"))


notes = (b"\x00\x90\x3c\x64" + b"\x60\x3c\x00" + b"\x00\x40\x50" + b"\x60\xc0\x05" + b"\x00\xe0\x00\x40"
         + b"\x10\xb0\x07\x64" + b"\x00\x0a\x40" + b"\x00\xd0\x20")
conductor = b"\x00" + meta(0x03, b"Song") + b"\x00" + tempo(500000) + b"\x83\x00" + tempo(400000) + EOT
sysex_split = b"\x00\xf0\x03\x43\x12\x00" + b"\x81\x48\xf7\x06\x43\x12\x00\x43\x12\x00" + b"\x64\xf7\x04\x43\x12\x00\xf7"
escape = b"\x00\xf7\x02\xf3\x01"
brennick = b"\x00\xf0\x06\x3e\x0e\x00\x01\x02\xf7"

valid = {
    "running_status_across_meta.mid": header(0, 1, 96) + chunk(b"MTrk", b"\x00\x90\x3c\x40" + b"\x00" + meta(1, b"x") + b"\x00\x3c\x00"),
    "format0.mid": header(0, 1, 96) + chunk(b"MTrk", b"\x00" + tempo(600000) + notes + EOT),
    "format1.mid": header(1, 2, 480) + chunk(b"MTrk", conductor) + chunk(b"MTrk", notes + EOT),
    "format2.mid": header(2, 2, 96) + chunk(b"MTrk", notes + EOT) + chunk(b"MTrk", conductor),
    "tempo_in_later_track.mid": header(1, 2, 96) + chunk(b"MTrk", notes + EOT)
    + chunk(b"MTrk", b"\x00" + tempo(250000) + b"\x60" + tempo(1000000) + EOT),
    "sysex_packets.mid": header(0, 1, 96) + chunk(b"MTrk", brennick + sysex_split + escape + notes + EOT),
    "smpte25.mid": header(0, 1, 0xE728) + chunk(b"MTrk", notes + EOT),
    "smpte2997.mid": header(1, 1, 0xE350) + chunk(b"MTrk", b"\x00" + tempo(1) + notes + EOT),
    "unknown_chunk.mid": header(1, 1, 96) + chunk(b"XFIH", b"\x01\x02\x03") + chunk(b"MTrk", notes + EOT),
    "long_header.mid": header(1, 1, 96, length=10) + chunk(b"MTrk", notes + EOT),
    "big_delta.mid": header(0, 1, 96) + chunk(b"MTrk", b"\xff\xff\xff\x7f\x90\x3c\x40" * 20 + EOT),
    "running_status_flood.mid": header(0, 1, 96) + chunk(b"MTrk", b"\x00\x90\x3c\x40" + b"\x00\x3c\x40" * 4000),
    "empty_sysex_packets.mid": header(0, 1, 96) + chunk(b"MTrk", b"\x00\xf0\x00" * 3 + b"\x00\xf7\x00" + b"\x00\xf0\x00\x00\xf7\x00\x00\xf7\x01\xf7" + EOT),
    "sysex_in_three_tracks.mid": header(1, 3, 96)
    + chunk(b"MTrk", b"\x00\xf0\x02\x01\xf7" + b"\x0a\xf0\x02\x02\xf7" + notes + EOT)
    + chunk(b"MTrk", b"\x05\xf0\x02\x03\xf7" + b"\x0a\xf0\x02\x04\xf7" + EOT)
    + chunk(b"MTrk", b"\x07\x90\x3c\x40" + b"\x00\xf0\x02\x05\xf7" + b"\x01\xf0\x02\x06\xf7" + EOT),
    "sysex_far_apart.mid": header(0, 1, 96)
    + chunk(b"MTrk", (b"\x00\xf0\x02\x01\xf7" + b"\x00\x90\x3c\x40" + b"\x01\x3c\x00" * 300) * 2),  # no end-of-track
    "many_tracks.mid": header(1, 300, 96) + chunk(b"MTrk", b"\x00\x90\x3c\x40" + EOT) * 300,
    # Stray system status bytes of known length where events belong: passed over, the track plays on.
    "stray_system_bytes.mid": header(0, 1, 96) + chunk(b"MTrk", b"\x00\x90\x3c\x40" + b"\x01\xf8" + b"\x01\x3c\x00"
                                                      + b"\x00\xf1\x01\x00\xf2\x01\x02\x00\xf3\x03\x00\xf6\x00\xfa\x00\xfb"
                                                      + b"\x00\xfc\x00\xfe" + b"\x00\xf0\x01\x01\x00\xf8\x00\xf7\x01\xf7" + EOT),
    "stray_real_time_flood.mid": header(0, 1, 96) + chunk(b"MTrk", b"\x00\xf0\x02\x01\xf7" + b"\x00\xf8" * 4000
                                                         + b"\x00\x90\x3c\x40" + b"\x00\xfe" * 4000 + b"\x00\xf0\x02\x02\xf7"),
    "dump.syx": b"\xf0\x3e\x13\x00\x01\x02\xf7" + b"\xf0\x3e\x13\x01" + bytes(range(0x20, 0x60)) + b"\xf7" + b"\xf0\xf7",
}

damaged = {
    "short_header.mid": header(1, 1, 96, length=4) + chunk(b"MTrk", notes + EOT),
    "huge_chunk_length.mid": header(1, 1, 96) + chunk(b"MTrk", notes + EOT, length=0xFFFFFFFF),
    "missing_track.mid": header(1, 3, 96) + chunk(b"MTrk", notes + EOT),
    "endless_vlq.mid": header(0, 1, 96) + chunk(b"MTrk", b"\x00\x90\x3c\x40\xff\xff\xff\xff\xff\x00"),
    "no_running_status.mid": header(0, 1, 96) + chunk(b"MTrk", b"\x00\x3c\x40" + EOT),
    "data_high_bit.mid": header(0, 1, 96) + chunk(b"MTrk", b"\x00\x90\x3c\xc0\x00" + EOT),
    "truncated_sysex.mid": header(0, 1, 96) + chunk(b"MTrk", b"\x00\xf0\x7f\x43\x10"),
    "zero_division.mid": header(0, 1, 0) + chunk(b"MTrk", notes + EOT),
    "header_only.mid": b"MThd\x00\x00",
    "not_midi.mid": b"RIFF\x00\x00\x00\x04RMID",
    "uncounted_tracks.mid": b"MThd\x00\x00\x00\x02\x00\x01" + chunk(b"MTrk", b"\x00\x90\x3c\x40" + EOT) * 300,
    "empty_sysex_flood.mid": header(0, 1, 96) + chunk(b"MTrk", b"\x00\xf0\x00" * 4000 + b"\x00\xf0"),
    "stray_undefined_status.mid": header(0, 1, 96) + chunk(b"MTrk", b"\x00\x90\x3c\x40\x00\xf8\x00\xf4\x00\x3c\x00" + EOT),
    "stray_data_cut.mid": header(0, 1, 96) + chunk(b"MTrk", b"\x00\x90\x3c\x40\x00\xf2\x01"),
    "stray_common_cancels_running_status.mid": header(0, 1, 96) + chunk(b"MTrk", b"\x00\x90\x3c\x40\x00\xf6\x00\x3c\x00" + EOT),
    "dump_garbage_between.syx": b"\xf0\x3e\x13\x00\xf7" + b"garbage" + b"\xf0\x3e\x13\x01\xf7",
    "dump_missing_f7.syx": b"\xf0\x3e\x13\x00\xf7" + b"\xf0\x3e\x13\x01\x02",
    "dump_status_inside.syx": b"\xf0\x3e\x13\x90\x3c\x40\xf7",
}

for folder, files in (("valid", valid), ("damaged", damaged)):
    os.makedirs(os.path.join(HERE, "seeds", folder), exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(HERE, "seeds", folder, name), "wb") as f:
            f.write(data)
