#include "vision/onnx_runtime_handles.h"

#include <algorithm>

namespace kestro::ort {

namespace {

const OrtApi* loadApi()
{
    const OrtApiBase* base = OrtGetApiBase();
    return base != nullptr ? base->GetApi(ORT_API_VERSION) : nullptr;
}

std::string allocatedName(const OrtSession* session, size_t index, bool input)
{
    OrtAllocator* allocator = nullptr;
    check(api().GetAllocatorWithDefaultOptions(&allocator));
    char* raw = nullptr;
    if (input)
        check(api().SessionGetInputName(session, index, allocator, &raw));
    else
        check(api().SessionGetOutputName(session, index, allocator, &raw));
    std::string name = raw != nullptr ? raw : "";
    // Freeing can only fail for a foreign pointer; the copy is what counts.
    takeStatusMessage(api().AllocatorFree(allocator, raw));
    return name;
}

} // namespace

const OrtApi& api()
{
    // Resolved once: the table is static data of the loaded library.
    static const OrtApi* table = loadApi();
    if (table == nullptr) {
        throw OrtError(ORT_FAIL, "the ONNX Runtime library does not offer API version "
                                     + std::to_string(ORT_API_VERSION));
    }
    return *table;
}

std::string versionString()
{
    const OrtApiBase* base = OrtGetApiBase();
    const char* text = base != nullptr ? base->GetVersionString() : nullptr;
    return text != nullptr ? text : "";
}

std::string takeStatusMessage(OrtStatus* status)
{
    if (status == nullptr)
        return {};
    const char* message = api().GetErrorMessage(status);
    std::string text = message != nullptr && *message != '\0' ? message : "unknown error";
    api().ReleaseStatus(status);
    // Diagnostics are single lines.
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

void check(OrtStatus* status)
{
    if (status == nullptr)
        return;
    const OrtErrorCode code = api().GetErrorCode(status);
    throw OrtError(code, takeStatusMessage(status));
}

std::vector<std::string> availableProviders()
{
    char** list = nullptr;
    int count = 0;
    check(api().GetAvailableProviders(&list, &count));
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i)
        names.emplace_back(list[i] != nullptr ? list[i] : "");
    takeStatusMessage(api().ReleaseAvailableProviders(list, count));
    return names;
}

void configureIntraOpThreads(OrtSessionOptions* options, int threads)
{
    check(api().SetIntraOpNumThreads(options, threads));
    check(api().AddSessionConfigEntry(options, kIntraOpSpinningKey, "0"));
}

std::string sessionInputName(const OrtSession* session, size_t index)
{
    return allocatedName(session, index, true);
}

std::string sessionOutputName(const OrtSession* session, size_t index)
{
    return allocatedName(session, index, false);
}

std::string TensorShape::text() const
{
    std::string result;
    for (size_t i = 0; i < dimensions.size(); ++i) {
        if (i > 0)
            result += 'x';
        result += dimensions[i] < 0 ? std::string("?") : std::to_string(dimensions[i]);
    }
    return result.empty() ? std::string("scalar") : result;
}

TensorShape tensorShape(const OrtTensorTypeAndShapeInfo* info)
{
    TensorShape shape;
    check(api().GetTensorElementType(info, &shape.elementType));
    size_t count = 0;
    check(api().GetDimensionsCount(info, &count));
    shape.dimensions.resize(count);
    if (count > 0)
        check(api().GetDimensions(info, shape.dimensions.data(), count));
    return shape;
}

TensorShape sessionInputShape(const OrtSession* session, size_t index)
{
    OrtTypeInfo* raw = nullptr;
    check(api().SessionGetInputTypeInfo(session, index, &raw));
    UniqueTypeInfo typeInfo(raw);
    const OrtTensorTypeAndShapeInfo* tensorInfo = nullptr;
    check(api().CastTypeInfoToTensorInfo(typeInfo.get(), &tensorInfo));
    if (tensorInfo == nullptr)
        return {};
    return tensorShape(tensorInfo);
}

TensorShape valueShape(const OrtValue* value)
{
    int isTensor = 0;
    check(api().IsTensor(value, &isTensor));
    if (isTensor == 0)
        return {};
    OrtTensorTypeAndShapeInfo* raw = nullptr;
    check(api().GetTensorTypeAndShape(value, &raw));
    UniqueTensorTypeAndShapeInfo info(raw);
    return tensorShape(info.get());
}

} // namespace kestro::ort
