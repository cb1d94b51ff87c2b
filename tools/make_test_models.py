#!/usr/bin/python3
"""Writes the ONNX test models into the directory given.

Every graph takes a float tensor "input" of shape [1, 4, 3072, 256], the
tool's spectrogram, and is tiny on disk: masks and shapes are built by ops
from the input rather than stored. The output is deterministic, so rebuilding
leaves the files byte for byte the same.

  identity.onnx           output = input
  gain_half.onnx          output = input * 0.5
  plus_one.onnx           output = input + 1 (writes into bins 0..2, which the
                          tool's input always holds at zero)
  band_zero.onnx          output = input with bins 256..3071 of every plane
                          zeroed: bins 0..255 (below 1837.5 Hz at 44100 Hz)
                          pass, a tone above that is removed
  wrong_input_name.onnx   identity whose input is named "x"
  wrong_output_name.onnx  identity whose output is named "y"
  wrong_shape_output.onnx output = bins 0..2047 only, [1, 4, 2048, 256]
  float16_output.onnx     output = input cast to float16
  double_output.onnx      output = input cast to double
  sequence_output.onnx    output = a sequence holding the input, not a tensor
  extra_output.onnx       output = input, plus a second output "extra"
  fail_when_loud.onnx     output = input, but Run fails when any |value|
                          exceeds 1000 (the reshape target grows by one batch)
  huge_output.onnx        output = input tiled ten times along the frames,
                          [1, 4, 3072, 2560]
  not_onnx.onnx           plain text
  empty.onnx              0 bytes
  truncated.onnx          the first half of identity.onnx
"""
import os
import sys

import onnx
from onnx import TensorProto, helper

SHAPE = [1, 4, 3072, 256]
PASSED_BINS = 256
LOUD = 1000.0


def const(name, data_type, dims, values):
    return helper.make_node(
        "Constant", [], [name], value=helper.make_tensor(name + "_value", data_type, dims, values))


def tensor(name, elem_type=TensorProto.FLOAT, shape=None):
    return helper.make_tensor_value_info(name, elem_type, SHAPE if shape is None else shape)


def model(name, nodes, outputs, inputs=None):
    graph = helper.make_graph(nodes, name, inputs or [tensor("input")], outputs)
    m = helper.make_model(graph, producer_name="duostem-test-models",
                          opset_imports=[helper.make_opsetid("", 13)])
    m.ir_version = 7
    onnx.checker.check_model(m)
    return m.SerializeToString()


def identity(input_name="input", output_name="output"):
    return model("identity", [helper.make_node("Identity", [input_name], [output_name])],
                 [tensor(output_name)], [tensor(input_name)])


def gain_half():
    return model("gain_half", [const("half", TensorProto.FLOAT, [], [0.5]),
                               helper.make_node("Mul", ["input", "half"], ["output"])],
                 [tensor("output")])


def plus_one():
    return model("plus_one", [const("one", TensorProto.FLOAT, [], [1.0]),
                              helper.make_node("Add", ["input", "one"], ["output"])],
                 [tensor("output")])


def band_zero():
    # mask[k] = 1 for k < PASSED_BINS, else 0, shaped [1, 1, 3072, 1] to broadcast
    # over planes and frames.
    nodes = [
        const("start", TensorProto.FLOAT, [], [0.0]),
        const("limit", TensorProto.FLOAT, [], [float(SHAPE[2])]),
        const("delta", TensorProto.FLOAT, [], [1.0]),
        const("edge", TensorProto.FLOAT, [], [float(PASSED_BINS)]),
        const("mask_shape", TensorProto.INT64, [4], [1, 1, SHAPE[2], 1]),
        helper.make_node("Range", ["start", "limit", "delta"], ["bins"]),
        helper.make_node("Less", ["bins", "edge"], ["passed"]),
        helper.make_node("Cast", ["passed"], ["mask_flat"], to=TensorProto.FLOAT),
        helper.make_node("Reshape", ["mask_flat", "mask_shape"], ["mask"]),
        helper.make_node("Mul", ["input", "mask"], ["output"]),
    ]
    return model("band_zero", nodes, [tensor("output")])


def wrong_shape_output():
    nodes = [
        const("starts", TensorProto.INT64, [1], [0]),
        const("ends", TensorProto.INT64, [1], [2048]),
        const("axes", TensorProto.INT64, [1], [2]),
        helper.make_node("Slice", ["input", "starts", "ends", "axes"], ["output"]),
    ]
    return model("wrong_shape_output", nodes, [tensor("output", shape=[1, 4, 2048, 256])])


def cast_output(name, elem_type):
    return model(name, [helper.make_node("Cast", ["input"], ["output"], to=elem_type)],
                 [tensor("output", elem_type)])


def sequence_output():
    out = helper.make_tensor_sequence_value_info("output", TensorProto.FLOAT, SHAPE)
    return model("sequence_output", [helper.make_node("SequenceConstruct", ["input"], ["output"])], [out])


def extra_output():
    nodes = [
        const("two", TensorProto.FLOAT, [], [2.0]),
        helper.make_node("Identity", ["input"], ["output"]),
        helper.make_node("Mul", ["input", "two"], ["extra"]),
    ]
    return model("extra_output", nodes, [tensor("output"), tensor("extra")])


def fail_when_loud():
    # target = SHAPE + [loud, 0, 0, 0]: the same shape while quiet, one batch too
    # many (an impossible reshape) once any |value| exceeds LOUD.
    nodes = [
        const("loud_level", TensorProto.FLOAT, [], [LOUD]),
        const("base_shape", TensorProto.INT64, [4], SHAPE),
        const("batch_only", TensorProto.INT64, [4], [1, 0, 0, 0]),
        helper.make_node("Abs", ["input"], ["magnitude"]),
        helper.make_node("ReduceMax", ["magnitude"], ["peak"], keepdims=0),
        helper.make_node("Greater", ["peak", "loud_level"], ["is_loud"]),
        helper.make_node("Cast", ["is_loud"], ["loud"], to=TensorProto.INT64),
        helper.make_node("Mul", ["loud", "batch_only"], ["growth"]),
        helper.make_node("Add", ["base_shape", "growth"], ["target"]),
        helper.make_node("Reshape", ["input", "target"], ["output"]),
    ]
    return model("fail_when_loud", nodes, [tensor("output")])


def huge_output():
    nodes = [
        const("repeats", TensorProto.INT64, [4], [1, 1, 1, 10]),
        helper.make_node("Tile", ["input", "repeats"], ["output"]),
    ]
    return model("huge_output", nodes, [tensor("output", shape=[1, 4, 3072, 2560])])


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    ident = identity()
    files = {
        "identity.onnx": ident,
        "gain_half.onnx": gain_half(),
        "plus_one.onnx": plus_one(),
        "band_zero.onnx": band_zero(),
        "wrong_input_name.onnx": identity(input_name="x"),
        "wrong_output_name.onnx": identity(output_name="y"),
        "wrong_shape_output.onnx": wrong_shape_output(),
        "float16_output.onnx": cast_output("float16_output", TensorProto.FLOAT16),
        "double_output.onnx": cast_output("double_output", TensorProto.DOUBLE),
        "sequence_output.onnx": sequence_output(),
        "extra_output.onnx": extra_output(),
        "fail_when_loud.onnx": fail_when_loud(),
        "huge_output.onnx": huge_output(),
        "not_onnx.onnx": b"This is a plain text file, not an ONNX graph.\n",
        "empty.onnx": b"",
        "truncated.onnx": ident[: len(ident) // 2],
    }
    for name, data in files.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
