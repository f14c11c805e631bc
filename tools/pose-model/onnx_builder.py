"""A thin helper for writing ONNX graphs node by node with unique names."""

import numpy as np
import onnx
from onnx import helper, numpy_helper, TensorProto

OPSET = 17


class GraphBuilder:
    def __init__(self):
        self.nodes = []
        self.initializers = []
        self._counter = 0
        self._constant_cache = {}

    def fresh(self, hint):
        self._counter += 1
        return "%s_%d" % (hint, self._counter)

    def const(self, array, hint="const"):
        """An initializer holding `array` (float64 becomes float32)."""
        array = np.asarray(array)
        if array.dtype == np.float64:
            array = array.astype(np.float32)
        key = None
        if array.size <= 16:
            key = (array.dtype.str, array.shape, array.tobytes())
            if key in self._constant_cache:
                return self._constant_cache[key]
        name = self.fresh(hint)
        self.initializers.append(numpy_helper.from_array(np.ascontiguousarray(array), name))
        if key is not None:
            self._constant_cache[key] = name
        return name

    def i64(self, values, hint="shape"):
        return self.const(np.asarray(values, dtype=np.int64), hint)

    def f32(self, values, hint="value"):
        return self.const(np.asarray(values, dtype=np.float32), hint)

    def op(self, op_type, inputs, hint=None, outputs=1, **attributes):
        """Append one node; returns its output name (or a list of them)."""
        names = [self.fresh(hint or op_type.lower()) for _ in range(outputs)]
        self.nodes.append(helper.make_node(op_type, list(inputs), names, **attributes))
        return names[0] if outputs == 1 else names

    def rename(self, value, final_name):
        """Give a value a fixed graph-output name."""
        self.nodes.append(helper.make_node("Identity", [value], [final_name]))
        return final_name

    def model(self, inputs, outputs, doc=""):
        """inputs/outputs: lists of (name, shape) float tensors."""
        graph = helper.make_graph(
            self.nodes, "pose",
            [helper.make_tensor_value_info(n, TensorProto.FLOAT, s) for n, s in inputs],
            [helper.make_tensor_value_info(n, TensorProto.FLOAT, s) for n, s in outputs],
            self.initializers)
        model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                                  producer_name="kestro-pose-model", doc_string=doc)
        # ONNX Runtime 1.x reads IR version 8 models; python3-onnx 1.12 writes 8 by default.
        model.ir_version = 8
        onnx.checker.check_model(model)
        return model
