#pragma once

// The subset of the ONNX Runtime C API that the pose estimator calls.
//
// When the build finds an official onnxruntime_c_api.h (API version 23 or
// newer), KESTRO_HAVE_ONNXRUNTIME_HEADER is set and that header is used as
// it is. The runtime we ship by default comes without a header, so
// otherwise the declarations below stand in for it. They mirror the
// runtime's public ABI: `OrtApi` is a table of function pointers that only
// ever grows at its end, so each function we call sits at a fixed slot
// (0-based pointer index). The slots are those of the official header at
// ORT_API_VERSION 23, checked against the shipped library (which accepts
// GetApi(23)); the static_asserts below pin every slot we use. Slots we
// never call are padding.
#if defined(KESTRO_HAVE_ONNXRUNTIME_HEADER)

#include <onnxruntime_c_api.h>

#else

#include <cstddef>
#include <cstdint>

extern "C" {

#define ORT_API_VERSION 23

struct OrtEnv;
struct OrtStatus;
struct OrtMemoryInfo;
struct OrtSession;
struct OrtValue;
struct OrtRunOptions;
struct OrtTypeInfo;
struct OrtTensorTypeAndShapeInfo;
struct OrtSessionOptions;
struct OrtAllocator;
struct OrtCUDAProviderOptionsV2;

typedef enum OrtLoggingLevel {
    ORT_LOGGING_LEVEL_VERBOSE = 0,
    ORT_LOGGING_LEVEL_INFO = 1,
    ORT_LOGGING_LEVEL_WARNING = 2,
    ORT_LOGGING_LEVEL_ERROR = 3,
    ORT_LOGGING_LEVEL_FATAL = 4,
} OrtLoggingLevel;

typedef enum OrtErrorCode {
    ORT_OK = 0,
    ORT_FAIL = 1,
    ORT_INVALID_ARGUMENT = 2,
    ORT_NO_SUCHFILE = 3,
    ORT_NO_MODEL = 4,
    ORT_ENGINE_ERROR = 5,
    ORT_RUNTIME_EXCEPTION = 6,
    ORT_INVALID_PROTOBUF = 7,
    ORT_MODEL_LOADED = 8,
    ORT_NOT_IMPLEMENTED = 9,
    ORT_INVALID_GRAPH = 10,
    ORT_EP_FAIL = 11,
} OrtErrorCode;

// The runtime reports every element type it knows (double is 11); with only
// two enumerators and no fixed underlying type, holding any other value
// would be undefined behaviour.
typedef enum ONNXTensorElementDataType : int {
    ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED = 0,
    ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT = 1,
} ONNXTensorElementDataType;

typedef enum GraphOptimizationLevel {
    ORT_DISABLE_ALL = 0,
    ORT_ENABLE_BASIC = 1,
    ORT_ENABLE_EXTENDED = 2,
    ORT_ENABLE_ALL = 99,
} GraphOptimizationLevel;

typedef enum OrtAllocatorType {
    OrtInvalidAllocator = -1,
    OrtDeviceAllocator = 0,
    OrtArenaAllocator = 1,
} OrtAllocatorType;

typedef enum OrtMemType {
    OrtMemTypeDefault = 0,
} OrtMemType;

// Padding for the slots between the functions we call.
typedef void (*OrtUnusedSlot)(void);

struct OrtApi {
    OrtStatus* (*CreateStatus)(OrtErrorCode code, const char* msg);                        // 0
    OrtErrorCode (*GetErrorCode)(const OrtStatus* status);                                   // 1
    const char* (*GetErrorMessage)(const OrtStatus* status);                                 // 2
    OrtStatus* (*CreateEnv)(OrtLoggingLevel level, const char* logid, OrtEnv** out);         // 3
    OrtUnusedSlot unused4To7[4];
    OrtStatus* (*CreateSessionFromArray)(const OrtEnv* env, const void* model_data,
                                         size_t model_data_length, const OrtSessionOptions* options,
                                         OrtSession** out);                                   // 8
    OrtStatus* (*Run)(OrtSession* session, const OrtRunOptions* run_options,
                      const char* const* input_names, const OrtValue* const* inputs,
                      size_t input_len, const char* const* output_names, size_t output_names_len,
                      OrtValue** outputs);                                                    // 9
    OrtStatus* (*CreateSessionOptions)(OrtSessionOptions** options);                          // 10
    OrtUnusedSlot unused11To21[11];
    OrtStatus* (*SetSessionLogSeverityLevel)(OrtSessionOptions* options, int session_log_severity_level); // 22
    OrtStatus* (*SetSessionGraphOptimizationLevel)(OrtSessionOptions* options,
                                                   GraphOptimizationLevel level);            // 23
    OrtStatus* (*SetIntraOpNumThreads)(OrtSessionOptions* options, int intra_op_num_threads); // 24
    OrtUnusedSlot unused25To29[5];
    OrtStatus* (*SessionGetInputCount)(const OrtSession* session, size_t* out);              // 30
    OrtStatus* (*SessionGetOutputCount)(const OrtSession* session, size_t* out);             // 31
    OrtUnusedSlot unused32;
    OrtStatus* (*SessionGetInputTypeInfo)(const OrtSession* session, size_t index,
                                          OrtTypeInfo** type_info);                          // 33
    OrtUnusedSlot unused34To35[2];
    OrtStatus* (*SessionGetInputName)(const OrtSession* session, size_t index,
                                      OrtAllocator* allocator, char** value);                // 36
    OrtStatus* (*SessionGetOutputName)(const OrtSession* session, size_t index,
                                       OrtAllocator* allocator, char** value);               // 37
    OrtUnusedSlot unused38To48[11];
    OrtStatus* (*CreateTensorWithDataAsOrtValue)(const OrtMemoryInfo* info, void* p_data,
                                                 size_t p_data_len, const int64_t* shape,
                                                 size_t shape_len, ONNXTensorElementDataType type,
                                                 OrtValue** out);                             // 49
    OrtStatus* (*IsTensor)(const OrtValue* value, int* out);                                  // 50
    OrtStatus* (*GetTensorMutableData)(OrtValue* value, void** out);                          // 51
    OrtUnusedSlot unused52To54[3];
    OrtStatus* (*CastTypeInfoToTensorInfo)(const OrtTypeInfo* type_info,
                                           const OrtTensorTypeAndShapeInfo** out);           // 55
    OrtUnusedSlot unused56To59[4];
    OrtStatus* (*GetTensorElementType)(const OrtTensorTypeAndShapeInfo* info,
                                       ONNXTensorElementDataType* out);                      // 60
    OrtStatus* (*GetDimensionsCount)(const OrtTensorTypeAndShapeInfo* info, size_t* out);    // 61
    OrtStatus* (*GetDimensions)(const OrtTensorTypeAndShapeInfo* info, int64_t* dim_values,
                                size_t dim_values_length);                                   // 62
    OrtUnusedSlot unused63;
    OrtStatus* (*GetTensorShapeElementCount)(const OrtTensorTypeAndShapeInfo* info,
                                             size_t* out);                                    // 64
    OrtStatus* (*GetTensorTypeAndShape)(const OrtValue* value,
                                        OrtTensorTypeAndShapeInfo** out);                    // 65
    OrtUnusedSlot unused66To68[3];
    OrtStatus* (*CreateCpuMemoryInfo)(OrtAllocatorType type, OrtMemType mem_type,
                                      OrtMemoryInfo** out);                                   // 69
    OrtUnusedSlot unused70To75[6];
    OrtStatus* (*AllocatorFree)(OrtAllocator* allocator, void* p);                           // 76
    OrtUnusedSlot unused77;
    OrtStatus* (*GetAllocatorWithDefaultOptions)(OrtAllocator** out);                        // 78
    OrtUnusedSlot unused79To91[13];
    void (*ReleaseEnv)(OrtEnv* input);                                                        // 92
    void (*ReleaseStatus)(OrtStatus* input);                                                  // 93
    void (*ReleaseMemoryInfo)(OrtMemoryInfo* input);                                          // 94
    void (*ReleaseSession)(OrtSession* input);                                                // 95
    void (*ReleaseValue)(OrtValue* input);                                                    // 96
    void (*ReleaseRunOptions)(OrtRunOptions* input);                                          // 97
    void (*ReleaseTypeInfo)(OrtTypeInfo* input);                                              // 98
    void (*ReleaseTensorTypeAndShapeInfo)(OrtTensorTypeAndShapeInfo* input);                  // 99
    void (*ReleaseSessionOptions)(OrtSessionOptions* input);                                  // 100
    OrtUnusedSlot unused101To124[24];
    OrtStatus* (*GetAvailableProviders)(char*** out_ptr, int* provider_length);              // 125
    OrtStatus* (*ReleaseAvailableProviders)(char** ptr, int providers_length);               // 126
    OrtUnusedSlot unused127To129[3];
    OrtStatus* (*AddSessionConfigEntry)(OrtSessionOptions* options, const char* config_key,
                                        const char* config_value);                            // 130
    OrtUnusedSlot unused131To203[73];
    OrtStatus* (*SessionOptionsAppendExecutionProvider_CUDA_V2)(
        OrtSessionOptions* options, const OrtCUDAProviderOptionsV2* cuda_options);           // 204
    OrtStatus* (*CreateCUDAProviderOptions)(OrtCUDAProviderOptionsV2** out);                 // 205
    OrtUnusedSlot unused206To207[2];
    void (*ReleaseCUDAProviderOptions)(OrtCUDAProviderOptionsV2* input);                      // 208
};

struct OrtApiBase {
    const OrtApi* (*GetApi)(uint32_t version);
    const char* (*GetVersionString)(void);
};

const OrtApiBase* OrtGetApiBase(void);

} // extern "C"

#define KESTRO_ORT_SLOT(member, slot) \
    static_assert(offsetof(OrtApi, member) == (slot) * sizeof(void*), #member " must be slot " #slot)
KESTRO_ORT_SLOT(CreateEnv, 3);
KESTRO_ORT_SLOT(CreateSessionFromArray, 8);
KESTRO_ORT_SLOT(Run, 9);
KESTRO_ORT_SLOT(CreateSessionOptions, 10);
KESTRO_ORT_SLOT(SetSessionLogSeverityLevel, 22);
KESTRO_ORT_SLOT(SetSessionGraphOptimizationLevel, 23);
KESTRO_ORT_SLOT(SetIntraOpNumThreads, 24);
KESTRO_ORT_SLOT(SessionGetInputCount, 30);
KESTRO_ORT_SLOT(SessionGetOutputCount, 31);
KESTRO_ORT_SLOT(SessionGetInputTypeInfo, 33);
KESTRO_ORT_SLOT(SessionGetInputName, 36);
KESTRO_ORT_SLOT(SessionGetOutputName, 37);
KESTRO_ORT_SLOT(CreateTensorWithDataAsOrtValue, 49);
KESTRO_ORT_SLOT(GetTensorMutableData, 51);
KESTRO_ORT_SLOT(CastTypeInfoToTensorInfo, 55);
KESTRO_ORT_SLOT(GetTensorElementType, 60);
KESTRO_ORT_SLOT(GetDimensions, 62);
KESTRO_ORT_SLOT(GetTensorShapeElementCount, 64);
KESTRO_ORT_SLOT(GetTensorTypeAndShape, 65);
KESTRO_ORT_SLOT(CreateCpuMemoryInfo, 69);
KESTRO_ORT_SLOT(AllocatorFree, 76);
KESTRO_ORT_SLOT(GetAllocatorWithDefaultOptions, 78);
KESTRO_ORT_SLOT(ReleaseEnv, 92);
KESTRO_ORT_SLOT(ReleaseSessionOptions, 100);
KESTRO_ORT_SLOT(GetAvailableProviders, 125);
KESTRO_ORT_SLOT(ReleaseAvailableProviders, 126);
KESTRO_ORT_SLOT(AddSessionConfigEntry, 130);
KESTRO_ORT_SLOT(SessionOptionsAppendExecutionProvider_CUDA_V2, 204);
KESTRO_ORT_SLOT(CreateCUDAProviderOptions, 205);
KESTRO_ORT_SLOT(ReleaseCUDAProviderOptions, 208);
#undef KESTRO_ORT_SLOT

#endif
