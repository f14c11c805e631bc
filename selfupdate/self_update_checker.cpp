#include "selfupdate/self_update_checker.h"

#include <stdexcept>

#include "selfupdate/platform_process.h"

namespace selfupdate {

SelfUpdateChecker::SelfUpdateChecker(CheckerConfig config, std::shared_ptr<HttpTransport> transport)
    : m_config(std::move(config)), m_transport(transport ? std::move(transport) : HttpTransport::createDefault())
{
}

UpdateManifest SelfUpdateChecker::fetchManifest(const std::atomic<bool>* cancel) const
{
    const std::string url = UpdateManifest::normalizeManifestUrl(m_config.manifestUrl);
    const HttpResponse response = m_transport->get(url, m_config.connectTimeoutMs, m_config.receiveTimeoutMs, cancel);
    if (cancel != nullptr && cancel->load())
        throw std::runtime_error("Manifest fetch cancelled");
    if (response.statusCode >= 200 && response.statusCode <= 299)
        return UpdateManifest::fromJson(response.body, url, m_config.applicationId);

    std::string message = "Failed to fetch update manifest from " + url;
    if (response.statusCode > 0)
        message += ": HTTP " + std::to_string(response.statusCode);
    if (!response.error.empty())
        message += " (" + response.error + ")";
    throw std::runtime_error(message);
}

InstalledAppInfo SelfUpdateChecker::detectCurrentExeVersionInfo()
{
    InstalledAppInfo info;
    info.executablePath = currentExecutablePath();
    return info;
}

InstalledAppInfo SelfUpdateChecker::getInstalledAppInfo() const
{
    InstalledAppInfo info = detectCurrentExeVersionInfo();
    if (!m_config.applicationId.empty())
        info.applicationId = m_config.applicationId;
    if (!m_config.currentVersionName.empty())
        info.versionName = m_config.currentVersionName;
    if (m_config.currentVersionCode > 0)
        info.versionCode = m_config.currentVersionCode;
    else if (info.versionCode <= 0 && !info.versionName.empty())
        info.versionCode = UpdateManifest::parseVersionCode(info.versionName);
    return info;
}

UpdateState SelfUpdateChecker::checkForUpdate(bool userInitiated, const std::atomic<bool>* cancel) const
{
    UpdateState state;
    state.phase = UpdatePhase::Checking;
    state.userInitiated = userInitiated;
    try {
        // Inside: an installed version that does not parse is an error too.
        const InstalledAppInfo info = getInstalledAppInfo();
        state.installedVersionName = info.versionName;
        state.installedVersionCode = info.versionCode;
        const UpdateManifest manifest = fetchManifest(cancel);
        state.manifest = manifest;
        state.phase = manifest.isNewerThan(state.installedVersionName, state.installedVersionCode)
                          ? UpdatePhase::Available
                          : UpdatePhase::UpToDate;
    } catch (const std::exception& error) {
        state.phase = UpdatePhase::Error;
        state.errorMessage = error.what();
    }
    return state;
}

} // namespace selfupdate
