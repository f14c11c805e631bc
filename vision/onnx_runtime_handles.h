#pragma once

#include "vision/onnx_runtime_api.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// Owning wrappers for ONNX Runtime handles and statuses, so that every
// handle is released on every path and every status is read once, kept as
// text and released.
namespace kestro::ort {

// A failed runtime call: its message and error code.
class OrtError : public std::runtime_error
{
public:
    OrtError(OrtErrorCode code, const std::string& message)
        : std::runtime_error(message), m_code(code)
    {
    }
    OrtErrorCode code() const { return m_code; }

private:
    OrtErrorCode m_code;
};

// The function table at the API version our declarations describe. Throws
// OrtError when the loaded runtime is older than that.
const OrtApi& api();

// The version text of the loaded runtime ("1.31.1").
std::string versionString();

// Releases `status`; returns its message, or an empty string for success.
std::string takeStatusMessage(OrtStatus* status);

// Throws OrtError for a failed status (after releasing it).
void check(OrtStatus* status);

#define KESTRO_ORT_DELETER(Type)                                    \
    struct Type##Deleter                                            \
    {                                                               \
        void operator()(Ort##Type* handle) const noexcept           \
        {                                                           \
            if (handle != nullptr)                                  \
                api().Release##Type(handle);                        \
        }                                                           \
    };                                                              \
    using Unique##Type = std::unique_ptr<Ort##Type, Type##Deleter>

KESTRO_ORT_DELETER(Env);
KESTRO_ORT_DELETER(SessionOptions);
KESTRO_ORT_DELETER(Session);
KESTRO_ORT_DELETER(MemoryInfo);
KESTRO_ORT_DELETER(Value);
KESTRO_ORT_DELETER(TypeInfo);
KESTRO_ORT_DELETER(TensorTypeAndShapeInfo);

#undef KESTRO_ORT_DELETER

struct CudaOptionsDeleter
{
    void operator()(OrtCUDAProviderOptionsV2* options) const noexcept
    {
        if (options != nullptr)
            api().ReleaseCUDAProviderOptions(options);
    }
};
using UniqueCudaOptions = std::unique_ptr<OrtCUDAProviderOptionsV2, CudaOptionsDeleter>;

// The session option that lets idle intra-op workers busy-wait for work.
inline constexpr const char* kIntraOpSpinningKey = "session.intra_op.allow_spinning";

// `threads` intra-op workers that sleep rather than spin between the
// network's parallel sections. Spinning workers take the cores the camera
// thread's other work, the GUI and its renderer need. Measured on 2 cores,
// a pass of the network inside the running dashboard took 38-42 ms with
// spinning workers and 30-35 ms with sleeping ones.
void configureIntraOpThreads(OrtSessionOptions* options, int threads);

// The folder of the loaded runtime library, where it looks for its provider
// libraries; empty when it cannot be told.
std::string runtimeLibraryFolder();

// The runtime's list of execution providers present in this build.
std::vector<std::string> availableProviders();

// Name of input or output `index` of a session, copied and freed with the
// default allocator.
std::string sessionInputName(const OrtSession* session, size_t index);
std::string sessionOutputName(const OrtSession* session, size_t index);

// Element type and dimensions of a tensor.
struct TensorShape
{
    ONNXTensorElementDataType elementType = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
    std::vector<int64_t> dimensions;
    std::string text() const;   // "1x56x8400"
};
TensorShape tensorShape(const OrtTensorTypeAndShapeInfo* info);
// Shape of a session's input `index`; elementType stays undefined for an
// input that is no tensor.
TensorShape sessionInputShape(const OrtSession* session, size_t index);
// Shape of a value; elementType stays undefined for a value that is no tensor.
TensorShape valueShape(const OrtValue* value);

} // namespace kestro::ort
