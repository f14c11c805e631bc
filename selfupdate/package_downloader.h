#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "selfupdate/http_transport.h"
#include "selfupdate/update_manifest.h"

namespace selfupdate {

// Receives (bytes received so far, expected total or -1).
using DownloadProgressCallback = std::function<void(std::int64_t received, std::int64_t total)>;

// Fetches a release package into a private staging folder under a ".part"
// name and gives it its final name only once its size and SHA-256 digest
// match the manifest; a body larger than the manifest's size is stopped at
// once. Throws std::runtime_error with operator-facing texts.
class PackageDownloader {
public:
    PackageDownloader(std::string stagingDir, std::shared_ptr<HttpTransport> transport,
                      std::int32_t connectTimeoutMs, std::int32_t receiveTimeoutMs);

    // The fixed folder when one was given, else a per-package folder under
    // the user's private staging base (empty when no such base is known).
    std::string resolveStagingDir(const std::string& key) const;
    // The folder that holds every package folder (the fixed folder itself).
    std::string stagingRoot() const;
    std::string downloadAndVerify(const UpdateManifest& manifest, const DownloadProgressCallback& onProgress,
                                  const std::atomic<bool>* cancel) const;

    // The file name a package is staged under, derived from its URL.
    static std::string packageFileName(const UpdateManifest& manifest);
    // Makes a name from the network safe as one path component: no
    // separators, no "..", no control or non-ASCII bytes.
    static std::string sanitizeFileName(const std::string& name);

private:
    std::string m_stagingDir;
    std::shared_ptr<HttpTransport> m_transport;
    std::int32_t m_connectTimeoutMs;
    std::int32_t m_receiveTimeoutMs;
};

} // namespace selfupdate
