#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "selfupdate/http_transport.h"
#include "selfupdate/update_manifest.h"
#include "selfupdate/update_state.h"

namespace selfupdate {

struct CheckerConfig {
    std::string applicationId;
    std::string currentVersionName;
    std::int64_t currentVersionCode = 0;
    std::string manifestUrl;
    std::int32_t connectTimeoutMs = 10000;
    std::int32_t receiveTimeoutMs = 10000;
};

struct InstalledAppInfo {
    std::string applicationId;
    std::string versionName;
    std::int64_t versionCode = 0;
    std::string executablePath;
};

// Asks the release catalog whether a build newer than the running one exists.
class SelfUpdateChecker {
public:
    SelfUpdateChecker(CheckerConfig config, std::shared_ptr<HttpTransport> transport);

    // Throws std::exception subclasses whose text is shown to the operator.
    UpdateManifest fetchManifest(const std::atomic<bool>* cancel) const;

    // Linux executables carry no version resource: only the path is known,
    // and the version comes from the configuration.
    static InstalledAppInfo detectCurrentExeVersionInfo();
    InstalledAppInfo getInstalledAppInfo() const;

    // Never throws for network or format failures: they become the Error phase.
    UpdateState checkForUpdate(bool userInitiated, const std::atomic<bool>* cancel) const;

    const CheckerConfig& config() const { return m_config; }

private:
    CheckerConfig m_config;
    std::shared_ptr<HttpTransport> m_transport;
};

} // namespace selfupdate
