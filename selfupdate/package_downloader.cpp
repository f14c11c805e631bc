#include "selfupdate/package_downloader.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "selfupdate/platform_process.h"
#include "selfupdate/sha256.h"

namespace selfupdate {

namespace fs = std::filesystem;

namespace {

std::string packageKey(const UpdateManifest& manifest)
{
    return manifest.slug.empty() ? manifest.applicationId : manifest.slug;
}

std::string toLower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

void removeQuietly(const fs::path& path)
{
    std::error_code ignored;
    fs::remove(path, ignored); // a leftover is harmless; the next download truncates it
}

} // namespace

PackageDownloader::PackageDownloader(std::string stagingDir, std::shared_ptr<HttpTransport> transport,
                                     std::int32_t connectTimeoutMs, std::int32_t receiveTimeoutMs)
    : m_stagingDir(std::move(stagingDir)),
      m_transport(transport ? std::move(transport) : HttpTransport::createDefault()),
      m_connectTimeoutMs(connectTimeoutMs), m_receiveTimeoutMs(receiveTimeoutMs)
{
}

std::string PackageDownloader::sanitizeFileName(const std::string& name)
{
    std::string result;
    result.reserve(name.size());
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const bool reserved = c == '"' || c == '*' || c == '/' || c == ':' || c == '<' || c == '>' || c == '?' ||
                              c == '\\' || c == '|';
        result.push_back(reserved || byte < 0x20 || byte > 0x7F ? '_' : c);
    }
    for (std::size_t dots = result.find(".."); dots != std::string::npos; dots = result.find("..")) {
        result.replace(dots, 2, "_");
    }
    return result;
}

std::string PackageDownloader::packageFileName(const UpdateManifest& manifest)
{
    std::string url = manifest.packageUrl;
    url = url.substr(0, url.find('?'));
    url = url.substr(0, url.find('#'));
    const std::size_t separator = url.find_last_of("/\\");
    const std::string lastSegment = separator == std::string::npos ? url : url.substr(separator + 1);
    const std::string name = sanitizeFileName(lastSegment);
    if (!name.empty() && name != ".")
        return name;
    const std::string key = sanitizeFileName(packageKey(manifest));
    return key.empty() ? "package.exe" : key + ".exe";
}

std::string PackageDownloader::resolveStagingDir(const std::string& key) const
{
    if (!m_stagingDir.empty())
        return m_stagingDir;
    // The key comes from the catalog: a slug such as "../../somewhere" must
    // not choose where packages are written.
    std::string name = sanitizeFileName(key);
    if (name.empty() || name == ".")
        name = "default";
    return (fs::path(temporaryDirectory()) / "selfupdate" / name).string();
}

std::string PackageDownloader::downloadAndVerify(const UpdateManifest& manifest,
                                                 const DownloadProgressCallback& onProgress,
                                                 const std::atomic<bool>* cancel) const
{
    auto cancelled = [cancel] { return cancel != nullptr && cancel->load(); };
    if (cancelled())
        throw std::runtime_error("Download cancelled before start");

    const fs::path stagingDir = resolveStagingDir(packageKey(manifest));
    std::error_code error;
    fs::create_directories(stagingDir, error);
    if (error)
        throw std::runtime_error("Failed to create staging directory '" + stagingDir.string() +
                                 "': " + error.message());

    const fs::path target = stagingDir / packageFileName(manifest);
    const fs::path part = fs::path(target.string() + ".part");
    removeQuietly(part);
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("Failed to open staging file for writing: " + part.string());

    Sha256 hasher;
    std::int64_t received = 0;
    const HttpChunkCallback onChunk = [&](const char* data, std::size_t length, std::int64_t totalLength) {
        if (cancelled())
            return false;
        out.write(data, static_cast<std::streamsize>(length));
        if (!out)
            return false;
        hasher.update(data, length);
        received += static_cast<std::int64_t>(length);
        if (onProgress)
            onProgress(received, totalLength > 0 ? totalLength : manifest.sizeBytes);
        return true;
    };
    std::string transferError;
    bool transferred = false;
    try {
        transferred = m_transport->downloadStream(manifest.packageUrl, onChunk, m_connectTimeoutMs,
                                                  m_receiveTimeoutMs, cancel, &transferError);
    } catch (...) {
        // onProgress may throw; the ".part" download must not outlive the attempt.
        out.close();
        removeQuietly(part);
        throw;
    }
    out.close();
    // A write that only fails when the last buffered bytes are flushed
    // (disk full) must not pass as a complete package.
    if (transferred && out.fail()) {
        transferred = false;
        transferError = "Failed to write staging file: " + part.string();
    }

    if (cancelled()) {
        removeQuietly(part);
        throw std::runtime_error("Download cancelled");
    }
    if (!transferred) {
        removeQuietly(part);
        throw std::runtime_error("Download failed: " +
                                 (transferError.empty() ? std::string("network transfer error") : transferError));
    }
    if (manifest.sizeBytes > 0 && manifest.sizeBytes != received) {
        removeQuietly(part);
        throw std::runtime_error("Package size mismatch: expected " + std::to_string(manifest.sizeBytes) +
                                 " bytes, received " + std::to_string(received) + " bytes");
    }
    const std::string computed = hasher.finalHex();
    if (toLower(manifest.sha256) != toLower(computed)) {
        removeQuietly(part);
        throw std::runtime_error("SHA-256 digest mismatch: expected " + manifest.sha256 + ", computed " + computed);
    }
    removeQuietly(target);
    fs::rename(part, target, error);
    if (error) {
        removeQuietly(part);
        throw std::runtime_error("Failed to rename temporary part file to target executable: " + error.message());
    }
    return target.string();
}

} // namespace selfupdate
