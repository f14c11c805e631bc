#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace selfupdate {

struct HttpResponse {
    std::int32_t statusCode = 0;
    std::string body;
    std::map<std::string, std::string> headers;
    std::string error;
};

// Receives one block of a response body (at most kHttpBlockSize bytes) and the
// response's Content-Length, or -1 when the server sent none. Returning false
// aborts the transfer.
using HttpChunkCallback = std::function<bool(const char* data, std::size_t length, std::int64_t totalLength)>;

// Largest block handed to a chunk callback.
constexpr std::size_t kHttpBlockSize = 16384;

// Largest body get() collects in memory (it serves the release catalog, a
// few kilobytes); a longer body ends the transfer with an error.
constexpr std::size_t kMaxResponseBodyBytes = 1024 * 1024;
extern const char* const kResponseTooLargeMessage;

// A small HTTP GET client: the self-updater's only network access.
// Network failures never throw; they come back as texts.
class HttpTransport {
public:
    virtual ~HttpTransport() = default;

    virtual HttpResponse get(const std::string& url, std::int32_t connectTimeoutMs, std::int32_t receiveTimeoutMs,
                             const std::atomic<bool>* cancel) = 0;

    // True only when a 2xx response's body was read to its end.
    virtual bool downloadStream(const std::string& url, const HttpChunkCallback& onChunk,
                                std::int32_t connectTimeoutMs, std::int32_t receiveTimeoutMs,
                                const std::atomic<bool>* cancel, std::string* errorOut) = 0;

    // The production transport (libcurl, peers verified against the system's
    // certificate store).
    static std::shared_ptr<HttpTransport> createDefault();
};

} // namespace selfupdate
