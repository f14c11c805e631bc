"""Run an ONNX model with the ONNX Runtime C library through ctypes.

Debian ships no Python bindings for ONNX Runtime, so the converter's tests
reach the same shared library that the application loads. Only float
inputs and outputs are needed. Slot numbers are those of the runtime's
function table (OrtApi) at API version 23.
"""

import ctypes

import numpy as np

API_VERSION = 23
_FLOAT = 1

_P = ctypes.c_void_p
_SLOTS = {
    # slot: (name, argument types)
    2: ("GetErrorMessage", [_P], ctypes.c_char_p),
    3: ("CreateEnv", [ctypes.c_int, ctypes.c_char_p, ctypes.POINTER(_P)]),
    8: ("CreateSessionFromArray", [_P, ctypes.c_char_p, ctypes.c_size_t, _P, ctypes.POINTER(_P)]),
    9: ("Run", [_P, _P, ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(_P), ctypes.c_size_t,
                ctypes.POINTER(ctypes.c_char_p), ctypes.c_size_t, ctypes.POINTER(_P)]),
    10: ("CreateSessionOptions", [ctypes.POINTER(_P)]),
    23: ("SetSessionGraphOptimizationLevel", [_P, ctypes.c_int]),
    24: ("SetIntraOpNumThreads", [_P, ctypes.c_int]),
    49: ("CreateTensorWithDataAsOrtValue", [_P, _P, ctypes.c_size_t, ctypes.POINTER(ctypes.c_int64),
                                            ctypes.c_size_t, ctypes.c_int, ctypes.POINTER(_P)]),
    51: ("GetTensorMutableData", [_P, ctypes.POINTER(_P)]),
    61: ("GetDimensionsCount", [_P, ctypes.POINTER(ctypes.c_size_t)]),
    62: ("GetDimensions", [_P, ctypes.POINTER(ctypes.c_int64), ctypes.c_size_t]),
    60: ("GetTensorElementType", [_P, ctypes.POINTER(ctypes.c_int)]),
    65: ("GetTensorTypeAndShape", [_P, ctypes.POINTER(_P)]),
    69: ("CreateCpuMemoryInfo", [ctypes.c_int, ctypes.c_int, ctypes.POINTER(_P)]),
    92: ("ReleaseEnv", [_P], None),
    93: ("ReleaseStatus", [_P], None),
    94: ("ReleaseMemoryInfo", [_P], None),
    95: ("ReleaseSession", [_P], None),
    96: ("ReleaseValue", [_P], None),
    99: ("ReleaseTensorTypeAndShapeInfo", [_P], None),
    100: ("ReleaseSessionOptions", [_P], None),
}


class OrtError(RuntimeError):
    pass


class _Api:
    def __init__(self, library_path):
        self.lib = ctypes.CDLL(library_path)
        self.lib.OrtGetApiBase.restype = ctypes.POINTER(_P * 2)
        base = self.lib.OrtGetApiBase().contents
        get_api = ctypes.CFUNCTYPE(_P, ctypes.c_uint32)(base[0])
        table = get_api(API_VERSION)
        if not table:
            raise OrtError("the runtime does not offer API version %d" % API_VERSION)
        slots = ctypes.cast(table, ctypes.POINTER(_P * 256)).contents
        for slot, signature in _SLOTS.items():
            name, args = signature[0], signature[1]
            restype = signature[2] if len(signature) > 2 else _P
            setattr(self, name, ctypes.CFUNCTYPE(restype, *args)(slots[slot]))

    def check(self, status):
        if status:
            message = self.GetErrorMessage(status).decode("utf-8", "replace")
            self.ReleaseStatus(status)
            raise OrtError(message)


class Session:
    """One inference session over a serialized model."""

    def __init__(self, library_path, model_bytes, threads=2):
        self.api = api = _Api(library_path)
        self.env, self.options, self.session, self.memory = _P(), _P(), _P(), _P()
        api.check(api.CreateEnv(3, b"kestro-pose-model-test", ctypes.byref(self.env)))
        api.check(api.CreateSessionOptions(ctypes.byref(self.options)))
        api.check(api.SetIntraOpNumThreads(self.options, threads))
        api.check(api.SetSessionGraphOptimizationLevel(self.options, 99))
        api.check(api.CreateSessionFromArray(self.env, model_bytes, len(model_bytes),
                                             self.options, ctypes.byref(self.session)))
        api.check(api.CreateCpuMemoryInfo(1, 0, ctypes.byref(self.memory)))

    def run(self, inputs, output_names):
        """inputs: dict name -> float32 array. Returns a list of arrays."""
        api = self.api
        keep = []
        in_names = (ctypes.c_char_p * len(inputs))()
        in_values = (_P * len(inputs))()
        try:
            for k, (name, array) in enumerate(inputs.items()):
                array = np.ascontiguousarray(array, dtype=np.float32)
                shape = (ctypes.c_int64 * array.ndim)(*array.shape)
                keep.append((array, shape))
                in_names[k] = name.encode()
                value = _P()
                api.check(api.CreateTensorWithDataAsOrtValue(
                    self.memory, array.ctypes.data, array.nbytes, shape, array.ndim, _FLOAT,
                    ctypes.byref(value)))
                in_values[k] = value
            out_names = (ctypes.c_char_p * len(output_names))(*[n.encode() for n in output_names])
            out_values = (_P * len(output_names))()
            api.check(api.Run(self.session, None, in_names, in_values, len(inputs),
                              out_names, len(output_names), out_values))
            return [self._to_array(v) for v in out_values]
        finally:
            for value in in_values:
                api.ReleaseValue(value)

    def _to_array(self, value):
        api = self.api
        try:
            info = _P()
            api.check(api.GetTensorTypeAndShape(value, ctypes.byref(info)))
            element, count = ctypes.c_int(), ctypes.c_size_t()
            api.check(api.GetTensorElementType(info, ctypes.byref(element)))
            api.check(api.GetDimensionsCount(info, ctypes.byref(count)))
            dims = (ctypes.c_int64 * count.value)()
            api.check(api.GetDimensions(info, dims, count.value))
            api.ReleaseTensorTypeAndShapeInfo(info)
            if element.value != _FLOAT:
                raise OrtError("output element type %d is not float" % element.value)
            data = _P()
            api.check(api.GetTensorMutableData(value, ctypes.byref(data)))
            shape = list(dims)
            size = int(np.prod(shape)) if shape else 1
            flat = np.ctypeslib.as_array(ctypes.cast(data, ctypes.POINTER(ctypes.c_float)),
                                         shape=(size,))
            return flat.copy().reshape(shape)
        finally:
            api.ReleaseValue(value)

    def close(self):
        api = self.api
        api.ReleaseMemoryInfo(self.memory)
        api.ReleaseSession(self.session)
        api.ReleaseSessionOptions(self.options)
        api.ReleaseEnv(self.env)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
