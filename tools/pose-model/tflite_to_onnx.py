"""Translate the main subgraph of a TFLite model into ONNX nodes.

TFLite activations are NHWC; ONNX convolutions want NCHW. Every 4-D
activation is therefore kept in NCHW inside the ONNX graph, and the few
operators whose meaning depends on memory order (RESHAPE, CONCATENATION's
axis, PAD's paddings, constant operands of ADD) translate between the two.
Constants (float16 weights behind DEQUANTIZE, sparse weights behind DENSIFY)
are folded into float32 initializers here, so the graph holds no
quantisation or sparsity at all.
"""

import numpy as np

from tflite_reader import TFLiteError, densify

# NHWC axis -> NCHW axis for 4-D activations.
NHWC_TO_NCHW_AXIS = [0, 2, 3, 1]

ACTIVATION_NONE, ACTIVATION_RELU, ACTIVATION_RELU_N1_TO_1, ACTIVATION_RELU6 = 0, 1, 2, 3
PADDING_SAME, PADDING_VALID = 0, 1


def same_padding(size, kernel, stride, dilation):
    """(begin, end) of TFLite SAME padding: the odd pixel goes at the end."""
    out = -(-size // stride)
    effective = (kernel - 1) * dilation + 1
    total = max(0, (out - 1) * stride + effective - size)
    return total // 2, total - total // 2


class _Value:
    def __init__(self, name, nchw):
        self.name = name
        self.nchw = nchw    # a 4-D activation stored as NCHW


class SubgraphConverter:
    def __init__(self, model, builder, prefix):
        self.model = model
        self.b = builder
        self.prefix = prefix
        self.values = {}      # tensor index -> _Value
        self.constants = {}   # tensor index -> folded numpy array

    # ---- constants -------------------------------------------------------
    def constant(self, index):
        if index in self.constants:
            return self.constants[index]
        tensor = self.model.tensors[index]
        if tensor.sparsity is not None:
            array = densify(tensor)
        else:
            array = tensor.constant()
        if array is not None:
            self.constants[index] = array
        return array

    def is_constant(self, index):
        return self.constant(index) is not None

    def _dequantize(self, tensor, array):
        if array.dtype == np.float16:
            return array.astype(np.float32)
        q = tensor.quantization
        if q is None:
            raise TFLiteError("DEQUANTIZE of %s without quantisation parameters" % tensor.name)
        scale = np.asarray(q["scale"], dtype=np.float32)
        zero = np.asarray(q["zero_point"] or [0] * scale.size, dtype=np.float32)
        if scale.size > 1:
            shape = [1] * array.ndim
            shape[q["axis"]] = scale.size
            scale, zero = scale.reshape(shape), zero.reshape(shape)
        return ((array.astype(np.float32) - zero) * scale).astype(np.float32)

    # ---- activations -----------------------------------------------------
    def value(self, index):
        if index in self.values:
            return self.values[index]
        array = self.constant(index)
        if array is None:
            raise TFLiteError("%s: tensor %s is used before it is computed"
                              % (self.prefix, self.model.tensors[index].name))
        array = array.astype(np.float32)
        nchw = array.ndim == 4
        if nchw:
            array = array.transpose(0, 3, 1, 2)
        value = _Value(self.b.const(array, self.prefix + "c"), nchw)
        self.values[index] = value
        return value

    def shape(self, index):
        return list(self.model.tensors[index].shape)

    def _activation(self, name, code):
        if code == ACTIVATION_NONE:
            return name
        if code == ACTIVATION_RELU:
            return self.b.op("Relu", [name])
        if code == ACTIVATION_RELU6:
            return self.b.op("Clip", [name, self.b.f32(0.0), self.b.f32(6.0)], hint="relu6")
        if code == ACTIVATION_RELU_N1_TO_1:
            return self.b.op("Clip", [name, self.b.f32(-1.0), self.b.f32(1.0)])
        raise TFLiteError("unsupported fused activation %d" % code)

    def _spatial_pads(self, op, in_index, kernel_h, kernel_w, dil_h=1, dil_w=1):
        if op.options["padding"] == PADDING_VALID:
            return [0, 0, 0, 0]
        _, h, w, _ = self.shape(in_index)
        top, bottom = same_padding(h, kernel_h, op.options["stride_h"], dil_h)
        left, right = same_padding(w, kernel_w, op.options["stride_w"], dil_w)
        return [top, left, bottom, right]

    def _to_nhwc(self, value):
        if not value.nchw:
            return value.name
        return self.b.op("Transpose", [value.name], perm=[0, 2, 3, 1])

    # ---- operators -------------------------------------------------------
    def convert(self, input_values, wanted):
        """input_values: tensor index -> (onnx name, is NCHW); wanted: the
        output tensor indices to compute. Operators that feed none of them
        (the landmark model's segmentation head, say) are left out."""
        for index, (name, nchw) in input_values.items():
            self.values[index] = _Value(name, nchw)
        needed = set(wanted)
        used = []
        for op in reversed(self.model.operators):
            if any(o in needed for o in op.outputs):
                used.append(op)
                needed.update(i for i in op.inputs if i >= 0)
        for op in reversed(used):
            handler = getattr(self, "_op_" + op.name.lower(), None)
            if handler is None:
                raise TFLiteError("operator %s is not supported" % op.name)
            handler(op)

    def output(self, index):
        return self.value(index)

    def _set(self, op, name, nchw):
        self.values[op.outputs[0]] = _Value(name, nchw)

    def _op_dequantize(self, op):
        array = self.constant(op.inputs[0])
        if array is None:
            raise TFLiteError("DEQUANTIZE of a computed tensor is not supported")
        self.constants[op.outputs[0]] = self._dequantize(self.model.tensors[op.inputs[0]], array)

    def _op_densify(self, op):
        array = self.constant(op.inputs[0])
        if array is None:
            raise TFLiteError("DENSIFY of a computed tensor is not supported")
        self.constants[op.outputs[0]] = array

    def _op_conv_2d(self, op):
        x = self.value(op.inputs[0])
        weights = self.constant(op.inputs[1]).astype(np.float32)   # [O, kh, kw, I]
        o = op.options
        inputs = [x.name, self.b.const(weights.transpose(0, 3, 1, 2), self.prefix + "w")]
        if len(op.inputs) > 2 and op.inputs[2] >= 0:
            inputs.append(self.b.const(self.constant(op.inputs[2]).astype(np.float32),
                                       self.prefix + "b"))
        pads = self._spatial_pads(op, op.inputs[0], weights.shape[1], weights.shape[2],
                                  o["dilation_h"], o["dilation_w"])
        y = self.b.op("Conv", inputs, kernel_shape=list(weights.shape[1:3]),
                      strides=[o["stride_h"], o["stride_w"]], pads=pads,
                      dilations=[o["dilation_h"], o["dilation_w"]])
        self._set(op, self._activation(y, o["activation"]), True)

    def _op_depthwise_conv_2d(self, op):
        x = self.value(op.inputs[0])
        weights = self.constant(op.inputs[1]).astype(np.float32)   # [1, kh, kw, C*M]
        o = op.options
        channels_in = self.shape(op.inputs[0])[3]
        onnx_weights = weights.transpose(3, 0, 1, 2)                # [C*M, 1, kh, kw]
        inputs = [x.name, self.b.const(onnx_weights, self.prefix + "dw")]
        if len(op.inputs) > 2 and op.inputs[2] >= 0:
            inputs.append(self.b.const(self.constant(op.inputs[2]).astype(np.float32),
                                       self.prefix + "b"))
        pads = self._spatial_pads(op, op.inputs[0], weights.shape[1], weights.shape[2],
                                  o["dilation_h"], o["dilation_w"])
        y = self.b.op("Conv", inputs, kernel_shape=list(weights.shape[1:3]),
                      strides=[o["stride_h"], o["stride_w"]], pads=pads,
                      dilations=[o["dilation_h"], o["dilation_w"]], group=channels_in)
        self._set(op, self._activation(y, o["activation"]), True)

    def _broadcast_operand(self, index, other_nchw):
        """A constant operand laid out to broadcast against an NCHW activation."""
        array = self.constant(index).astype(np.float32)
        if other_nchw:
            if array.ndim == 4:
                array = array.transpose(0, 3, 1, 2)
            elif array.ndim >= 1:
                # The last NHWC axis is the channel axis.
                array = array.reshape(list(array.shape[:-1]) + [array.shape[-1], 1, 1])
                while array.ndim < 4:
                    array = array[np.newaxis]
        return self.b.const(array, self.prefix + "k")

    def _binary(self, op, onnx_type):
        a_index, b_index = op.inputs[:2]
        if self.is_constant(a_index) and a_index not in self.values:
            a_index, b_index = b_index, a_index
        a = self.value(a_index)
        if self.is_constant(b_index) and b_index not in self.values:
            b_name = self._broadcast_operand(b_index, a.nchw)
        else:
            b = self.value(b_index)
            if a.nchw != b.nchw:
                raise TFLiteError("%s of mixed layouts" % op.name)
            b_name = b.name
        y = self.b.op(onnx_type, [a.name, b_name])
        self._set(op, self._activation(y, op.options.get("activation", 0)), a.nchw)

    def _op_add(self, op):
        self._binary(op, "Add")

    def _op_mul(self, op):
        self._binary(op, "Mul")

    def _op_pad(self, op):
        x = self.value(op.inputs[0])
        paddings = self.constant(op.inputs[1]).astype(np.int64)     # [rank, 2]
        if x.nchw:
            paddings = paddings[[0, 3, 1, 2]]   # NHWC rows in NCHW axis order
        pads = list(paddings[:, 0]) + list(paddings[:, 1])
        y = self.b.op("Pad", [x.name, self.b.i64(pads)], mode="constant")
        self._set(op, y, x.nchw)

    def _op_resize_bilinear(self, op):
        x = self.value(op.inputs[0])
        new_h, new_w = [int(v) for v in self.constant(op.inputs[1])]
        n, _, _, c = self.shape(op.inputs[0])
        o = op.options
        if o["align_corners"]:
            mode = "align_corners"
        elif o["half_pixel_centers"]:
            mode = "half_pixel"
        else:
            mode = "asymmetric"
        y = self.b.op("Resize", [x.name, "", "", self.b.i64([n, c, new_h, new_w])],
                      mode="linear", coordinate_transformation_mode=mode)
        self._set(op, y, True)

    def _op_reshape(self, op):
        x = self.value(op.inputs[0])
        target = self.shape(op.outputs[0])
        y = self.b.op("Reshape", [self._to_nhwc(x), self.b.i64(target)])
        if len(target) == 4:
            y = self.b.op("Transpose", [y], perm=[0, 3, 1, 2])
        self._set(op, y, len(target) == 4)

    def _pool(self, op, onnx_type, **extra):
        x = self.value(op.inputs[0])
        o = op.options
        pads = self._spatial_pads(op, op.inputs[0], o["filter_h"], o["filter_w"])
        y = self.b.op(onnx_type, [x.name], kernel_shape=[o["filter_h"], o["filter_w"]],
                      strides=[o["stride_h"], o["stride_w"]], pads=pads, **extra)
        self._set(op, self._activation(y, o["activation"]), True)

    def _op_max_pool_2d(self, op):
        self._pool(op, "MaxPool")

    def _op_average_pool_2d(self, op):
        self._pool(op, "AveragePool", count_include_pad=0)

    def _op_logistic(self, op):
        x = self.value(op.inputs[0])
        self._set(op, self.b.op("Sigmoid", [x.name]), x.nchw)

    def _op_relu(self, op):
        x = self.value(op.inputs[0])
        self._set(op, self._activation(x.name, ACTIVATION_RELU), x.nchw)

    def _op_relu6(self, op):
        x = self.value(op.inputs[0])
        self._set(op, self._activation(x.name, ACTIVATION_RELU6), x.nchw)

    def _op_depth_to_space(self, op):
        x = self.value(op.inputs[0])
        # TFLite's NHWC channel order (row, column, channel) is ONNX's DCR mode.
        y = self.b.op("DepthToSpace", [x.name], blocksize=op.options["block_size"], mode="DCR")
        self._set(op, y, True)

    def _op_concatenation(self, op):
        values = [self.value(i) for i in op.inputs]
        nchw = values[0].nchw
        if any(v.nchw != nchw for v in values):
            raise TFLiteError("CONCATENATION of mixed layouts")
        rank = len(self.shape(op.outputs[0]))
        axis = op.options["axis"] % rank
        if nchw:
            axis = NHWC_TO_NCHW_AXIS[axis]
        y = self.b.op("Concat", [v.name for v in values], axis=axis)
        self._set(op, self._activation(y, op.options["activation"]), nchw)


def convert_subgraph(model, builder, prefix, input_name, input_nchw=True, outputs=None):
    """Convert `model` fed by ONNX value `input_name` (its one input).

    outputs: names of the TFLite outputs wanted (default: all of them).
    Returns a dict: TFLite output tensor name -> (ONNX value, is NCHW).
    """
    if len(model.inputs) != 1:
        raise TFLiteError("expected a model with one input, found %d" % len(model.inputs))
    wanted = [i for i in model.outputs if outputs is None or model.tensors[i].name in outputs]
    if outputs is not None and len(wanted) != len(outputs):
        raise TFLiteError("%s: the model lacks some of the outputs %s" % (prefix, outputs))
    converter = SubgraphConverter(model, builder, prefix)
    converter.convert({model.inputs[0]: (input_name, input_nchw)}, wanted)
    result = {}
    for index in wanted:
        value = converter.output(index)
        result[model.tensors[index].name] = (value.name, value.nchw)
    return result
