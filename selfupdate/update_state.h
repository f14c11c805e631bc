#pragma once

#include <cstdint>
#include <string>

#include "selfupdate/update_manifest.h"

namespace selfupdate {

enum class UpdatePhase : std::int32_t {
    Idle = 0,
    Checking = 1,
    UpToDate = 2,
    Available = 3,
    Downloading = 4,
    ReadyToInstall = 5,
    LaunchingInstaller = 6,
    InstallerLaunched = 7,
    Error = 8,
};

// Where the update process stands; copied whole to every observer.
struct UpdateState {
    UpdatePhase phase = UpdatePhase::Idle;
    UpdateManifest manifest;
    std::string installedVersionName;
    std::int64_t installedVersionCode = 0;
    std::int64_t downloadedBytes = 0;
    std::int64_t totalBytes = -1;
    std::string stagedPackagePath;
    std::string errorMessage;
    bool userInitiated = false;
};

} // namespace selfupdate
