#include "selfupdate/update_installer.h"

#include <filesystem>
#include <system_error>

#include "selfupdate/platform_process.h"
#include "selfupdate/trampoline.h"
#include "selfupdate/trampoline_scripts.h"

namespace selfupdate {

namespace fs = std::filesystem;

namespace {

const char* const kBackupSuffix = ".old";

bool isRegularFile(const std::string& path)
{
    std::error_code error;
    return !path.empty() && fs::is_regular_file(path, error);
}

void makeWritable(const fs::path& path)
{
    std::error_code error;
    const fs::perms current = fs::status(path, error).permissions();
    if (!error && (current & fs::perms::owner_write) == fs::perms::none)
        fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, error);
}

// Executable bits wherever the file is readable (a downloaded file has none).
void makeExecutable(const fs::path& path)
{
    std::error_code error;
    const fs::perms current = fs::status(path, error).permissions();
    if (error)
        return;
    fs::perms execute = fs::perms::owner_exec;
    if ((current & fs::perms::group_read) != fs::perms::none)
        execute |= fs::perms::group_exec;
    if ((current & fs::perms::others_read) != fs::perms::none)
        execute |= fs::perms::others_exec;
    fs::permissions(path, execute, fs::perm_options::add, error);
}

std::string folderOf(const std::string& path)
{
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

InstallResult failed(InstallResult result, const std::string& message)
{
    result.success = false;
    result.errorMessage = message;
    return result;
}

} // namespace

UpdateInstaller::UpdateInstaller(InstallOptions options) : m_options(std::move(options)) {}

std::string UpdateInstaller::detectCurrentExecutablePath()
{
    return currentExecutablePath();
}

bool UpdateInstaller::cleanupStaleBackup(const std::string& executablePath)
{
    const std::string path = executablePath.empty() ? detectCurrentExecutablePath() : executablePath;
    if (path.empty())
        return true;
    const fs::path old = path + kBackupSuffix;
    std::error_code error;
    if (!fs::exists(fs::symlink_status(old, error)) || error)
        return true;
    makeWritable(old);
    return fs::remove(old, error) && !error;
}

InstallResult UpdateInstaller::executeUpdate(const UpdateManifest& manifest, const std::string& stagedPath) const
{
    if (manifest.installType == InstallType::BinaryCopy)
        return executeBinaryCopy(stagedPath, "");
    return executeSetupInstaller(manifest, stagedPath);
}

InstallResult UpdateInstaller::executeBinaryCopy(const std::string& stagedPath, const std::string& targetPath) const
{
    InstallResult result;
    if (!isRegularFile(stagedPath))
        return failed(result, "Staged binary path does not exist or is not a regular file: " + stagedPath);

    std::string target = targetPath;
    for (const std::string* candidate : {&m_options.targetExecutablePath, &m_options.currentExecutablePath}) {
        if (target.empty())
            target = *candidate;
    }
    if (target.empty())
        target = detectCurrentExecutablePath();
    if (target.empty())
        return failed(result, "Cannot determine target executable path for binary copy");

    const std::string old = target + kBackupSuffix;
    bool moved = false;
    std::error_code error;
    if (fs::exists(fs::symlink_status(target, error))) {
        if (fs::exists(fs::symlink_status(old, error)))
            makeWritable(old);
        fs::rename(target, old, error);
        moved = !error;
        if (!moved) {
            std::vector<std::string> relaunch;
            if (m_options.relaunchAfterInstall) {
                relaunch.push_back(target);
                relaunch.insert(relaunch.end(), m_options.relaunchArgs.begin(), m_options.relaunchArgs.end());
            }
            const std::string script =
                writeCopyTrampoline(folderOf(stagedPath), currentProcessId(), stagedPath, target, relaunch);
            if (script.empty())
                return failed(result, "Failed to rename running executable to .old and failed to generate trampoline");
            result.scriptPath = script;
            result.commandLine = formatTrampolineCommand(script);
            result.quitRequired = true;
            if (!m_options.skipProcessLaunch && !launchTrampoline(script))
                return failed(result, "Failed to launch binary copy trampoline script");
            result.success = true;
            return result;
        }
    }

    fs::copy_file(stagedPath, target, fs::copy_options::overwrite_existing, error);
    if (!error) {
        // The copy takes the mode of the executable it replaces (or keeps the
        // staged file's), and in any case must be executable to be relaunched.
        if (moved) {
            const fs::perms mode = fs::status(old, error).permissions();
            if (!error)
                fs::permissions(target, mode, fs::perm_options::replace, error);
        }
        if (!error)
            makeExecutable(target);
    }
    if (error) {
        if (moved) {
            std::error_code ignored; // nothing better to do than to report the copy failure
            fs::rename(old, target, ignored);
            result.backupPath = old;
        }
        return failed(result, "Failed to copy staged binary to target executable; restored backup");
    }

    result.success = true;
    if (moved)
        result.backupPath = old;
    if (m_options.relaunchAfterInstall) {
        result.quitRequired = true;
        result.commandLine = formatShellCommand(target, m_options.relaunchArgs);
        if (!m_options.skipProcessLaunch)
            spawnDetachedProcess(target, m_options.relaunchArgs); // not checked: we quit either way
    }
    return result;
}

InstallResult UpdateInstaller::executeSetupInstaller(const UpdateManifest& manifest,
                                                     const std::string& installerPath) const
{
    InstallResult result;
    if (!isRegularFile(installerPath))
        return failed(result, "Staged installer path does not exist or is not a regular file: " + installerPath);

    const std::string args = m_options.installerArgs.empty() ? manifest.installerArgs : m_options.installerArgs;
    std::string relaunchTarget = m_options.targetExecutablePath;
    if (relaunchTarget.empty())
        relaunchTarget = m_options.currentExecutablePath;
    if (relaunchTarget.empty())
        relaunchTarget = detectCurrentExecutablePath();

    // A downloaded installer carries no executable bit; if this fails, the
    // launch below reports it (directly) or the trampoline skips the relaunch.
    makeExecutable(installerPath);

    if (m_options.useInstallerTrampoline) {
        std::vector<std::string> relaunch;
        if (m_options.relaunchAfterInstall && !relaunchTarget.empty()) {
            relaunch.push_back(relaunchTarget);
            relaunch.insert(relaunch.end(), m_options.relaunchArgs.begin(), m_options.relaunchArgs.end());
        }
        const std::string script =
            writeInstallerTrampoline(folderOf(installerPath), currentProcessId(), installerPath, args, relaunch);
        if (script.empty())
            return failed(result, "Failed to generate installer trampoline script");
        result.scriptPath = script;
        result.commandLine = formatTrampolineCommand(script);
        result.quitRequired = true;
        if (!m_options.skipProcessLaunch && !launchTrampoline(script))
            return failed(result, "Failed to launch installer trampoline script");
        result.success = true;
        return result;
    }

    std::vector<std::string> arguments;
    if (!args.empty())
        arguments.push_back(args);
    result.commandLine = formatShellCommand(installerPath, arguments);
    result.quitRequired = true;
    if (!m_options.skipProcessLaunch && !spawnDetachedProcess(installerPath, arguments))
        return failed(result, "Failed to launch setup installer directly");
    result.success = true;
    return result;
}

} // namespace selfupdate
