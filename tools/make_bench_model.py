#!/usr/bin/python3
"""Writes a benchmark separation network with random weights.

A TFC-TDF style U-Net over the tool's [1, 4, bins, frames] tensor (by default [1, 4, 3072, 256]) ("input" ->
"output", float): a 1x1 convolution to g channels; five down levels, each
three 3x3 convolutions (time-frequency convolutions) and a residual pair of
fully connected layers across frequency, F -> F/bottleneck -> F (MatMul on the
frequency axis), followed by a 2x2 strided convolution that halves frequency
and time and adds g channels; a middle block of the same kind; five mirrored
up levels (2x2 transposed convolution, concatenation with the skip, the same
block); a 1x1 convolution to 4 channels.

The weights are random (fixed seed): the network separates nothing, but it
costs what a real one of its size costs, which is all a benchmark needs.
The file is tens of megabytes: write it into a build directory or /tmp.
"""
import argparse
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

PLANES = 4
LEVELS = 5


class Net:
    """Accumulates nodes and initialisers, counting weights and FLOPs as it goes."""

    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)
        self.nodes = []
        self.inits = []
        self.weights = 0
        self.flops = 0
        self.counter = 0

    def name(self, kind):
        self.counter += 1
        return f"{kind}_{self.counter}"

    def param(self, shape, fan_in):
        # He initialisation keeps the activations of the ReLU chain in a sane range.
        data = self.rng.standard_normal(shape, dtype=np.float32)
        data *= np.float32(np.sqrt(2.0 / fan_in))
        name = self.name("w")
        self.inits.append(numpy_helper.from_array(data, name))
        self.weights += data.size
        return name

    def zeros(self, shape):
        name = self.name("b")
        self.inits.append(numpy_helper.from_array(np.zeros(shape, np.float32), name))
        self.weights += int(np.prod(shape))
        return name

    def node(self, op, inputs, **attrs):
        out = self.name(op.lower())
        self.nodes.append(helper.make_node(op, inputs, [out], **attrs))
        return out

    def relu(self, x):
        return self.node("Relu", [x])

    def conv(self, x, cin, cout, k, f, t, stride=1):
        """k x k convolution; f, t are the output's frequency and time sizes."""
        w = self.param((cout, cin, k, k), cin * k * k)
        b = self.zeros((cout,))
        pad = (k - 1) // 2 if stride == 1 else 0
        self.flops += 2 * cout * cin * k * k * f * t
        return self.node("Conv", [x, w, b], kernel_shape=[k, k], strides=[stride, stride],
                         pads=[pad, pad, pad, pad])

    def conv_transpose(self, x, cin, cout, f, t):
        """2x2 stride-2 transposed convolution; f, t are the input's sizes."""
        w = self.param((cin, cout, 2, 2), cin)
        b = self.zeros((cout,))
        self.flops += 2 * cin * cout * 4 * f * t
        return self.node("ConvTranspose", [x, w, b], kernel_shape=[2, 2], strides=[2, 2])

    def dense_over_bins(self, x, c, fin, fout, t):
        """W [fout, fin] @ x [1, c, fin, t]: one fully connected layer across frequency."""
        w = self.param((fout, fin), fin)
        b = self.zeros((fout, 1))
        self.flops += 2 * c * fout * fin * t + c * fout * t
        return self.node("Add", [self.node("MatMul", [w, x]), b])

    def block(self, x, cin, c, f, t, bottleneck):
        """Three 3x3 convolutions, then the residual frequency bottleneck."""
        for i in range(3):
            x = self.relu(self.conv(x, cin if i == 0 else c, c, 3, f, t))
        h = self.relu(self.dense_over_bins(x, c, f, f // bottleneck, t))
        h = self.relu(self.dense_over_bins(h, c, f // bottleneck, f, t))
        self.flops += c * f * t
        return self.node("Add", [x, h])


def build(g, bottleneck, seed, bins=3072, frames=256, metadata=None):
    net = Net(seed)
    x = net.relu(net.conv("input", PLANES, g, 1, bins, frames))
    skips = []
    f, t = bins, frames
    for level in range(LEVELS):
        c = g * (level + 1)
        x = net.block(x, c, c, f, t, bottleneck)
        skips.append(x)
        f, t = f // 2, t // 2
        x = net.relu(net.conv(x, c, c + g, 2, f, t, stride=2))
    x = net.block(x, g * (LEVELS + 1), g * (LEVELS + 1), f, t, bottleneck)
    for level in reversed(range(LEVELS)):
        c = g * (level + 1)
        x = net.relu(net.conv_transpose(x, c + g, c, f, t))
        f, t = f * 2, t * 2
        x = net.node("Concat", [x, skips[level]], axis=1)
        x = net.block(x, 2 * c, c, f, t, bottleneck)
    out = net.conv(x, g, PLANES, 1, bins, frames)
    net.nodes.append(helper.make_node("Identity", [out], ["output"]))

    shape = [1, PLANES, bins, frames]
    graph = helper.make_graph(
        net.nodes, "bench_unet",
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, shape)],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, shape)],
        net.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)],
                              producer_name="make_bench_model")
    model.ir_version = 7
    if metadata:
        helper.set_model_props(model, metadata)
    return model, net.weights, net.flops


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}")
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {value}")
    return value


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", help="path of the .onnx file to write (not inside the checkout's tracked tree)")
    parser.add_argument("--g", type=positive_int, default=32,
                        help="channels of the first level, and channels added per level (default 32)")
    parser.add_argument("--bottleneck", type=positive_int, default=8,
                        help="frequency bottleneck factor F -> F/b -> F; must divide the middle block's "
                             f"frequency size, bins / {1 << LEVELS} (default 8)")
    parser.add_argument("--seed", type=int, default=7, help="random seed of the weights (default 7)")
    parser.add_argument("--bins", type=positive_int, default=3072,
                        help=f"frequency bins of the tensor, a multiple of {1 << LEVELS} (default 3072)")
    parser.add_argument("--frames", type=positive_int, default=256,
                        help=f"frames of the tensor, a multiple of {1 << LEVELS} (default 256)")
    parser.add_argument("--fft-size", type=positive_int, help="an FFT size written into the model's metadata")
    parser.add_argument("--stem", choices=["vocals", "instrumental"], help="the stem written into the metadata")
    args = parser.parse_args()
    for name, value in (("--bins", args.bins), ("--frames", args.frames)):
        if value % (1 << LEVELS) != 0:
            parser.error(f"{name} {value} is not a multiple of {1 << LEVELS}")
    middle = args.bins >> LEVELS
    if middle % args.bottleneck != 0:
        parser.error(f"--bottleneck {args.bottleneck} does not divide {middle}, "
                     "the frequency size of the middle block")
    if args.seed < 0:
        parser.error(f"--seed must not be negative: {args.seed}")
    parent = os.path.dirname(os.path.abspath(args.output))
    if not os.path.isdir(parent):
        parser.error(f"no such directory: {parent}")

    metadata = {k: str(v) for k, v in (("fft_size", args.fft_size), ("stem", args.stem)) if v is not None}
    model, weights, flops = build(args.g, args.bottleneck, args.seed, args.bins, args.frames, metadata)
    onnx.checker.check_model(model)
    onnx.save(model, args.output)
    print(f"{args.output}: g {args.g}, bottleneck {args.bottleneck}, seed {args.seed}")
    print(f"weights {weights} ({weights / 1e6:.2f} M), {os.path.getsize(args.output) / 1e6:.1f} MB")
    print(f"estimated {flops / 1e9:.1f} GFLOP per chunk")


if __name__ == "__main__":
    sys.exit(main())
