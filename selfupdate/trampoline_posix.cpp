#include "selfupdate/trampoline.h"

#include <filesystem>
#include <fstream>

#include "selfupdate/platform_process.h"
#include "selfupdate/trampoline_scripts.h"

namespace selfupdate {

namespace fs = std::filesystem;

namespace {

const char* const kShell = "/bin/sh";

bool writeFile(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

// Scripts hold absolute paths: the script runs after we are gone, from
// whatever working folder, and a bare name would be looked up in PATH.
std::string absolutePath(const std::string& path)
{
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

} // namespace

std::string writeCopyTrampoline(const std::string& folder, std::int64_t waitForProcessId,
                                const std::string& stagedPath, const std::string& targetPath,
                                const std::vector<std::string>& relaunchArgv)
{
    const std::string script = absolutePath((fs::path(folder.empty() ? "." : folder) /
                                             kPosixCopyTrampolineFileName).string());
    std::vector<std::string> relaunch = relaunchArgv;
    if (!relaunch.empty())
        relaunch.front() = absolutePath(relaunch.front());
    const std::string text = posixCopyTrampolineScript(waitForProcessId, absolutePath(stagedPath),
                                                       absolutePath(targetPath), relaunch, script);
    return writeFile(script, text) ? script : std::string();
}

std::string writeInstallerTrampoline(const std::string& folder, std::int64_t waitForProcessId,
                                     const std::string& installerPath, const std::string& installerArgs,
                                     const std::vector<std::string>& relaunchArgv)
{
    const std::string script = absolutePath((fs::path(folder.empty() ? "." : folder) /
                                             kPosixInstallerTrampolineFileName).string());
    std::vector<std::string> relaunch = relaunchArgv;
    if (!relaunch.empty())
        relaunch.front() = absolutePath(relaunch.front());
    const std::string text = posixInstallerTrampolineScript(waitForProcessId, absolutePath(installerPath),
                                                            splitArguments(installerArgs), relaunch, script);
    return writeFile(script, text) ? script : std::string();
}

std::string formatTrampolineCommand(const std::string& scriptPath)
{
    return formatPosixTrampolineCommand(scriptPath);
}

bool launchTrampoline(const std::string& scriptPath)
{
    return spawnDetachedProcess(kShell, {scriptPath});
}

} // namespace selfupdate
