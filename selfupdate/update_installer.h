#pragma once

#include <string>
#include <vector>

#include "selfupdate/update_manifest.h"

namespace selfupdate {

struct InstallOptions {
    std::string currentExecutablePath;
    std::string targetExecutablePath;
    std::string installerArgs;
    std::vector<std::string> relaunchArgs;
    bool relaunchAfterInstall = false;
    bool useInstallerTrampoline = false;
    bool skipProcessLaunch = false;
};

struct InstallResult {
    bool success = false;
    bool quitRequired = false;
    std::string backupPath;
    std::string scriptPath;
    std::string commandLine;
    std::string errorMessage;
};

// Puts a verified package into effect: replaces the application's executable
// (keeping a ".old" backup) or runs a setup installer, directly or through a
// trampoline script that waits for this process to exit. Failures are
// reported in the result, never thrown.
class UpdateInstaller {
public:
    explicit UpdateInstaller(InstallOptions options);

    InstallOptions options() const { return m_options; }

    static std::string detectCurrentExecutablePath();
    // Removes the ".old" backup an earlier update left beside the executable.
    static bool cleanupStaleBackup(const std::string& executablePath);

    InstallResult executeUpdate(const UpdateManifest& manifest, const std::string& stagedPath) const;
    InstallResult executeBinaryCopy(const std::string& stagedPath, const std::string& targetPath) const;
    InstallResult executeSetupInstaller(const UpdateManifest& manifest, const std::string& installerPath) const;

private:
    InstallOptions m_options;
};

} // namespace selfupdate
