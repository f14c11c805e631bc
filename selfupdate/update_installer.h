#pragma once

#include <string>
#include <vector>

#include "selfupdate/update_manifest.h"

namespace selfupdate {

struct StagedPackage;

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
// trampoline script that waits for this process to exit. Everything that can
// be proven beforehand is (the package's digest, a writable target, a script
// that runs), so a result that asks the application to quit is one that can
// complete. Failures are reported in the result, never thrown.
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

    // The words a trampoline script left when the installation it ran after
    // we exited failed, found in stagingRoot or a folder in it, and removed;
    // empty when there is none.
    static std::string takeFailureReport(const std::string& stagingRoot);

private:
    // A null expectedDigest skips the digest check (the two public entry
    // points that are handed a file without its manifest).
    InstallResult copyBinary(const std::string& stagedPath, const std::string& targetPath,
                             const std::string* expectedDigest) const;
    InstallResult runSetupInstaller(const UpdateManifest& manifest, const std::string& installerPath,
                                    const std::string* expectedDigest) const;
    InstallResult swapIn(int dir, const std::string& tempName, const std::string& target, bool targetExists) const;
    InstallResult copyAfterExit(const StagedPackage& package, const std::string& target,
                                const std::string* expectedDigest) const;
    InstallResult launchScript(InstallResult result, const std::string& script,
                               const std::string& launchFailure) const;
    std::string targetExecutable(const std::string& targetPath, std::string& problem) const;
    std::vector<std::string> relaunchCommand(const std::string& program) const;

    InstallOptions m_options;
};

} // namespace selfupdate
