#!/usr/bin/python3
"""Writes the default model, a training-free centre-channel vocal extractor.

Usage: make_default_model.py OUTPUT.onnx

The graph works on the tool's tensor [1, 4, 3072, 256] (planes left real, left
imaginary, right real, right imaginary; bin-major, frame-minor). Per bin and
frame it measures how alike the two channels are,

    similarity = 2 Re(L conj(R)) / (|L|^2 + |R|^2 + eps),

which is 1 for a source panned dead centre and in phase, falls with level and
phase differences between the channels, and is negative for anti-phase content.
The cross and auto spectra are averaged over three neighbouring frames before
the division, which steadies the estimate. The similarity, clipped to [0, 1]
and raised to a power, times a fixed band weight over the voice range, is the
mask applied to both channels' spectra.

The output bytes depend only on this script and the onnx package's serialiser:
the band weight is computed with Python's own math functions and rounded once
to float32, and the model carries no time stamp.
"""
import math
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper

BINS = 3072
FRAMES = 256
FFT_SIZE = 6144
RATE = 44100

# Tuned on the demo song (seed 1); see docs/default-model.md.
SHARPNESS = 5.0  # power applied to the similarity
EPSILON = 1e-6  # keeps silent bins at 0/eps = 0
SMOOTHING_FRAMES = 3  # frames averaged, centred
LOW_FADE_HZ = (90.0, 180.0)  # weight rises from 0 to 1 across this span
HIGH_FADE_HZ = (6000.0, 10000.0)  # and falls from 1 to 0 across this one


def fade(f, lo, hi):
    """0 below lo, 1 above hi, a raised cosine in log-frequency between."""
    if f <= lo:
        return 0.0
    if f >= hi:
        return 1.0
    a = (math.log(f) - math.log(lo)) / (math.log(hi) - math.log(lo))
    return 0.5 - 0.5 * math.cos(math.pi * a)


def band_weight():
    weights = []
    for k in range(BINS):
        f = k * RATE / FFT_SIZE
        weights.append(fade(f, *LOW_FADE_HZ) * (1.0 - fade(f, *HIGH_FADE_HZ)))
    return np.array(weights, dtype=np.float64).astype(np.float32).reshape(1, 1, BINS, 1)


def scalar(name, value):
    return helper.make_tensor(name, TensorProto.FLOAT, [], [value])


def build_model():
    shape = [1, 4, BINS, FRAMES]
    half = SMOOTHING_FRAMES // 2
    initializers = [
        helper.make_tensor("split_sizes", TensorProto.INT64, [4], [1, 1, 1, 1]),
        scalar("two", 2.0),
        scalar("epsilon", EPSILON),
        scalar("zero", 0.0),
        scalar("one", 1.0),
        scalar("sharpness", SHARPNESS),
        helper.make_tensor("band_weight", TensorProto.FLOAT, [1, 1, BINS, 1], band_weight().ravel().tolist()),
    ]
    pool = dict(kernel_shape=[1, SMOOTHING_FRAMES], pads=[0, half, 0, half], strides=[1, 1], count_include_pad=0)
    nodes = [
        helper.make_node("Split", ["input", "split_sizes"], ["lr", "li", "rr", "ri"], axis=1),
        # Re(L conj(R)) and |L|^2 + |R|^2.
        helper.make_node("Mul", ["lr", "rr"], ["lr_rr"]),
        helper.make_node("Mul", ["li", "ri"], ["li_ri"]),
        helper.make_node("Add", ["lr_rr", "li_ri"], ["cross"]),
        helper.make_node("Mul", ["lr", "lr"], ["lr2"]),
        helper.make_node("Mul", ["li", "li"], ["li2"]),
        helper.make_node("Mul", ["rr", "rr"], ["rr2"]),
        helper.make_node("Mul", ["ri", "ri"], ["ri2"]),
        helper.make_node("Add", ["lr2", "li2"], ["left_power"]),
        helper.make_node("Add", ["rr2", "ri2"], ["right_power"]),
        helper.make_node("Add", ["left_power", "right_power"], ["power"]),
        helper.make_node("AveragePool", ["cross"], ["cross_smooth"], **pool),
        helper.make_node("AveragePool", ["power"], ["power_smooth"], **pool),
        helper.make_node("Mul", ["cross_smooth", "two"], ["cross2"]),
        helper.make_node("Add", ["power_smooth", "epsilon"], ["power_eps"]),
        helper.make_node("Div", ["cross2", "power_eps"], ["similarity"]),
        helper.make_node("Clip", ["similarity", "zero", "one"], ["similarity_clipped"]),
        helper.make_node("Pow", ["similarity_clipped", "sharpness"], ["similarity_sharp"]),
        helper.make_node("Mul", ["similarity_sharp", "band_weight"], ["mask"]),
        helper.make_node("Mul", ["input", "mask"], ["output"]),
    ]
    graph = helper.make_graph(
        nodes,
        "centre_vocals",
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, shape)],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, shape)],
        initializer=initializers,
        doc_string="Centre-panned, in-phase part of a stereo spectrogram within the voice band.",
    )
    model = helper.make_model(graph, producer_name="duostem make_default_model", producer_version="1",
                              opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 7
    onnx.checker.check_model(model)
    return model


def main(argv):
    if len(argv) == 1 and argv[0] in ("-h", "--help"):
        print(__doc__.strip())
        return 0
    if len(argv) != 1 or argv[0].startswith("-"):
        sys.stderr.write("usage: make_default_model.py OUTPUT.onnx\n")
        return 2
    out = argv[0]
    if not out.endswith(".onnx") or os.path.basename(out) == ".onnx":
        sys.stderr.write("make_default_model: error: the output must name a .onnx file, not %r\n" % out)
        return 2
    directory = os.path.dirname(out) or "."
    if not os.path.isdir(directory):
        sys.stderr.write("make_default_model: error: the directory of the output does not exist: %r\n" % directory)
        return 2
    data = build_model().SerializeToString()
    with open(out, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
