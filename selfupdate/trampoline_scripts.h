#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Text generation for the installer's command lines and trampoline scripts.
// Pure functions: nothing here touches files or processes.
namespace selfupdate {

extern const char* const kWindowsCopyTrampolineFileName;      // "selfupdate_copy_trampoline.cmd"
extern const char* const kWindowsInstallerTrampolineFileName; // "selfupdate_trampoline.cmd"
extern const char* const kPosixCopyTrampolineFileName;        // "selfupdate_copy_trampoline.sh"
extern const char* const kPosixInstallerTrampolineFileName;   // "selfupdate_trampoline.sh"
// Written beside a trampoline script when the installation it ran failed.
extern const char* const kInstallFailureReportFileName;       // "selfupdate_install_failed.txt"

// Windows command-line quoting: quoted only when the argument holds a space,
// tab, line feed, vertical tab or quotation mark; inner quotation marks are
// escaped with a backslash, backslashes are left alone.
std::string quoteArg(const std::string& arg);
std::string formatCommand(const std::string& program, const std::vector<std::string>& args);
std::string formatWindowsTrampolineCommand(const std::string& scriptPath);

// Batch scripts (CR LF line ends). relaunchCommand is the already formatted
// command line, or empty for no relaunch; installerArgs is inserted raw.
std::string windowsCopyTrampolineScript(std::int64_t processId, const std::string& stagedPath,
                                        const std::string& targetPath, const std::string& relaunchCommand);
std::string windowsInstallerTrampolineScript(std::int64_t processId, const std::string& installerPath,
                                             const std::string& installerArgs, const std::string& relaunchCommand);

// POSIX shell quoting: always single quotes, an embedded single quote written
// as '\''. Inside single quotes the shell expands nothing, so no file name or
// argument can run a command.
std::string shellQuote(const std::string& text);
std::string formatShellCommand(const std::string& program, const std::vector<std::string>& args);
// "/bin/sh" and the quoted script path.
std::string formatPosixTrampolineCommand(const std::string& scriptPath);

// Splits an installer argument text into words: blanks separate words,
// double quotes group (and are removed), a backslash inside double quotes
// escapes a quotation mark or a backslash.
std::vector<std::string> splitArguments(const std::string& text);

// sh scripts (LF line ends). relaunchArgv is the program followed by its
// arguments, empty for no relaunch. A failed copy or installer writes one
// line saying why into reportPath (and the copy script puts backupPath, when
// given, back in place); the program is started again either way. The script
// removes scriptPath at the end.
std::string posixCopyTrampolineScript(std::int64_t processId, const std::string& stagedPath,
                                      const std::string& targetPath, const std::string& backupPath,
                                      const std::vector<std::string>& relaunchArgv, const std::string& scriptPath,
                                      const std::string& reportPath);
std::string posixInstallerTrampolineScript(std::int64_t processId, const std::string& installerPath,
                                           const std::vector<std::string>& installerArgs,
                                           const std::vector<std::string>& relaunchArgv,
                                           const std::string& scriptPath, const std::string& reportPath);

} // namespace selfupdate
