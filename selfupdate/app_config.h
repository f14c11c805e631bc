#pragma once

#include <cstdint>
#include <string>

#include "selfupdate/self_update_checker.h"

namespace selfupdate {

// The application's self-update settings: where and as whom to ask for
// releases, and whether to ask at start-up. The identity fields after
// checker repeat the application's identity for tools that describe it.
struct AppConfig {
    CheckerConfig checker;
    std::string applicationId;
    std::string shortName;
    std::string executableStem;
    std::string displayName;
    std::string versionName;
    std::int64_t versionCode = 0;
    bool checkOnStartup = true;
};

} // namespace selfupdate
