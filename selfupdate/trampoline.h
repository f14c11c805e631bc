#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The platform's trampoline: a small script that waits until a process has
// exited, then replaces or installs the application and optionally starts it
// again. On POSIX systems it is an sh script (trampoline_posix.cpp).
namespace selfupdate {

// Each writes its script into folder, which must be private to this user,
// as a new file (an earlier file or a planted link of that name is removed,
// never followed) and returns the script's path, or an empty string when it
// could not be written. relaunchArgv is the program and its arguments, empty
// for no relaunch. A failed installation leaves a report in the folder.
std::string writeCopyTrampoline(const std::string& folder, std::int64_t waitForProcessId,
                                const std::string& stagedPath, const std::string& targetPath,
                                const std::string& backupPath, const std::vector<std::string>& relaunchArgv);
std::string writeInstallerTrampoline(const std::string& folder, std::int64_t waitForProcessId,
                                     const std::string& installerPath, const std::string& installerArgs,
                                     const std::vector<std::string>& relaunchArgv);

// The command line that runs a trampoline script.
std::string formatTrampolineCommand(const std::string& scriptPath);
// True when the interpreter starts and reads the script from where it was
// written (checked before the application quits for it).
bool canRunTrampoline(const std::string& scriptPath);
// Starts the script as a detached process; true when it was started.
bool launchTrampoline(const std::string& scriptPath);

} // namespace selfupdate
