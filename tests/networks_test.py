#!/usr/bin/python3
"""networks_test.py DUOSTEM TEST_MODELS: networks of other sizes, FFT sizes and
stems, alone and averaged, against a float64 model of the whole pipeline.

The test networks multiply the spectrogram by 1 / (1 + k mod 3) along the bins
and 1 / (1 + t mod 2) along the frames, so a bin or frame put in the wrong place
shows. Each case prints its largest difference from the float64 result."""
import os
import subprocess
import sys
import tempfile

import numpy as np
import soundfile

HOP = 1024
TOLERANCE = 4e-7  # about a dozen float32 steps at the song's peak of 0.45; seen: 1e-7


def hann(n, periodic):
    return 0.5 - 0.5 * np.cos(2 * np.pi * np.arange(n) / (n if periodic else n - 1))


def network_output(song, bins, frames, fft_size, stem, overlap):
    """The resynthesised output of the masking network over the whole song, in
    float64; an instrumental network's estimate keeps the mix above its bins."""
    chunk, edge = HOP * (frames - 1), fft_size // 2
    body, step = chunk - fft_size, max(chunk - round(overlap * chunk), 1)
    n = len(song)
    padded = (n // body + 1) * body + 2 * edge
    planes = np.zeros((padded, 2))
    planes[edge:edge + n] = song
    window = hann(fft_size, True)
    taps = np.arange(frames)[:, None] * HOP + np.arange(fft_size)[None, :] - edge
    taps = np.where(taps < 0, -taps, taps)
    taps = np.where(taps > chunk - 1, 2 * (chunk - 1) - taps, taps)
    mask = (1 / (1 + np.arange(bins) % 3))[None, :, None] * (1 / (1 + np.arange(frames) % 2))[:, None, None]
    acc, weight = np.zeros((padded, 2)), np.zeros(padded)
    for start in range(0, padded, step):
        length = min(start + chunk, padded) - start
        samples = np.zeros((chunk, 2))
        samples[:length] = planes[start:start + length]
        spectrum = np.fft.rfft(samples[taps] * window[None, :, None], axis=1)
        if stem == "vocals":
            spectrum[:, bins:] = 0
        spectrum[:, :3] = 0
        spectrum[:, :bins] *= mask
        frames_out = np.fft.irfft(spectrum, n=fft_size, axis=1) * window[None, :, None]
        span, envelope = np.zeros((chunk + fft_size, 2)), np.zeros(chunk + fft_size)
        for t in range(frames):
            span[t * HOP:t * HOP + fft_size] += frames_out[t]
            envelope[t * HOP:t * HOP + fft_size] += window ** 2
        out = span[edge:edge + chunk] / np.maximum(envelope[edge:edge + chunk], 1e-8)[:, None]
        fade = hann(length, False) if length > 1 else np.ones(length)
        acc[start:start + length] += out[:length] * fade[:, None]
        weight[start:start + length] += fade
    return acc[edge:edge + n] / (weight[edge:edge + n] + 1e-8)[:, None]


# name, models, extra arguments, per model: (bins, frames, FFT size, estimated stem); --overlap R
# covers a position with up to ceil(1 / (1 - R)) chunks, and 512 frames is longer than the song
CASES = [
    ("2048 bins", ["masked_b2048"], [], [(2048, 256, 6144, "vocals")]),
    ("FFT 7680 from the metadata", ["masked_n7680"], [], [(3072, 256, 7680, "vocals")]),
    ("512 frames", ["masked_t512"], [], [(3072, 512, 6144, "vocals")]),
    ("symbolic bins and frames", ["masked_symbolic"], [], [(3072, 256, 6144, "vocals")]),
    ("instrumental from the metadata", ["masked_instrumental"], [], [(3072, 256, 6144, "instrumental")]),
    ("--fft-size and --stem", ["masked_b2048"], ["--fft-size", "5120", "--stem", "instrumental"],
     [(2048, 256, 5120, "instrumental")]),
    ("two networks averaged", ["masked_b2048", "masked_t512"], [],
     [(2048, 256, 6144, "vocals"), (3072, 512, 6144, "vocals")]),
    ("--overlap 0.25", ["masked_b2048"], ["--overlap", "0.25"], [(2048, 256, 6144, "vocals")]),
    ("--overlap 0.75, a song shorter than a chunk", ["masked_t512"], ["--overlap", "0.75"],
     [(3072, 512, 6144, "vocals")]),
    ("--overlap 0.9, instrumental", ["masked_b2048"], ["--overlap", "0.9", "--stem", "instrumental"],
     [(2048, 256, 6144, "instrumental")]),
    ("--overlap 0.9, a song shorter than a chunk", ["masked_t512"], ["--overlap", "0.9"],
     [(3072, 512, 6144, "vocals")]),
]


def main():
    duostem, models = (os.path.abspath(p) for p in sys.argv[1:3])
    rng = np.random.default_rng(7)
    t = np.arange(8 * 44100) / 44100  # several chunks for 256 frames, two for 512
    song = np.stack([0.3 * np.sin(2 * np.pi * 440 * t) + 0.05 * rng.standard_normal(t.size),
                     0.2 * np.sin(2 * np.pi * 1234.5 * t) + 0.05 * rng.standard_normal(t.size)], 1)
    song = song.astype(np.float32)
    failures = 0
    with tempfile.TemporaryDirectory() as scratch:
        soundfile.write(os.path.join(scratch, "song.wav"), song, 44100, subtype="FLOAT")
        for name, names, extra, networks in CASES:
            args = [duostem, "song.wav", "--out-dir", "out"] + extra
            for m in names:
                args += ["--model", os.path.join(models, m + ".onnx")]
            run = subprocess.run(args, cwd=scratch, capture_output=True, text=True, timeout=300)
            expected_vocals = np.zeros_like(song, dtype=np.float64)
            overlap = float(extra[extra.index("--overlap") + 1]) if "--overlap" in extra else 0.5
            for bins, frames, fft_size, stem in networks:
                estimate = network_output(song.astype(np.float64), bins, frames, fft_size, stem, overlap)
                expected_vocals += estimate if stem == "vocals" else song - estimate
            expected_vocals /= len(networks)
            headers = [line for line in run.stderr.splitlines() if line.startswith("network ")]
            wanted_headers = [f"network {i + 1}/{len(names)}: {os.path.join(models, m + '.onnx')}"
                              for i, m in enumerate(names)] if len(names) > 1 else []
            if run.returncode != 0 or headers != wanted_headers:
                print(f"FAIL {name}: status {run.returncode}, network lines {headers}\n{run.stderr}")
                failures += 1
                continue
            vocals, _ = soundfile.read(os.path.join(scratch, "out", "song_(Vocals).wav"), dtype="float64")
            difference = np.max(np.abs(vocals - expected_vocals))
            verdict = "ok  " if difference <= TOLERANCE else "FAIL"
            failures += difference > TOLERANCE
            print(f"{verdict} {name}: largest difference from float64 {difference:.3g}")
    print(f"{len(CASES) - failures} passed, {failures} failed")
    sys.exit(1 if failures else 0)


main()
