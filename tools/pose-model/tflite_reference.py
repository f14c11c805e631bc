"""A direct NumPy interpreter of the TFLite operators the pose models use.

It works in TFLite's own NHWC layout and follows the TFLite semantics
(SAME padding with the odd pixel at the end, filter layouts, half-pixel
bilinear resizing, NHWC flattening) without sharing any code with the ONNX
converter, so that the converter's tests compare two independent readings
of the same model.
"""

import numpy as np
from numpy.lib.stride_tricks import as_strided

from tflite_reader import densify


def _pad_amounts(size, kernel, stride, dilation, padding):
    if padding == 1:  # VALID
        return 0, 0
    out = (size + stride - 1) // stride
    total = max(0, (out - 1) * stride + (kernel - 1) * dilation + 1 - size)
    return total // 2, total - total // 2


def _windows(x, kh, kw, stride_h, stride_w, dil_h, dil_w, padding, fill=0.0):
    """[N, OH, OW, KH, KW, C] views of the padded input."""
    n, h, w, c = x.shape
    top, bottom = _pad_amounts(h, kh, stride_h, dil_h, padding)
    left, right = _pad_amounts(w, kw, stride_w, dil_w, padding)
    x = np.pad(x, ((0, 0), (top, bottom), (left, right), (0, 0)), constant_values=fill)
    n, hp, wp, c = x.shape
    oh = (hp - ((kh - 1) * dil_h + 1)) // stride_h + 1
    ow = (wp - ((kw - 1) * dil_w + 1)) // stride_w + 1
    s = x.strides
    return as_strided(x, (n, oh, ow, kh, kw, c),
                      (s[0], s[1] * stride_h, s[2] * stride_w, s[1] * dil_h, s[2] * dil_w, s[3]))


def _activation(x, code):
    if code == 1:
        return np.maximum(x, 0)
    if code == 2:
        return np.clip(x, -1, 1)
    if code == 3:
        return np.clip(x, 0, 6)
    if code != 0:
        raise ValueError("activation %d" % code)
    return x


def conv_2d(x, weights, bias, o):
    # weights [O, KH, KW, I]
    win = _windows(x, weights.shape[1], weights.shape[2], o["stride_h"], o["stride_w"],
                   o["dilation_h"], o["dilation_w"], o["padding"])
    y = np.tensordot(win, weights, axes=([3, 4, 5], [1, 2, 3]))
    if bias is not None:
        y = y + bias
    return _activation(y, o["activation"])


def depthwise_conv_2d(x, weights, bias, o):
    # weights [1, KH, KW, C * M]; output channel ic * M + m reads input channel ic.
    multiplier = o["depth_multiplier"] or weights.shape[3] // x.shape[3]
    if multiplier != 1:
        x = np.repeat(x, multiplier, axis=3)
    win = _windows(x, weights.shape[1], weights.shape[2], o["stride_h"], o["stride_w"],
                   o["dilation_h"], o["dilation_w"], o["padding"])
    y = np.einsum("nhwijc,ijc->nhwc", win, weights[0])
    if bias is not None:
        y = y + bias
    return _activation(y, o["activation"])


def max_pool_2d(x, o):
    win = _windows(x, o["filter_h"], o["filter_w"], o["stride_h"], o["stride_w"], 1, 1,
                   o["padding"], fill=-np.inf)
    return _activation(win.max(axis=(3, 4)), o["activation"])


def average_pool_2d(x, o):
    win = _windows(x, o["filter_h"], o["filter_w"], o["stride_h"], o["stride_w"], 1, 1,
                   o["padding"])
    ones = _windows(np.ones_like(x[..., :1]), o["filter_h"], o["filter_w"], o["stride_h"],
                    o["stride_w"], 1, 1, o["padding"])
    return _activation(win.sum(axis=(3, 4)) / ones.sum(axis=(3, 4)), o["activation"])


def resize_bilinear(x, new_h, new_w, align_corners, half_pixel):
    n, h, w, c = x.shape

    def source(out_size, in_size):
        if align_corners and out_size > 1:
            scale = (in_size - 1) / (out_size - 1)
        else:
            scale = in_size / out_size
        dst = np.arange(out_size, dtype=np.float64)
        src = (dst + 0.5) * scale - 0.5 if half_pixel else dst * scale
        low = np.floor(src)
        frac = src - low
        low_i = np.clip(low.astype(np.int64), 0, in_size - 1)
        high_i = np.clip(low.astype(np.int64) + 1, 0, in_size - 1)
        return low_i, high_i, frac

    y0, y1, fy = source(new_h, h)
    x0, x1, fx = source(new_w, w)
    fy = fy[None, :, None, None]
    fx = fx[None, None, :, None]
    top = x[:, y0][:, :, x0] * (1 - fx) + x[:, y0][:, :, x1] * fx
    bottom = x[:, y1][:, :, x0] * (1 - fx) + x[:, y1][:, :, x1] * fx
    return (top * (1 - fy) + bottom * fy).astype(np.float32)


def depth_to_space(x, block):
    n, h, w, c = x.shape
    out_c = c // (block * block)
    y = x.reshape(n, h, w, block, block, out_c).transpose(0, 1, 3, 2, 4, 5)
    return y.reshape(n, h * block, w * block, out_c)


def run(model, input_array):
    """Run the main subgraph; returns {output tensor name: array}."""
    values = {}

    def get(index):
        if index in values:
            return values[index]
        tensor = model.tensors[index]
        if tensor.sparsity is not None:
            return densify(tensor)
        array = tensor.constant()
        if array is None:
            raise ValueError("tensor %s has no value" % tensor.name)
        return array

    values[model.inputs[0]] = input_array.astype(np.float32)
    for op in model.operators:
        ins = op.inputs
        o = op.options
        name = op.name
        if name == "DEQUANTIZE":
            tensor = model.tensors[ins[0]]
            q = get(ins[0])
            if np.issubdtype(q.dtype, np.floating):
                out = q.astype(np.float32)
            else:
                qp = tensor.quantization
                scale = np.asarray(qp["scale"], np.float32)
                zero = np.asarray(qp["zero_point"], np.float32)
                if scale.size > 1:
                    shape = [1] * q.ndim
                    shape[qp["axis"]] = -1
                    scale, zero = scale.reshape(shape), zero.reshape(shape)
                out = (q.astype(np.float32) - zero) * scale
        elif name == "DENSIFY":
            out = get(ins[0])
        elif name == "CONV_2D":
            bias = get(ins[2]) if len(ins) > 2 and ins[2] >= 0 else None
            out = conv_2d(get(ins[0]), get(ins[1]).astype(np.float32), bias, o)
        elif name == "DEPTHWISE_CONV_2D":
            bias = get(ins[2]) if len(ins) > 2 and ins[2] >= 0 else None
            out = depthwise_conv_2d(get(ins[0]), get(ins[1]).astype(np.float32), bias, o)
        elif name == "ADD":
            out = _activation(get(ins[0]) + get(ins[1]), o["activation"])
        elif name == "MUL":
            out = _activation(get(ins[0]) * get(ins[1]), o["activation"])
        elif name == "PAD":
            out = np.pad(get(ins[0]), [tuple(p) for p in get(ins[1]).astype(np.int64)])
        elif name == "RESIZE_BILINEAR":
            new_h, new_w = [int(v) for v in get(ins[1])]
            out = resize_bilinear(get(ins[0]), new_h, new_w, o["align_corners"],
                                  o["half_pixel_centers"])
        elif name == "RESHAPE":
            out = get(ins[0]).reshape(model.tensors[op.outputs[0]].shape)
        elif name == "MAX_POOL_2D":
            out = max_pool_2d(get(ins[0]), o)
        elif name == "AVERAGE_POOL_2D":
            out = average_pool_2d(get(ins[0]), o)
        elif name == "LOGISTIC":
            out = 1.0 / (1.0 + np.exp(-get(ins[0])))
        elif name == "RELU":
            out = np.maximum(get(ins[0]), 0)
        elif name == "RELU6":
            out = np.clip(get(ins[0]), 0, 6)
        elif name == "DEPTH_TO_SPACE":
            out = depth_to_space(get(ins[0]), o["block_size"])
        elif name == "CONCATENATION":
            out = _activation(np.concatenate([get(i) for i in ins], axis=o["axis"]),
                              o["activation"])
        else:
            raise ValueError("operator %s" % name)
        values[op.outputs[0]] = np.asarray(out, dtype=np.float16 if name == "DENSIFY" else np.float32)
    return {model.tensors[i].name: values[i] for i in model.outputs}
