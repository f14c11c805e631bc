"""A small reader for TFLite model files.

The files are FlatBuffers binaries; we walk the tables by hand so that the
converter needs nothing beyond NumPy. Only the fields the converter uses are
decoded. Every offset is bounds-checked, so a truncated or corrupted file
raises TFLiteError instead of producing nonsense.
"""

import struct

import numpy as np


class TFLiteError(ValueError):
    pass


# TensorType codes -> NumPy dtypes.
TENSOR_TYPES = {
    0: np.float32,
    1: np.float16,
    2: np.int32,
    3: np.uint8,
    4: np.int64,
    6: np.bool_,
    7: np.int16,
    9: np.int8,
    10: np.float64,
}

# Builtin operator codes the converter knows by name.
OPERATOR_NAMES = {
    0: "ADD", 1: "AVERAGE_POOL_2D", 2: "CONCATENATION", 3: "CONV_2D",
    4: "DEPTHWISE_CONV_2D", 5: "DEPTH_TO_SPACE", 6: "DEQUANTIZE",
    9: "FULLY_CONNECTED", 14: "LOGISTIC", 17: "MAX_POOL_2D", 18: "MUL",
    19: "RELU", 21: "RELU6", 22: "RESHAPE", 23: "RESIZE_BILINEAR",
    34: "PAD", 54: "PRELU", 124: "DENSIFY",
}


class _Buffer:
    """Bounds-checked little-endian access to the file bytes."""

    def __init__(self, data):
        self.data = data

    def _unpack(self, fmt, pos):
        size = struct.calcsize(fmt)
        if pos < 0 or pos + size > len(self.data):
            raise TFLiteError("read of %d bytes at %d is outside the file (%d bytes)"
                              % (size, pos, len(self.data)))
        return struct.unpack_from(fmt, self.data, pos)[0]

    def u8(self, pos):
        return self._unpack("<B", pos)

    def i8(self, pos):
        return self._unpack("<b", pos)

    def u16(self, pos):
        return self._unpack("<H", pos)

    def i32(self, pos):
        return self._unpack("<i", pos)

    def u32(self, pos):
        return self._unpack("<I", pos)

    def u64(self, pos):
        return self._unpack("<Q", pos)

    def bytes_at(self, pos, length):
        if pos < 0 or length < 0 or pos + length > len(self.data):
            raise TFLiteError("byte range %d+%d is outside the file" % (pos, length))
        return self.data[pos:pos + length]


class _Table:
    """One FlatBuffers table: fields are looked up through its vtable."""

    def __init__(self, buf, pos):
        self.buf = buf
        self.pos = pos
        self.vtable = pos - buf.i32(pos)
        self.vtable_size = buf.u16(self.vtable)

    def _field_pos(self, index):
        entry = 4 + 2 * index
        if entry >= self.vtable_size:
            return None
        offset = self.buf.u16(self.vtable + entry)
        if offset == 0:
            return None
        return self.pos + offset

    def scalar(self, index, kind, default=0):
        pos = self._field_pos(index)
        if pos is None:
            return default
        return getattr(self.buf, kind)(pos)

    def _target(self, index):
        pos = self._field_pos(index)
        if pos is None:
            return None
        return pos + self.buf.u32(pos)

    def table(self, index):
        target = self._target(index)
        return None if target is None else _Table(self.buf, target)

    def string(self, index):
        target = self._target(index)
        if target is None:
            return ""
        length = self.buf.u32(target)
        return self.buf.bytes_at(target + 4, length).decode("utf-8", "replace")

    def vector(self, index, kind):
        """A vector of scalars as a list (kind: 'i32', 'u8', ...)."""
        target = self._target(index)
        if target is None:
            return []
        count = self.buf.u32(target)
        width = {"u8": 1, "i8": 1, "u16": 2, "i32": 4, "u32": 4, "f32": 4, "i64": 8}[kind]
        raw = self.buf.bytes_at(target + 4, count * width)
        fmt = {"u8": "B", "i8": "b", "u16": "H", "i32": "i", "u32": "I", "f32": "f", "i64": "q"}[kind]
        return list(struct.unpack("<%d%s" % (count, fmt), raw))

    def vector_bytes(self, index):
        target = self._target(index)
        if target is None:
            return b""
        count = self.buf.u32(target)
        return self.buf.bytes_at(target + 4, count)

    def tables(self, index):
        target = self._target(index)
        if target is None:
            return []
        count = self.buf.u32(target)
        result = []
        for k in range(count):
            ref = target + 4 + 4 * k
            result.append(_Table(self.buf, ref + self.buf.u32(ref)))
        return result

    def union(self, index):
        """(type code, table) of a union occupying fields index and index + 1."""
        code = self.scalar(index, "u8")
        if code == 0:
            return 0, None
        return code, self.table(index + 1)


class Tensor:
    def __init__(self, index, name, shape, dtype, buffer_index, data, sparsity, quantization):
        self.index = index
        self.name = name
        self.shape = shape
        self.dtype = dtype
        self.buffer_index = buffer_index
        self.data = data            # raw bytes of a constant, or None
        self.sparsity = sparsity    # dict for sparse constants, or None
        self.quantization = quantization

    def constant(self):
        """The constant's values as an array of its own shape (dense data only)."""
        if self.data is None or self.sparsity is not None:
            return None
        array = np.frombuffer(self.data, dtype=np.dtype(self.dtype).newbyteorder("<"))
        expected = int(np.prod(self.shape)) if self.shape else 1
        if array.size != expected:
            raise TFLiteError("tensor %s holds %d values, its shape %s needs %d"
                              % (self.name, array.size, self.shape, expected))
        return array.reshape(self.shape).astype(self.dtype)


class Operator:
    def __init__(self, name, code, inputs, outputs, options_type, options):
        self.name = name
        self.code = code
        self.inputs = inputs
        self.outputs = outputs
        self.options_type = options_type
        self.options = options      # decoded option dict


def _read_options(name, table):
    """Decode the option table of the operators we convert."""
    if table is None:
        table_get = lambda index, kind, default=0: default
    else:
        table_get = table.scalar
    if name == "CONV_2D":
        return {"padding": table_get(0, "i8"), "stride_w": table_get(1, "i32"),
                "stride_h": table_get(2, "i32"), "activation": table_get(3, "i8"),
                "dilation_w": table_get(4, "i32", 1), "dilation_h": table_get(5, "i32", 1)}
    if name == "DEPTHWISE_CONV_2D":
        return {"padding": table_get(0, "i8"), "stride_w": table_get(1, "i32"),
                "stride_h": table_get(2, "i32"), "depth_multiplier": table_get(3, "i32"),
                "activation": table_get(4, "i8"),
                "dilation_w": table_get(5, "i32", 1), "dilation_h": table_get(6, "i32", 1)}
    if name in ("MAX_POOL_2D", "AVERAGE_POOL_2D"):
        return {"padding": table_get(0, "i8"), "stride_w": table_get(1, "i32"),
                "stride_h": table_get(2, "i32"), "filter_w": table_get(3, "i32"),
                "filter_h": table_get(4, "i32"), "activation": table_get(5, "i8")}
    if name == "CONCATENATION":
        return {"axis": table_get(0, "i32"), "activation": table_get(1, "i8")}
    if name in ("ADD", "MUL"):
        return {"activation": table_get(0, "i8")}
    if name == "RESIZE_BILINEAR":
        return {"align_corners": bool(table_get(2, "u8")),
                "half_pixel_centers": bool(table_get(3, "u8"))}
    if name == "RESHAPE":
        return {"new_shape": table.vector(0, "i32") if table is not None else []}
    if name == "DEPTH_TO_SPACE":
        return {"block_size": table_get(0, "i32")}
    return {}


def _read_sparsity(table):
    if table is None:
        return None
    levels = []
    for dim in table.tables(2):
        level = {"format": dim.scalar(0, "i8"), "dense_size": dim.scalar(1, "i32")}
        if level["format"] == 1:
            kinds = {1: "i32", 2: "u16", 3: "u8"}
            seg_type, seg_table = dim.union(2)
            idx_type, idx_table = dim.union(4)
            if seg_type not in kinds or idx_type not in kinds:
                raise TFLiteError("unknown sparse index vector type")
            level["segments"] = seg_table.vector(0, kinds[seg_type])
            level["indices"] = idx_table.vector(0, kinds[idx_type])
        levels.append(level)
    return {"traversal_order": table.vector(0, "i32"),
            "block_map": table.vector(1, "i32"),
            "dim_metadata": levels}


class Model:
    """The main subgraph of a TFLite file: tensors, operators, inputs, outputs."""

    def __init__(self, data):
        if len(data) < 8:
            raise TFLiteError("file too short for a TFLite model")
        buf = _Buffer(bytes(data))
        if buf.bytes_at(4, 4) != b"TFL3":
            raise TFLiteError("not a TFLite model (identifier %r)" % buf.bytes_at(4, 4))
        root = _Table(buf, buf.u32(0))
        buffers = root.tables(4)
        codes = []
        for code_table in root.tables(1):
            deprecated = code_table.scalar(0, "i8")
            builtin = code_table.scalar(3, "i32")
            codes.append(max(builtin, deprecated))
        subgraphs = root.tables(2)
        if not subgraphs:
            raise TFLiteError("model has no subgraph")
        graph = subgraphs[0]

        self.tensors = []
        for index, t in enumerate(graph.tables(0)):
            type_code = t.scalar(1, "i8")
            if type_code not in TENSOR_TYPES:
                raise TFLiteError("tensor %d has unsupported type %d" % (index, type_code))
            buffer_index = t.scalar(2, "u32")
            data = None
            if buffer_index != 0:
                if buffer_index >= len(buffers):
                    raise TFLiteError("tensor %d names buffer %d of %d"
                                      % (index, buffer_index, len(buffers)))
                raw = buffers[buffer_index].vector_bytes(0)
                if raw:
                    data = raw
            quant = t.table(4)
            quantization = None
            if quant is not None:
                scales = quant.vector(2, "f32")
                if scales:
                    quantization = {"scale": scales, "zero_point": quant.vector(3, "i64"),
                                    "axis": quant.scalar(6, "i32")}
            self.tensors.append(Tensor(index, t.string(3), t.vector(0, "i32"),
                                       TENSOR_TYPES[type_code], buffer_index, data,
                                       _read_sparsity(t.table(6)), quantization))
        self.inputs = graph.vector(1, "i32")
        self.outputs = graph.vector(2, "i32")
        self.operators = []
        for op in graph.tables(3):
            opcode_index = op.scalar(0, "u32")
            if opcode_index >= len(codes):
                raise TFLiteError("operator names opcode %d of %d" % (opcode_index, len(codes)))
            code = codes[opcode_index]
            name = OPERATOR_NAMES.get(code, "BUILTIN_%d" % code)
            options_type, options = op.union(3)
            self.operators.append(Operator(name, code, op.vector(1, "i32"), op.vector(2, "i32"),
                                           options_type, _read_options(name, options)))
        for op in self.operators:
            for t in op.inputs + op.outputs:
                if t >= len(self.tensors):
                    raise TFLiteError("operator %s names tensor %d of %d"
                                      % (op.name, t, len(self.tensors)))

    @classmethod
    def from_file(cls, path):
        with open(path, "rb") as f:
            return cls(f.read())


def densify(tensor):
    """Expand a sparse constant into its dense array (the DENSIFY semantics)."""
    sp = tensor.sparsity
    values = np.frombuffer(tensor.data, dtype=np.dtype(tensor.dtype).newbyteorder("<"))
    shape = list(tensor.shape)
    n = len(shape)
    order = sp["traversal_order"]
    block_map = sp["block_map"]
    levels = sp["dim_metadata"]
    k = len(block_map)
    if len(order) != n + k or len(levels) != n + k:
        raise TFLiteError("sparse tensor %s: inconsistent metadata" % tensor.name)
    block_size = [levels[order[n + b]]["dense_size"] for b in range(k)]
    dense = np.zeros(shape, dtype=tensor.dtype)
    cursor = [0]
    idx = [0] * (n + k)

    def leaf():
        orig = [0] * n
        for level in range(n):
            orig[order[level]] = idx[level]
        for level in range(n, n + k):
            b = order[level] - n
            d = block_map[b]
            orig[d] = orig[d] * block_size[b] + idx[level]
        if cursor[0] >= values.size:
            raise TFLiteError("sparse tensor %s: more positions than values" % tensor.name)
        dense[tuple(orig)] = values[cursor[0]]
        cursor[0] += 1

    def walk(level, prev):
        if level == n + k:
            leaf()
            return
        meta = levels[level]
        if meta["format"] == 0:
            size = meta["dense_size"]
            for i in range(size):
                idx[level] = i
                walk(level + 1, prev * size + i)
        else:
            segments, indices = meta["segments"], meta["indices"]
            if prev + 1 >= len(segments):
                raise TFLiteError("sparse tensor %s: segment index out of range" % tensor.name)
            for j in range(segments[prev], segments[prev + 1]):
                idx[level] = indices[j]
                walk(level + 1, j)

    walk(0, 0)
    return dense
