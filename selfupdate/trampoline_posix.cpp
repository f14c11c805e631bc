#include "selfupdate/trampoline.h"

#include <filesystem>
#include <stdexcept>

#include "selfupdate/platform_process.h"
#include "selfupdate/private_folder.h"
#include "selfupdate/trampoline_scripts.h"

namespace selfupdate {

namespace fs = std::filesystem;

namespace {

const char* const kShell = "/bin/sh";

// Scripts hold absolute paths: the script runs after we are gone, from
// whatever working folder, and a bare name would be looked up in PATH.
std::string absolutePath(const std::string& path)
{
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

std::vector<std::string> absoluteProgram(std::vector<std::string> argv)
{
    if (!argv.empty())
        argv.front() = absolutePath(argv.front());
    return argv;
}

// The script text comes from makeText(script path, report path).
template <typename MakeText>
std::string writeScript(const std::string& folderPath, const char* name, MakeText makeText)
{
    try {
        const PrivateFolder folder = PrivateFolder::open(folderPath.empty() ? "." : folderPath, false);
        const std::string script = folder.file(name);
        const std::string text = makeText(script, folder.file(kInstallFailureReportFileName));
        UniqueFd out = folder.createFile(name, 0700);
        if (!out.valid() || !writeAll(out.get(), text.data(), text.size())) {
            folder.remove(name);
            return std::string();
        }
        return script;
    } catch (const std::runtime_error&) {
        return std::string(); // the folder is not private: no script is written there
    }
}

} // namespace

std::string writeCopyTrampoline(const std::string& folder, std::int64_t waitForProcessId,
                                const std::string& stagedPath, const std::string& targetPath,
                                const std::string& backupPath, const std::vector<std::string>& relaunchArgv)
{
    return writeScript(folder, kPosixCopyTrampolineFileName, [&](const std::string& script, const std::string& report) {
        return posixCopyTrampolineScript(waitForProcessId, absolutePath(stagedPath), absolutePath(targetPath),
                                         backupPath.empty() ? backupPath : absolutePath(backupPath),
                                         absoluteProgram(relaunchArgv), script, report);
    });
}

std::string writeInstallerTrampoline(const std::string& folder, std::int64_t waitForProcessId,
                                     const std::string& installerPath, const std::string& installerArgs,
                                     const std::vector<std::string>& relaunchArgv)
{
    return writeScript(folder, kPosixInstallerTrampolineFileName,
                       [&](const std::string& script, const std::string& report) {
                           return posixInstallerTrampolineScript(waitForProcessId, absolutePath(installerPath),
                                                                 splitArguments(installerArgs),
                                                                 absoluteProgram(relaunchArgv), script, report);
                       });
}

std::string formatTrampolineCommand(const std::string& scriptPath)
{
    return formatPosixTrampolineCommand(scriptPath);
}

bool canRunTrampoline(const std::string& scriptPath)
{
    // -n reads and parses the whole script without running it.
    return runProcess(kShell, {"-n", scriptPath}) == 0;
}

bool launchTrampoline(const std::string& scriptPath)
{
    return spawnDetachedProcess(kShell, {scriptPath});
}

} // namespace selfupdate
