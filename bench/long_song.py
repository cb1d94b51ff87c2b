#!/usr/bin/python3
"""Long songs for duostem, made and checked a block at a time (never whole in memory).

  long_song.py make SECONDS PATH        a stereo float song, format tag 3 (RF64 when it passes 4 GiB)
  long_song.py cut SONG FIRST COUNT PATH  frames [FIRST, FIRST + COUNT) of SONG as a plain RIFF file
  long_song.py check STEM FRAMES REF_HEAD REF_TAIL TAIL_FROM
      reads STEM back with Python's soundfile and, decoded, through ffmpeg: the frame
      count must be FRAMES, its first second must equal REF_HEAD's first second and
      its last second the last second of REF_TAIL (whose first frame is frame
      TAIL_FROM of the song), bit for bit.
"""
import struct
import subprocess
import sys

import numpy as np
import soundfile as sf

RATE = 44100
BLOCK = 1 << 20


def song_block(first, count):
    """Seven detuned tones, a slow tremolo and a little noise, the same wherever a block starts."""
    t = (np.arange(first, first + count, dtype=np.float64)) / RATE
    left = np.zeros(count)
    right = np.zeros(count)
    for j, f in enumerate([110.0, 164.8, 220.5, 329.6, 440.3, 659.2, 880.7]):
        left += 0.08 / (j + 1) * np.sin(2 * np.pi * f * t + j)
        right += 0.08 / (j + 1) * np.sin(2 * np.pi * f * 1.003 * t + 0.5 * j)
    tremolo = 0.75 + 0.25 * np.sin(2 * np.pi * 0.13 * t)
    noise = np.random.default_rng(first).standard_normal((count, 2)) * 0.01
    return np.stack([left * tremolo, right * tremolo], axis=1).astype(np.float32) + noise.astype(np.float32)


def header(frames):
    """The 44-byte RIFF header of a stereo float file, or RF64 with a ds64 chunk past 4 GiB (format tag 3 either way)."""
    data = 8 * frames
    fmt = b"fmt " + struct.pack("<IHHIIHH", 16, 3, 2, RATE, 8 * RATE, 8, 32)
    if 36 + data <= 0xFFFFFFFF:
        return b"RIFF" + struct.pack("<I", 36 + data) + b"WAVE" + fmt + b"data" + struct.pack("<I", data)
    ds64 = b"ds64" + struct.pack("<IQQQI", 28, 72 + data, data, frames, 0)
    return b"RF64" + struct.pack("<I", 0xFFFFFFFF) + b"WAVE" + ds64 + fmt + b"data" + struct.pack("<I", 0xFFFFFFFF)


def make(seconds, path):
    frames = int(round(float(seconds) * RATE))
    with open(path, "wb") as out:
        out.write(header(frames))
        for first in range(0, frames, BLOCK):
            out.write(song_block(first, min(BLOCK, frames - first)).astype("<f4").tobytes())
    print(f"{path}: {frames} frames, {'RF64' if 8 * frames + 36 > 0xFFFFFFFF else 'RIFF'}")


def cut(song, first, count, path):
    first, count = int(first), int(count)
    with sf.SoundFile(song) as src, sf.SoundFile(path, "w", RATE, 2, "FLOAT", format="WAV") as out:
        src.seek(first)
        while count > 0:
            block = src.read(min(BLOCK, count), dtype="float32")
            out.write(block)
            count -= len(block)


def ffmpeg_ends(path):
    """Decodes the whole file through ffmpeg; its frame count and its first and last second."""
    proc = subprocess.Popen(["ffmpeg", "-v", "error", "-i", path, "-f", "f32le", "-"], stdout=subprocess.PIPE)
    head = b""
    tail = b""
    total = 0
    while True:
        data = proc.stdout.read(8 * BLOCK)
        if not data:
            break
        total += len(data)
        if len(head) < 8 * RATE:
            head += data[: 8 * RATE - len(head)]
        tail = (tail + data)[-8 * RATE:]
    if proc.wait() != 0:
        sys.exit(f"ffmpeg failed on {path}")
    as_frames = lambda b: np.frombuffer(b, dtype="<f4").reshape(-1, 2)
    return total // 8, as_frames(head), as_frames(tail)


def check(stem, frames, ref_head, ref_tail, tail_from):
    frames, tail_from = int(frames), int(tail_from)
    ok = True
    head_ref = sf.read(ref_head, frames=RATE, dtype="float32")[0]
    with sf.SoundFile(ref_tail) as tail_file:
        tail_frames = tail_file.frames
        tail_file.seek(tail_frames - RATE)
        tail_ref = tail_file.read(RATE, dtype="float32")
    if tail_from + tail_frames != frames:
        sys.exit(f"{ref_tail} does not end where the song ends")

    info = sf.info(stem)
    with sf.SoundFile(stem) as f:
        head = f.read(RATE, dtype="float32")
        f.seek(frames - RATE)
        tail = f.read(RATE, dtype="float32")
    results = [("soundfile", info.frames, head, tail), ("ffmpeg", *ffmpeg_ends(stem))]
    for reader, count, head, tail in results:
        same_head = np.array_equal(head.view(np.uint32), head_ref.view(np.uint32))
        same_tail = np.array_equal(tail.view(np.uint32), tail_ref.view(np.uint32))
        worst = max(float(np.max(np.abs(head - head_ref))), float(np.max(np.abs(tail - tail_ref))))
        good = count == frames and same_head and same_tail
        ok = ok and good
        print(f"{stem} by {reader}: {count} frames (expected {frames}); first second "
              f"{'identical' if same_head else 'differs'}, last second {'identical' if same_tail else 'differs'}"
              f" (largest difference {worst:g})")
    return ok


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    if command == "make":
        make(*args)
    elif command == "cut":
        cut(*args)
    elif command == "check":
        sys.exit(0 if check(*args) else 1)
    else:
        sys.exit(__doc__)
