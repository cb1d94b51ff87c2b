#!/usr/bin/python3
"""check_stems.py SONG VOCALS INSTRUMENTAL: the stems are stereo float WAV files
with the canonical 44-byte header and as many frames as the song, and the
instrumental is the song minus the vocals, sample for sample in float32.
SONG must be 16-bit PCM or float, mono or stereo, with a plain 44-byte header."""
import struct
import sys

import numpy as np


def check(ok, what):
    """Ends the run with a message and status 1 when ok is false, under python -O as well."""
    if not ok:
        sys.exit(f"check_stems.py: {what}")


def read(path):
    data = open(path, "rb").read()
    tag, channels, rate = struct.unpack_from("<HHI", data, 20)
    bits, = struct.unpack_from("<H", data, 34)
    check(data[36:40] == b"data", f"{path}: no canonical 44-byte header")
    body = data[44:44 + struct.unpack_from("<I", data, 40)[0]]
    samples = np.frombuffer(body, "<i2").astype(np.float32) / np.float32(32768) if tag == 1 \
        else np.frombuffer(body, "<f4")
    return (tag, channels, rate, bits), samples.reshape(-1, channels)


def main():
    song, vocals, instrumental = sys.argv[1:4]
    _, mix = read(song)
    if mix.shape[1] == 1:
        mix = np.repeat(mix, 2, axis=1)
    (vfmt, v), (ifmt, i) = read(vocals), read(instrumental)
    for name, fmt, stem in (("vocals", vfmt, v), ("instrumental", ifmt, i)):
        check(fmt == (3, 2, 44100, 32), f"{name}: format {fmt}")
        check(stem.shape == mix.shape, f"{name}: {stem.shape[0]} frames, the song has {mix.shape[0]}")
    check(np.array_equal((mix - v).view(np.uint32), i.view(np.uint32)), "instrumental != song - vocals")
    check(np.any(v != 0), "silent vocals")
    print(f"stems ok: {mix.shape[0]} frames")


main()
