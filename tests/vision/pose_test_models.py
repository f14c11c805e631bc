#!/usr/bin/python3
"""Small ONNX models for the pose estimator's tests.

Usage: pose_test_models.py OUTPUT_DIR

- people.onnx: the network contract with a fixed output table holding two
  people, whatever the picture (the input is read, and multiplied by 0).
- Models that break the contract in one way each: output 1x56x100, output
  1x8400x56 (the right count in the wrong layout), double output, input of
  rank 3; and one with open input dimensions, which is fine.
"""

import os
import sys

import numpy as np
import onnx
from onnx import helper, numpy_helper, TensorProto

ROWS, ANCHORS = 56, 8400

# Anchor, centre x, centre y, width, height, confidence (input pixels).
SMALL_PERSON = (10, 320.0, 320.0, 64.0, 128.0, 0.9)
LARGE_PERSON = (20, 300.0, 300.0, 300.0, 300.0, 0.6)


def people_table():
    table = np.zeros((1, ROWS, ANCHORS), dtype=np.float32)
    for anchor, cx, cy, w, h, c in (SMALL_PERSON, LARGE_PERSON):
        table[0, 0:5, anchor] = (cx, cy, w, h, c)
        for k in range(17):
            # Keypoint k at (100 + 20k, 100 + 20k), visibility k / 16.
            table[0, 5 + 3 * k:8 + 3 * k, anchor] = (100 + 20 * k, 100 + 20 * k, k / 16.0)
    # Of the small person, keypoint 0 lies in the grey band above a 640 x 480
    # frame and keypoint 1 right of the input: both must be clamped.
    table[0, 5:7, SMALL_PERSON[0]] = (320.0, 40.0)
    table[0, 8:10, SMALL_PERSON[0]] = (700.0, 320.0)
    return table


def constant_model(table, input_shape=(1, 3, 640, 640), output_type=TensorProto.FLOAT,
                   input_dims=None):
    nodes = [
        helper.make_node("ReduceMean", ["images"], ["mean"], keepdims=0),
        helper.make_node("Mul", ["mean", "zero"], ["nothing"]),
        helper.make_node("Add", ["table", "nothing"], ["sum"]),
    ]
    output_name = "sum"
    if output_type != TensorProto.FLOAT:
        nodes.append(helper.make_node("Cast", ["sum"], ["cast"], to=output_type))
        output_name = "cast"
    nodes.append(helper.make_node("Identity", [output_name], ["output0"]))
    graph = helper.make_graph(
        nodes, "test",
        [helper.make_tensor_value_info("images", TensorProto.FLOAT,
                                       input_dims if input_dims else list(input_shape))],
        [helper.make_tensor_value_info("output0", output_type, list(table.shape))],
        [numpy_helper.from_array(table, "table"),
         numpy_helper.from_array(np.zeros((), dtype=np.float32), "zero")])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    return model


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    table = people_table()
    models = {
        "people.onnx": constant_model(table),
        "open_input_dims.onnx": constant_model(table, input_dims=["batch", 3, "height", "width"]),
        "output_1x56x100.onnx": constant_model(table[:, :, :100].copy()),
        "output_1x8400x56.onnx": constant_model(table.transpose(0, 2, 1).copy()),
        "output_double.onnx": constant_model(table, output_type=TensorProto.DOUBLE),
        "input_rank3.onnx": constant_model(table, input_shape=(1, 3, 640)),
    }
    for name, model in models.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(model.SerializeToString())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
