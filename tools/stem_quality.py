#!/usr/bin/python3
"""Signal-to-distortion ratios of separated stems against the true stems.

SDR = 10 log10(sum s^2 / sum (s - s_hat)^2) in dB, summed over both channels.
The baseline takes the mix itself as the estimate of each stem; the margin is
how far the separation beats it.

Usage:
  stem_quality.py --mix MIX.wav --true-vocals V.wav --true-instrumental I.wav \
                  --vocals V_HAT.wav --instrumental I_HAT.wav
"""
import argparse
import math
import sys

import numpy as np
import soundfile


def fail(message):
    sys.stderr.write("stem_quality: error: %s\n" % message)
    sys.exit(2)


def load(path, role):
    try:
        data, rate = soundfile.read(path, dtype="float64", always_2d=True)
    except (OSError, RuntimeError) as error:
        fail("cannot read the %s %s: %s" % (role, path, error))
    return data, rate


def sdr(truth, estimate):
    signal = float(np.sum(np.square(truth)))
    distortion = float(np.sum(np.square(truth - estimate)))
    if signal == 0.0:
        return math.nan
    if distortion == 0.0:
        return math.inf
    return 10.0 * math.log10(signal / distortion)


def measure(mix, true_vocals, true_instrumental, vocals, instrumental):
    """Rows of (stem, SDR, baseline SDR) for the vocals and the instrumental."""
    return [
        ("vocals", sdr(true_vocals, vocals), sdr(true_vocals, mix)),
        ("instrumental", sdr(true_instrumental, instrumental), sdr(true_instrumental, mix)),
    ]


def format_db(value):
    if math.isnan(value):
        return "n/a"
    if math.isinf(value):
        return "inf"
    return "%+.2f" % value


def main(argv):
    parser = argparse.ArgumentParser(description="SDR of separated stems against the truth, beside the mix baseline.")
    for name in ("mix", "true-vocals", "true-instrumental", "vocals", "instrumental"):
        parser.add_argument("--" + name, required=True, metavar="WAV")
    args = parser.parse_args(argv)

    roles = [("mix", args.mix), ("true vocals", args.true_vocals), ("true instrumental", args.true_instrumental),
             ("vocals", args.vocals), ("instrumental", args.instrumental)]
    signals = []
    for role, path in roles:
        data, rate = load(path, role)
        if signals and rate != signals[0][2]:
            fail("the %s %s is at %d Hz, the mix at %d Hz" % (role, path, rate, signals[0][2]))
        if signals and data.shape != signals[0][1].shape:
            fail("the %s %s has %d frames of %d channel(s), the mix %d frames of %d channel(s)"
                 % (role, path, data.shape[0], data.shape[1], signals[0][1].shape[0], signals[0][1].shape[1]))
        signals.append((path, data, rate))
    if not np.all(np.isfinite(signals[3][1])) or not np.all(np.isfinite(signals[4][1])):
        fail("an estimated stem holds non-finite samples")

    rows = measure(*(data for _, data, _ in signals))
    print("%-13s %10s %12s %10s" % ("stem", "SDR (dB)", "mix (dB)", "margin"))
    for stem, value, baseline in rows:
        print("%-13s %10s %12s %10s" % (stem, format_db(value), format_db(baseline), format_db(value - baseline)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
