#!/usr/bin/python3
"""Tests of the pose network converter.

The converted ONNX graphs run in the real ONNX Runtime library (through
ctypes) and are compared with tflite_reference.py, an independent NumPy
reading of the TFLite semantics. Environment:
  KESTRO_ONNXRUNTIME_LIBRARY     path of libonnxruntime.so.1
  KESTRO_MEDIAPIPE_POSE_PACKAGE  the unpacked @mediapipe/pose package
Tests that need one of them are skipped when it is not given.
"""

import os
import struct
import sys
import unittest
import zlib

import numpy as np
import onnx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import convert_pose_model  # noqa: E402
import ort_runner  # noqa: E402
import pose_graph  # noqa: E402
import tflite_reference  # noqa: E402
from onnx_builder import GraphBuilder  # noqa: E402
from tflite_reader import Model, Operator, Tensor, TFLiteError, densify  # noqa: E402
from tflite_to_onnx import convert_subgraph, same_padding  # noqa: E402

LIBRARY = os.environ.get("KESTRO_ONNXRUNTIME_LIBRARY", "")
PACKAGE = os.environ.get("KESTRO_MEDIAPIPE_POSE_PACKAGE", "")
needs_runtime = unittest.skipUnless(os.path.isfile(LIBRARY), "KESTRO_ONNXRUNTIME_LIBRARY not set")
needs_package = unittest.skipUnless(os.path.isdir(PACKAGE), "KESTRO_MEDIAPIPE_POSE_PACKAGE not set")

_models = {}


def package_model(name):
    if name not in _models:
        _models[name] = Model.from_file(os.path.join(PACKAGE, name))
    return _models[name]


def read_png(path):
    """An 8-bit RGB, non-interlaced PNG as [H, W, 3] uint8 (Debian's
    Python here has no image library; the test photographs need no more)."""
    with open(path, "rb") as f:
        data = f.read()
    pos, compressed = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height = struct.unpack(">II", body[:8])
        elif kind == b"IDAT":
            compressed += body
        pos += 12 + length
    stride = 3 * width
    raw = zlib.decompress(compressed)
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if kind == 2:
            line = bytearray((np.frombuffer(line, np.uint8) + np.frombuffer(previous, np.uint8)).tobytes())
        elif kind in (1, 3, 4):
            for x in range(stride):
                a = line[x - 3] if x >= 3 else 0
                b = previous[x]
                if kind == 1:
                    p = a
                elif kind == 3:
                    p = (a + b) >> 1
                else:
                    c = previous[x - 3] if x >= 3 else 0
                    pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                    p = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[x] = (line[x] + p) & 255
        rows.append(line)
        previous = line
    return np.frombuffer(b"".join(rows), np.uint8).reshape(height, width, 3)


def run_onnx(model, inputs, outputs):
    with ort_runner.Session(LIBRARY, model.SerializeToString(), threads=2) as session:
        return session.run(inputs, outputs)


class SyntheticModel:
    """A TFLite main graph assembled in code, to test one operator at a time."""

    def __init__(self, input_shape):
        self.tensors, self.operators = [], []
        self.inputs = [self.tensor(input_shape)]
        self.outputs = []

    def tensor(self, shape, data=None, dtype=np.float32):
        raw = None if data is None else np.asarray(data, dtype=dtype).tobytes()
        index = len(self.tensors)
        self.tensors.append(Tensor(index, "t%d" % index, list(shape), dtype, 1 if raw else 0,
                                   raw, None, None))
        return index

    def op(self, name, inputs, output_shape, **options):
        out = self.tensor(output_shape)
        self.operators.append(Operator(name, 0, list(inputs), [out], 0, options))
        return out

    def finish(self, *outputs):
        self.outputs = list(outputs)
        return self


def conv_options(padding, stride, activation=0):
    return dict(padding=padding, stride_w=stride, stride_h=stride, activation=activation,
                dilation_w=1, dilation_h=1)


class ReaderTest(unittest.TestCase):
    def test_rejects_files_that_are_no_model(self):
        for data in (b"", b"\x08\x00\x00\x00TFL", b"\x08\x00\x00\x00ONNX" + bytes(32)):
            with self.assertRaises(TFLiteError):
                Model(data)

    @needs_package
    def test_truncated_files_fail_cleanly(self):
        with open(os.path.join(PACKAGE, "pose_landmark_full.tflite"), "rb") as f:
            data = f.read()
        for cut in (16, 4096, len(data) // 2):
            with self.assertRaises(TFLiteError):
                Model(data[:cut])

    @needs_package
    def test_reads_both_models(self):
        detector = package_model(convert_pose_model.DETECTOR_FILE)
        landmark = package_model(convert_pose_model.LANDMARK_FILE)
        self.assertEqual(detector.tensors[detector.inputs[0]].shape, [1, 224, 224, 3])
        self.assertEqual([detector.tensors[i].shape for i in detector.outputs],
                         [[1, 2254, 12], [1, 2254, 1]])
        self.assertEqual(sum(t.sparsity is not None for t in detector.tensors), 38)
        self.assertEqual(landmark.tensors[landmark.inputs[0]].shape, [1, 256, 256, 3])
        self.assertEqual(landmark.tensors[landmark.outputs[0]].shape, [1, 195])
        known = {"ADD", "CONV_2D", "DEPTHWISE_CONV_2D", "DEQUANTIZE", "PAD", "RESIZE_BILINEAR",
                 "RESHAPE", "MAX_POOL_2D", "LOGISTIC", "DENSIFY", "DEPTH_TO_SPACE", "CONCATENATION"}
        for model in (detector, landmark):
            self.assertLessEqual({op.name for op in model.operators}, known)


class SemanticsTest(unittest.TestCase):
    def test_same_padding_puts_the_odd_pixel_at_the_end(self):
        cases = [  # size, kernel, stride, (begin, end)
            (224, 3, 2, (0, 1)), (225, 3, 2, (1, 1)), (7, 3, 1, (1, 1)),
            (8, 5, 2, (1, 2)), (4, 1, 1, (0, 0)), (28, 2, 2, (0, 0)),
        ]
        for size, kernel, stride, expected in cases:
            self.assertEqual(same_padding(size, kernel, stride, 1), expected, (size, kernel, stride))

    def test_densify_walks_dense_and_sparse_levels(self):
        # A 3x4 matrix in CSR form: rows dense, columns sparse.
        dense = np.array([[0, 1, 0, 2], [0, 0, 0, 0], [3, 0, 4, 0]], dtype=np.float16)
        values = np.array([1, 2, 3, 4], dtype=np.float16)
        sparsity = {"traversal_order": [0, 1], "block_map": [],
                    "dim_metadata": [{"format": 0, "dense_size": 3},
                                     {"format": 1, "dense_size": 4, "segments": [0, 2, 2, 4],
                                      "indices": [1, 3, 0, 2]}]}
        tensor = Tensor(0, "s", [3, 4], np.float16, 1, values.tobytes(), sparsity, None)
        np.testing.assert_array_equal(densify(tensor), dense)

    def test_densify_with_blocks(self):
        # 2x4 in 1x2 blocks: block column index sparse, block contents dense.
        dense = np.array([[0, 0, 5, 6], [7, 8, 0, 0]], dtype=np.float32)
        sparsity = {"traversal_order": [0, 1, 2], "block_map": [1],
                    "dim_metadata": [{"format": 0, "dense_size": 2},
                                     {"format": 1, "dense_size": 2, "segments": [0, 1, 2],
                                      "indices": [1, 0]},
                                     {"format": 0, "dense_size": 2}]}
        values = np.array([5, 6, 7, 8], dtype=np.float32)
        tensor = Tensor(0, "s", [2, 4], np.float32, 1, values.tobytes(), sparsity, None)
        np.testing.assert_array_equal(densify(tensor), dense)


@needs_runtime
class OperatorLayoutTest(unittest.TestCase):
    """Single operators where NHWC and NCHW disagree, converted and run."""

    def check(self, model, atol=1e-5):
        b = GraphBuilder()
        nchw = b.op("Transpose", ["input"], perm=[0, 3, 1, 2])
        outputs = convert_subgraph(model, b, "t", nchw)
        names = []
        for index in model.outputs:
            value, is_nchw = outputs[model.tensors[index].name]
            if is_nchw:
                value = b.op("Transpose", [value], perm=[0, 2, 3, 1])
            names.append((b.rename(value, "out%d" % index), model.tensors[index].shape))
        onnx_model = b.model([("input", model.tensors[model.inputs[0]].shape)], names)
        rng = np.random.default_rng(7)
        x = rng.standard_normal(model.tensors[model.inputs[0]].shape).astype(np.float32)
        got = run_onnx(onnx_model, {"input": x}, [n for n, _ in names])
        want = tflite_reference.run(model, x)
        for index, g in zip(model.outputs, got):
            np.testing.assert_allclose(g, want[model.tensors[index].name], atol=atol, rtol=1e-4)

    def test_convolutions_with_odd_sizes_and_strides(self):
        rng = np.random.default_rng(1)
        for size, stride, padding in ((9, 2, 0), (8, 2, 0), (9, 1, 1), (7, 2, 1)):
            with self.subTest(size=size, stride=stride, padding=padding):
                m = SyntheticModel([1, size, size, 3])
                w = m.tensor([4, 3, 3, 3], rng.standard_normal((4, 3, 3, 3)))
                bias = m.tensor([4], rng.standard_normal(4))
                out_size = -(-size // stride) if padding == 0 else (size - 3) // stride + 1
                y = m.op("CONV_2D", [m.inputs[0], w, bias], [1, out_size, out_size, 4],
                         **conv_options(padding, stride, activation=3))
                dw = m.tensor([1, 5, 5, 4], rng.standard_normal((1, 5, 5, 4)))
                y2 = m.op("DEPTHWISE_CONV_2D", [y, dw, -1], [1, out_size, out_size, 4],
                          depth_multiplier=1, **conv_options(0, 1))
                self.check(m.finish(y2))

    def test_flatten_concat_pad_resize_and_depth_to_space(self):
        m = SyntheticModel([1, 4, 6, 8])
        x = m.inputs[0]
        padded = m.op("PAD", [x, m.tensor([4, 2], [[0, 0], [1, 0], [0, 2], [0, 0]], np.int32)],
                      [1, 5, 8, 8])
        up = m.op("RESIZE_BILINEAR", [padded, m.tensor([2], [10, 16], np.int32)], [1, 10, 16, 8],
                  align_corners=False, half_pixel_centers=True)
        pooled = m.op("MAX_POOL_2D", [up], [1, 5, 8, 8], padding=1, stride_w=2, stride_h=2,
                      filter_w=2, filter_h=2, activation=0)
        space = m.op("DEPTH_TO_SPACE", [x], [1, 8, 12, 2], block_size=2)
        flat = m.op("RESHAPE", [pooled], [1, 40, 8], new_shape=[1, 40, 8])
        flat2 = m.op("RESHAPE", [space], [1, 96, 2], new_shape=[1, 96, 2])
        joined = m.op("CONCATENATION", [flat2, m.op("RESHAPE", [flat], [1, 160, 2])],
                      [1, 256, 2], axis=1, activation=0)
        channel_join = m.op("CONCATENATION", [x, x], [1, 4, 6, 16], axis=-1, activation=0)
        added = m.op("ADD", [channel_join, m.tensor([16], np.arange(16))], [1, 4, 6, 16],
                     activation=1)
        squashed = m.op("LOGISTIC", [m.op("RESHAPE", [added], [1, 384])], [1, 384])
        self.check(m.finish(joined, squashed))


@needs_runtime
@needs_package
class ConvertedModelTest(unittest.TestCase):
    def compare(self, name, input_shape, atol):
        model = package_model(name)
        rng = np.random.default_rng(3)
        x = rng.random(input_shape).astype(np.float32)
        if name == convert_pose_model.DETECTOR_FILE:
            x = x * 2.0 - 1.0
        names = [model.tensors[i].name for i in model.outputs]
        got = run_onnx(pose_graph.standalone(model), {"input": x}, names)
        want = tflite_reference.run(model, x)
        for n, g in zip(names, got):
            scale = max(1.0, float(np.abs(want[n]).max()))
            self.assertLess(float(np.abs(g - want[n]).max()) / scale, atol, n)

    def test_detector_matches_the_reference(self):
        self.compare(convert_pose_model.DETECTOR_FILE, (1, 224, 224, 3), 1e-3)

    def test_landmark_model_matches_the_reference(self):
        self.compare(convert_pose_model.LANDMARK_FILE, (1, 256, 256, 3), 1e-3)


class CropGeometryTest(unittest.TestCase):
    """The graph's geometry pieces, run on their own."""

    @needs_runtime
    def test_crop_points_up_from_hip_to_circle(self):
        cases = [  # hip, circle point, crop fraction (u, v) -> input pixel
            ((100, 300), (100, 200), (0.0, -0.5), (100, 300 - 125)),   # upright
            ((100, 300), (100, 200), (0.5, 0.0), (100 + 125, 300)),
            ((100, 300), (200, 300), (0.0, -0.5), (100 + 125, 300)),   # head to the right
            ((100, 300), (200, 300), (0.5, 0.0), (100, 300 + 125)),
        ]
        for hip, circle, (u, v), expected in cases:
            b = GraphBuilder()
            centre, side, cos, sin = pose_graph._crop_transform(
                b, b.f32(np.array([hip], np.float32)), b.f32(np.array([circle], np.float32)))
            x, y = pose_graph._to_input(b, b.f32(np.array([[u]], np.float32)),
                                        b.f32(np.array([[v]], np.float32)), centre, side, cos, sin)
            b.rename(b.op("Concat", [x, y], axis=1), "xy")
            b.nodes.insert(0, onnx.helper.make_node("Identity", ["dummy"], ["unused"]))
            model = b.model([("dummy", [1])], [("xy", [1, 2])])
            got = run_onnx(model, {"dummy": np.zeros(1, np.float32)}, ["xy"])[0]
            np.testing.assert_allclose(got[0], expected, atol=1e-3, err_msg=str((hip, circle, u, v)))


    @needs_runtime
    def test_heatmap_refines_only_nearby_confident_points(self):
        # Landmark 11 (left shoulder, COCO keypoint 5) has one confident
        # heatmap cell at column 10, row 20: its centre is crop pixel (42, 82).
        heatmap = np.full((1, pose_graph.LANDMARK_COUNT, 64, 64), -10.0, np.float32)
        heatmap[0, 11, 20, 10] = 10.0
        cases = [  # regressed point of keypoint 5 -> expected
            ((40.0, 80.0), (42.0, 82.0)),     # within the 7x7 window
            ((40.0, 100.0), (40.0, 100.0)),   # 5 cells away: kept
            ((200.0, 80.0), (200.0, 80.0)),
        ]
        for regressed, expected in cases:
            b = GraphBuilder()
            x = np.full((17, 1), 128.0, np.float32)
            y = np.full((17, 1), 128.0, np.float32)
            x[5, 0], y[5, 0] = regressed
            rx, ry = pose_graph._refine_from_heatmap(b, "heatmap", b.f32(x), b.f32(y))
            b.rename(b.op("Concat", [rx, ry], axis=1), "xy")
            model = b.model([("heatmap", list(heatmap.shape))], [("xy", [17, 2])])
            got = run_onnx(model, {"heatmap": heatmap}, ["xy"])[0]
            np.testing.assert_allclose(got[5], expected, atol=1e-3, err_msg=str(regressed))
            # No other keypoint has a confident cell: all stay where they were.
            np.testing.assert_allclose(np.delete(got, 5, axis=0), 128.0)


@needs_runtime
@needs_package
class PoseNetworkTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.model = pose_graph.pose_network(package_model(convert_pose_model.DETECTOR_FILE),
                                            package_model(convert_pose_model.LANDMARK_FILE))
        cls.session = ort_runner.Session(LIBRARY, cls.model.SerializeToString(), threads=2)

    @classmethod
    def tearDownClass(cls):
        cls.session.close()

    OUTPUTS = ["output0", "next_track", "candidate_tracks"]

    def infer(self, inputs):
        return self.session.run(inputs, self.OUTPUTS)

    @classmethod
    def two_astronauts(cls):
        """The astronaut twice, side by side at two sizes, in the network input."""
        if not hasattr(cls, "_two"):
            picture = read_png(os.path.join(os.path.dirname(__file__), "..", "..", "tests", "vision",
                                            "data", "astronaut.png"))
            x = np.full((1, 3, 640, 640), 114.0 / 255.0, dtype=np.float32)
            for left, top, size in ((0, 200, 360), (360, 300, 280)):
                rows = np.arange(size) * picture.shape[0] // size
                x[0, :, top:top + size, left:left + size] = picture[rows][:, rows].transpose(2, 0, 1) / 255.0
            cls._two = x
        return cls._two

    def test_meets_the_network_contract(self):
        graph = self.model.graph
        self.assertEqual([i.name for i in graph.input], ["images", "track"])
        self.assertEqual([o.name for o in graph.output], self.OUTPUTS)
        dims = lambda v: [d.dim_value for d in v.type.tensor_type.shape.dim]
        self.assertEqual(dims(graph.input[0]), [1, 3, 640, 640])
        self.assertEqual(dims(graph.output[0]), [1, 56, 8400])
        self.assertEqual(graph.input[0].type.tensor_type.elem_type, onnx.TensorProto.FLOAT)
        # "track" has a default, so a runner that feeds "images" alone works.
        defaults = {i.name: onnx.numpy_helper.to_array(i) for i in graph.initializer}
        np.testing.assert_array_equal(defaults["track"], pose_graph.NO_TRACK)

    def test_a_grey_picture_holds_nobody(self):
        x = np.full((1, 3, 640, 640), 114.0 / 255.0, dtype=np.float32)
        out, _, candidates = self.infer({"images": x})
        self.assertEqual(out.shape, (1, 56, 8400))
        self.assertTrue(np.all(out[0, :, 1:] == 0.0))
        self.assertTrue(np.all(np.isfinite(out[0, :, 0])))
        self.assertGreaterEqual(out[0, 4, 0], 0.0)
        self.assertLess(out[0, 4, 0], 0.5, "a grey picture holds no person")
        visibility = out[0, 7::3, 0]
        self.assertTrue(np.all((visibility >= 0.0) & (visibility <= 1.0)))
        np.testing.assert_array_equal(candidates[1:], 0.0)

    def test_offers_both_people_and_landmarks_either_from_its_crop(self):
        out, _, candidates = self.infer({"images": self.two_astronauts()})
        self.assertTrue(np.all(out[0, :, pose_graph.CANDIDATE_COUNT:] == 0.0))
        confident = out[0, 4, :pose_graph.CANDIDATE_COUNT] >= 0.5
        self.assertEqual(confident.tolist(), [True, True] + [False] * (pose_graph.CANDIDATE_COUNT - 2))
        # One on each side of x = 360, each box around its own face.
        sides = sorted(out[0, 0, :2] > 360.0)
        self.assertEqual(sides, [False, True])
        for anchor in range(2):
            tracked, _, _ = self.infer({"images": self.two_astronauts(),
                                      "track": candidates[anchor:anchor + 1]})
            nose = tracked[0, 5:7, 0]
            self.assertGreaterEqual(tracked[0, 4, 0], 0.5)
            self.assertEqual(nose[0] > 360.0, out[0, 0, anchor] > 360.0, (anchor, nose))

    def test_a_track_gives_what_the_detector_would_with_that_crop(self):
        x = self.two_astronauts()
        detected, next_track, candidates = self.infer({"images": x})
        tracked, _, _ = self.infer({"images": x, "track": candidates[0:1]})
        np.testing.assert_allclose(tracked[0, 5:, 0], detected[0, 5:, 0], atol=0.01)
        np.testing.assert_allclose(tracked[0, 0:4, 0], detected[0, 0:4, 0], atol=0.01)
        # The crop the landmarks give for the next frame keeps the person:
        # the keypoints seen move by a few pixels at most.
        followed, _, _ = self.infer({"images": x, "track": next_track})
        seen = detected[0, 7::3, 0] > 0.5
        self.assertGreaterEqual(int(seen.sum()), 7)
        for row in (5, 6):
            moved = np.abs(followed[0, row::3, 0] - detected[0, row::3, 0])[seen]
            self.assertLess(float(moved.max()), 15.0)
        # A track somewhere else lands somewhere else: the input is really used.
        elsewhere, _, _ = self.infer({"images": x, "track": np.array([[500, 100, 150, 1, 0]], np.float32)})
        self.assertGreater(float(np.abs(elsewhere[0, 5, 0] - detected[0, 5, 0])), 50.0)

    def test_the_default_track_means_detection(self):
        x = self.two_astronauts()
        alone = self.infer({"images": x})
        given = self.infer({"images": x, "track": pose_graph.NO_TRACK})
        for a, b in zip(alone, given):
            np.testing.assert_array_equal(a, b)
        self.assertGreater(float(alone[0][0, 4, 1]), 0.5, "the detector offered the second person")

    def test_writes_the_model_atomically(self):
        import tempfile
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "sub", "model.onnx")
            convert_pose_model.write_atomically(path, b"abc")
            with open(path, "rb") as f:
                self.assertEqual(f.read(), b"abc")
            self.assertEqual(os.listdir(os.path.dirname(path)), ["model.onnx"])
            self.assertEqual(os.stat(path).st_mode & 0o777, 0o644)


if __name__ == "__main__":
    unittest.main()
