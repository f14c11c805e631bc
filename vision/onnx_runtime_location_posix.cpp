#include "vision/onnx_runtime_handles.h"

#include <dlfcn.h>

namespace kestro::ort {

std::string runtimeLibraryFolder()
{
    // The runtime looks for its provider libraries in the folder of the
    // library that exports its entry point, so that is the folder to name.
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(&OrtGetApiBase), &info) == 0 || info.dli_fname == nullptr)
        return {};
    const std::string path = info.dli_fname;
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace kestro::ort
