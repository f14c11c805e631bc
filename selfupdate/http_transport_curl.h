#pragma once

#include <string>

#include "selfupdate/http_transport.h"

namespace selfupdate {

// Text of the failure when a request that started on HTTPS is redirected to
// another scheme, followed by the refused location. Following such a redirect
// would let anyone on the network replace the catalog, and with it the
// package and its digest.
extern const char* const kRedirectLeavesHttpsMessage;

// HttpTransport over libcurl. Redirects are followed by our own loop (not by
// libcurl) so that the budget, the HTTPS rule and the failure texts are ours.
// Peers are verified against the system's certificate store; extraCaFile
// names one more PEM file of trusted authorities (a private catalog server,
// or the throwaway authority of a test).
class CurlHttpTransport : public HttpTransport {
public:
    explicit CurlHttpTransport(std::string extraCaFile = std::string());

    HttpResponse get(const std::string& url, std::int32_t connectTimeoutMs, std::int32_t receiveTimeoutMs,
                     const std::atomic<bool>* cancel) override;
    bool downloadStream(const std::string& url, const HttpChunkCallback& onChunk, std::int32_t connectTimeoutMs,
                        std::int32_t receiveTimeoutMs, const std::atomic<bool>* cancel,
                        std::string* errorOut) override;

private:
    bool transfer(const std::string& url, const HttpChunkCallback& onChunk, std::int32_t connectTimeoutMs,
                  std::int32_t receiveTimeoutMs, const std::atomic<bool>* cancel, std::string* errorOut,
                  std::int32_t* statusOut, std::map<std::string, std::string>* headersOut) const;

    std::string m_extraCaFile;
};

} // namespace selfupdate
