#!/usr/bin/python3
"""Draws the spectrograms of a mix and its two stems, one above the other, into a PNG.

Usage: plot_spectrograms.py --out PICTURE.png MIX.wav VOCALS.wav INSTRUMENTAL.wav

Each panel shows the mid channel, (left + right) / 2, in dB on one common scale
(the mix's loudest bin is 0 dB), so a quieter stem looks quieter.
"""
import argparse
import io
import os
import sys

import numpy as np
import soundfile

FFT = 2048
HOP = 512
RANGE_DB = 90.0
TOP_HZ = 12000.0


def fail(message):
    sys.stderr.write("plot_spectrograms: error: %s\n" % message)
    sys.exit(2)


def power_spectrogram(mid):
    window = 0.5 - 0.5 * np.cos(2 * np.pi * np.arange(FFT) / FFT)
    padded = np.concatenate([np.zeros(FFT // 2), mid, np.zeros(FFT)])
    count = 1 + len(mid) // HOP
    frames = np.lib.stride_tricks.sliding_window_view(padded, FFT)[::HOP][:count]
    return np.abs(np.fft.rfft(frames * window, axis=1)).T ** 2


def main(argv):
    parser = argparse.ArgumentParser(description="Spectrograms of a mix and its stems, one above the other.")
    parser.add_argument("--out", required=True, help="the PNG to write")
    parser.add_argument("mix")
    parser.add_argument("vocals")
    parser.add_argument("instrumental")
    args = parser.parse_args(argv)
    if not args.out.endswith(".png"):
        fail("--out must name a .png file, not %r" % args.out)
    if not os.path.isdir(os.path.dirname(args.out) or "."):
        fail("the directory of --out does not exist: %r" % (os.path.dirname(args.out)))

    panels = []
    rate = None
    for title, path in (("mix", args.mix), ("vocals", args.vocals), ("instrumental", args.instrumental)):
        try:
            data, file_rate = soundfile.read(path, dtype="float64", always_2d=True)
        except (OSError, RuntimeError) as error:
            fail("cannot read %s: %s" % (path, error))
        if rate is not None and file_rate != rate:
            fail("%s is at %d Hz, the mix at %d Hz" % (path, file_rate, rate))
        rate = file_rate
        panels.append(("%s: %s" % (title, os.path.basename(path)), power_spectrogram(np.mean(data, axis=1))))

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    reference = max(float(np.max(panels[0][1])), 1e-20)
    top = min(TOP_HZ, rate / 2)
    figure, axes = plt.subplots(3, 1, figsize=(9, 7.5), sharex=True, constrained_layout=True)
    for axis, (title, power) in zip(axes, panels):
        db = 10 * np.log10(np.maximum(power / reference, 10 ** (-RANGE_DB / 10)))
        seconds = power.shape[1] * HOP / rate
        image = axis.imshow(db, origin="lower", aspect="auto", cmap="magma", vmin=-RANGE_DB, vmax=0,
                            extent=(0, seconds, 0, rate / 2 / 1000), interpolation="nearest")
        axis.set_ylim(0, top / 1000)
        axis.set_title(title, loc="left")
        axis.set_ylabel("kHz")
    axes[-1].set_xlabel("seconds")
    figure.colorbar(image, ax=axes, label="dB (mix peak = 0)", shrink=0.6)
    # A 64-colour palette keeps the picture small enough to commit beside the README.
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=72)
    from PIL import Image
    buffer.seek(0)
    Image.open(buffer).convert("RGB").quantize(colors=64).save(args.out, optimize=True)
    print(args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
