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
  transposed_output.onnx  output = input declared [1, 4, 256, 3072]: as many floats, another layout
  masked_*.onnx           output = input * m[k] * m[t], m[k] = 1 / (1 + k mod 3),
                          m[t] = 1 / (1 + t mod 2): bins and frames of other sizes,
                          symbolic ones, an FFT size or stem in the metadata
  refuse_*.onnx           identities whose input or metadata duostem cannot run
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


def model(name, nodes, outputs, inputs=None, metadata=None):
    graph = helper.make_graph(nodes, name, inputs or [tensor("input")], outputs)
    m = helper.make_model(graph, producer_name="duostem-test-models",
                          opset_imports=[helper.make_opsetid("", 13)])
    m.ir_version = 7
    if metadata:
        helper.set_model_props(m, metadata)
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


def masked(shape, metadata=None):
    """output = input * m[k] * m[t]; the masks follow the input's run-time shape,
    so the same graph serves symbolic bins and frames."""
    nodes = [const("two", TensorProto.INT64, [], [2]), const("three", TensorProto.INT64, [], [3])]
    for axis, name, modulus, mask_shape in ((2, "k", "three", [1, 1, -1, 1]), (3, "t", "two", [1, 1, 1, -1])):
        nodes += [
            const(name + "_axis", TensorProto.INT64, [], [axis]),
            const(name + "_zero", TensorProto.INT64, [], [0]),
            const(name + "_one", TensorProto.INT64, [], [1]),
            const(name + "_one_f", TensorProto.FLOAT, [], [1.0]),
            const(name + "_shape", TensorProto.INT64, [4], mask_shape),
            helper.make_node("Shape", ["input"], [name + "_dims"]),
            helper.make_node("Gather", [name + "_dims", name + "_axis"], [name + "_count"]),
            helper.make_node("Range", [name + "_zero", name + "_count", name + "_one"], [name + "_index"]),
            helper.make_node("Mod", [name + "_index", modulus], [name + "_mod"]),
            helper.make_node("Cast", [name + "_mod"], [name + "_modf"], to=TensorProto.FLOAT),
            helper.make_node("Add", [name + "_modf", name + "_one_f"], [name + "_den"]),
            helper.make_node("Reciprocal", [name + "_den"], [name + "_flat"]),
            helper.make_node("Reshape", [name + "_flat", name + "_shape"], [name + "_mask"]),
        ]
    nodes += [helper.make_node("Mul", ["input", "k_mask"], ["partly"]),
              helper.make_node("Mul", ["partly", "t_mask"], ["output"])]
    return model("masked", nodes, [tensor("output", shape=shape)], [tensor("input", shape=shape)], metadata)


def identity_of(shape, metadata=None, elem_type=TensorProto.FLOAT):
    return model("identity_of", [helper.make_node("Identity", ["input"], ["output"])],
                 [tensor("output", elem_type, shape)], [tensor("input", elem_type, shape)], metadata)


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
        "transposed_output.onnx": model("transposed_output", [const("flipped", TensorProto.INT64, [4], [1, 4, 256, 3072]),
                                                              helper.make_node("Reshape", ["input", "flipped"], ["output"])],
                                        [tensor("output", shape=[1, 4, 256, 3072])]),
        "masked_b2048.onnx": masked([1, 4, 2048, 256]),
        "masked_n7680.onnx": masked([1, 4, 3072, 256], {"fft_size": "7680"}),
        "masked_t512.onnx": masked([1, 4, 3072, 512]),
        "masked_symbolic.onnx": masked([1, 4, "bins", "frames"]),
        "masked_instrumental.onnx": masked([1, 4, 3072, 256], {"stem": "instrumental"}),
        "refuse_rank3.onnx": identity_of([1, 4, 3072]),
        "refuse_int64.onnx": identity_of(SHAPE, elem_type=TensorProto.INT64),
        "refuse_batch2.onnx": identity_of([2, 4, 3072, 256]),
        "refuse_frames6.onnx": identity_of([1, 4, 3072, 6]),
        "refuse_fft_metadata.onnx": identity_of(SHAPE, {"fft_size": "6145"}),
        "refuse_stem_metadata.onnx": identity_of(SHAPE, {"stem": "drums"}),
        "not_onnx.onnx": b"This is a plain text file, not an ONNX graph.\n",
        "empty.onnx": b"",
        "truncated.onnx": ident[: len(ident) // 2],
    }
    for name, data in files.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
