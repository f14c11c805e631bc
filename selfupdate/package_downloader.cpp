#include "selfupdate/package_downloader.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

#include "selfupdate/private_folder.h"
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
    // A folder of this user's own, never the shared temporary folder: there
    // another account could create it first and swap the package or plant
    // links between verification and installation.
    const std::string base = privateStagingBase();
    return base.empty() ? std::string() : (fs::path(base) / name).string();
}

std::string PackageDownloader::stagingRoot() const
{
    return m_stagingDir.empty() ? privateStagingBase() : m_stagingDir;
}

std::string PackageDownloader::downloadAndVerify(const UpdateManifest& manifest,
                                                 const DownloadProgressCallback& onProgress,
                                                 const std::atomic<bool>* cancel) const
{
    auto cancelled = [cancel] { return cancel != nullptr && cancel->load(); };
    if (cancelled())
        throw std::runtime_error("Download cancelled before start");

    const PrivateFolder folder = PrivateFolder::open(resolveStagingDir(packageKey(manifest)), true);
    const std::string targetName = packageFileName(manifest);
    const std::string partName = targetName + ".part";
    const std::string partPath = folder.file(partName);
    UniqueFd out = folder.createFile(partName, 0600);
    if (!out.valid())
        throw std::runtime_error("Failed to open staging file for writing: " + partPath);

    Sha256 hasher;
    std::int64_t received = 0;
    bool oversized = false;
    std::string writeError;
    const HttpChunkCallback onChunk = [&](const char* data, std::size_t length, std::int64_t totalLength) {
        if (cancelled())
            return false;
        // Stop as soon as the package is larger than the catalog says: a
        // hostile or broken server must not fill the disk (often RAM).
        const auto afterBlock = received + static_cast<std::int64_t>(length);
        if (manifest.sizeBytes > 0 && afterBlock > manifest.sizeBytes) {
            received = afterBlock;
            oversized = true;
            return false;
        }
        if (!writeAll(out.get(), data, length)) {
            writeError = "Failed to write staging file " + partPath + ": " + errorText(errno);
            return false;
        }
        hasher.update(data, length);
        received = afterBlock;
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
        folder.remove(partName);
        throw;
    }
    // A write that only fails when the data reaches the disk (disk full on
    // a network file system) must not pass as a complete package.
    if (transferred && (::fsync(out.get()) != 0 && errno != EINVAL)) {
        transferred = false;
        transferError = "Failed to write staging file " + partPath + ": " + errorText(errno);
    }
    out = UniqueFd();

    auto fail = [&](const std::string& message) {
        folder.remove(partName);
        throw std::runtime_error(message);
    };
    if (cancelled())
        fail("Download cancelled");
    if (oversized || (manifest.sizeBytes > 0 && transferred && manifest.sizeBytes != received))
        fail("Package size mismatch: expected " + std::to_string(manifest.sizeBytes) + " bytes, received " +
             std::to_string(received) + " bytes");
    if (!writeError.empty())
        fail("Download failed: " + writeError);
    if (!transferred)
        fail("Download failed: " + (transferError.empty() ? std::string("network transfer error") : transferError));
    const std::string computed = hasher.finalHex();
    if (toLower(manifest.sha256) != toLower(computed))
        fail("SHA-256 digest mismatch: expected " + manifest.sha256 + ", computed " + computed);
    std::string renameError;
    if (!folder.rename(partName, targetName, &renameError))
        fail("Failed to rename temporary part file to target executable: " + renameError);
    return folder.file(targetName);
}

} // namespace selfupdate
