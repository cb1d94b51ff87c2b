#!/usr/bin/python3
"""Writes the seed corpus for wav_fuzz into the directory given: small WAV
files, valid and odd, each a few dozen bytes, so that the fuzzer starts from
every branch of the chunk walk and of the format checks."""
import os
import struct
import sys


def chunk(cid, body, pad=True):
    out = cid + struct.pack("<I", len(body)) + body
    return out + (b"\0" if pad and len(body) % 2 else b"")


def header(cid, size):
    return cid + struct.pack("<I", size)


def fmt(tag=1, channels=2, rate=44100, bits=16, extra=b""):
    align = channels * (bits // 8)
    return chunk(b"fmt ", struct.pack("<HHIIHH", tag, channels, rate, rate * align, align, bits) + extra)


def riff(body, form=None):
    return b"RIFF" + struct.pack("<I", 4 + len(body) if form is None else form) + b"WAVE" + body


def pcm(*values):
    return struct.pack("<%dh" % len(values), *values)


def floats(*values):
    return struct.pack("<%df" % len(values), *values)


GUID_TAIL = bytes.fromhex("000000001000800000aa00389b71")  # of every KSDATAFORMAT_SUBTYPE GUID


def extension(valid_bits, mask, subtype, size=22):
    return struct.pack("<HHIH", size, valid_bits, mask, subtype) + GUID_TAIL


EXTENSIBLE = extension(16, 3, 1)
SEEDS = {
    "pcm16_stereo": riff(fmt() + chunk(b"data", pcm(1, -2, 32767, -32768))),
    "pcm16_mono": riff(fmt(channels=1) + chunk(b"data", pcm(5, -5, 7))),
    "float_stereo": riff(fmt(3, 2, 44100, 32) + chunk(b"data", floats(0.5, -1.5, float("nan"), float("inf")))),
    "float_mono_fact_peak": riff(fmt(3, 1, 44100, 32, struct.pack("<H", 0)) + chunk(b"fact", struct.pack("<I", 2))
                                 + chunk(b"PEAK", struct.pack("<IIfI", 1, 0, 0.5, 0)) + chunk(b"data", floats(0.25, 0.5))),
    "list_before_fmt": riff(chunk(b"LIST", b"INFOISFT\x05\0\0\0sox!\0\0") + fmt() + chunk(b"data", pcm(3, 4))),
    "data_before_fmt": riff(chunk(b"data", pcm(1, 2)) + fmt()),
    "odd_junk_padded": riff(chunk(b"JUNK", b"abc") + fmt() + chunk(b"data", pcm(1, 2))),
    "odd_junk_unpadded": riff(chunk(b"JUNK", b"abc", pad=False) + fmt() + chunk(b"data", pcm(1, 2))),
    "odd_last_data": riff(fmt(channels=1) + chunk(b"data", pcm(1, 2) + b"z", pad=False)),
    "two_fmt": riff(fmt(3, 1, 48000, 32) + chunk(b"data", pcm(1, 2)) + fmt()),
    "short_second_fmt": riff(fmt() + chunk(b"data", pcm(1, 2)) + chunk(b"fmt ", b"\1\0\2\0" + b"\0" * 10)),
    "truncated_data": riff(fmt() + header(b"data", 100) + pcm(1, 2)),
    "data_2gib": riff(fmt() + header(b"data", 0x80000000) + pcm(1, 2)),
    "data_max": riff(fmt() + chunk(b"data", pcm(1, 2)) + header(b"data", 0xFFFFFFFF) + pcm(3, 4)),
    "empty_data": riff(fmt() + chunk(b"data", b"")),
    "rate_48k": riff(fmt(rate=48000) + chunk(b"data", pcm(1, 2))),
    "six_channels": riff(fmt(channels=6) + chunk(b"data", pcm(*range(12)))),
    "zero_channels": riff(fmt(channels=0) + chunk(b"data", pcm(1, 2))),
    "pcm24": riff(fmt(bits=24) + chunk(b"data", b"\1\2\3\4\5\6")),
    "pcm8_short": riff(fmt(bits=8) + chunk(b"data", b"\x80")),
    "bits4": riff(fmt(bits=4) + chunk(b"data", b"")),
    "float64": riff(fmt(3, 1, 44100, 64) + chunk(b"data", struct.pack("<d", 0.5))),
    "extensible": riff(fmt(0xFFFE, 2, 44100, 32, EXTENSIBLE) + chunk(b"data", floats(0.5, 0.25))),
    "extensible_pcm16": riff(fmt(0xFFFE, 2, 44100, 16, extension(16, 3, 1)) + chunk(b"data", pcm(1, 2))),
    "extensible_float_mono": riff(fmt(0xFFFE, 1, 44100, 32, extension(32, 4, 3)) + chunk(b"fact", struct.pack("<I", 1))
                                  + chunk(b"data", floats(0.5))),
    "extensible_short": riff(fmt(0xFFFE, 2, 44100, 16, extension(16, 3, 1)[:10]) + chunk(b"data", pcm(1, 2))),
    "rf64_extensible": b"RF64\xff\xff\xff\xffWAVE" + chunk(b"ds64", struct.pack("<QQQI", 0, 8, 1, 0))
                       + fmt(0xFFFE, 2, 44100, 32, extension(32, 3, 3)) + header(b"data", 0xFFFFFFFF) + floats(0.5, 0.25),
    "form_size_zero": riff(fmt() + chunk(b"data", pcm(1, 2)), form=0),
    "trailing_7_bytes": riff(fmt() + chunk(b"data", pcm(1, 2)) + b"LIST\1\0\0"),
    "rf64": b"RF64\xff\xff\xff\xffWAVE" + chunk(b"ds64", struct.pack("<QQQI", 0, 8, 2, 0)) + fmt()
            + header(b"data", 0xFFFFFFFF) + pcm(1, 2, 3, 4),
    "rf64_no_ds64": b"RF64\xff\xff\xff\xffWAVE" + fmt() + chunk(b"data", pcm(1, 2)),
    "rifx": b"RIFX" + riff(fmt() + chunk(b"data", pcm(1, 2)))[4:],
    "not_wave": b"RIFF\4\0\0\0AVI " + fmt(),
    "only_header": riff(b""),
    "eleven_bytes": b"RIFF\4\0\0\0WAV",
}


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out_dir, name + ".wav"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
