#include "selfupdate/trampoline_scripts.h"

namespace selfupdate {

const char* const kWindowsCopyTrampolineFileName = "selfupdate_copy_trampoline.cmd";
const char* const kWindowsInstallerTrampolineFileName = "selfupdate_trampoline.cmd";
const char* const kPosixCopyTrampolineFileName = "selfupdate_copy_trampoline.sh";
const char* const kPosixInstallerTrampolineFileName = "selfupdate_trampoline.sh";
const char* const kInstallFailureReportFileName = "selfupdate_install_failed.txt";

namespace {

const char* const kCrLf = "\r\n";

// The first eight lines of both batch scripts: poll once a second until no
// process with our id is listed any more.
std::string windowsWaitLoop(std::int64_t processId)
{
    const std::string pid = std::to_string(processId);
    std::string text;
    text += std::string("@echo off") + kCrLf;
    text += std::string("setlocal") + kCrLf;
    text += std::string(":wait_loop") + kCrLf;
    text += "tasklist /fi \"pid eq " + pid + "\" 2>nul | find \"" + pid + "\" >nul" + kCrLf;
    text += std::string("if \"%ERRORLEVEL%\"==\"0\" (") + kCrLf;
    text += std::string("    timeout /t 1 /nobreak >nul 2>&1") + kCrLf;
    text += std::string("    goto wait_loop") + kCrLf;
    text += std::string(")") + kCrLf;
    return text;
}

std::string windowsRelaunchBlock(const std::string& relaunchCommand)
{
    std::string text = std::string("if %ERRORLEVEL% EQU 0 (") + kCrLf;
    if (!relaunchCommand.empty())
        text += "    start \"\" " + relaunchCommand + kCrLf;
    text += std::string(")") + kCrLf;
    text += std::string("del \"%~f0\"") + kCrLf;
    return text;
}

// Waits for the process to end. kill -0 alone would also see a zombie that
// its parent has not reaped yet, so a "Z" state in /proc ends the wait too.
std::string posixWaitLoop(std::int64_t processId)
{
    const std::string pid = std::to_string(processId);
    return "#!/bin/sh\n"
           "# Written by the self-updater: finishes an update once the application has exited.\n"
           "while kill -0 " + pid + " 2>/dev/null; do\n"
           "    case \"$(cat /proc/" + pid + "/stat 2>/dev/null)\" in\n"
           "        *\") Z \"*) break ;;\n"
           "    esac\n"
           "    sleep 1\n"
           "done\n";
}

std::string posixThenBlock(const std::vector<std::string>& relaunchArgv)
{
    if (relaunchArgv.empty())
        return "    :\n";
    const std::vector<std::string> args(relaunchArgv.begin() + 1, relaunchArgv.end());
    return "    " + formatShellCommand(relaunchArgv.front(), args) + " </dev/null >/dev/null 2>&1 &\n";
}

} // namespace

std::string quoteArg(const std::string& arg)
{
    if (arg.empty())
        return "\"\"";
    if (arg.find_first_of(" \t\n\v\"") == std::string::npos)
        return arg;
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"')
            quoted += "\\\"";
        else
            quoted.push_back(c);
    }
    quoted.push_back('"');
    return quoted;
}

std::string formatCommand(const std::string& program, const std::vector<std::string>& args)
{
    std::string command = quoteArg(program);
    for (const std::string& arg : args)
        command += " " + quoteArg(arg);
    return command;
}

std::string formatWindowsTrampolineCommand(const std::string& scriptPath)
{
    return "cmd.exe /c \"" + scriptPath + "\"";
}

std::string windowsCopyTrampolineScript(std::int64_t processId, const std::string& stagedPath,
                                        const std::string& targetPath, const std::string& relaunchCommand)
{
    return windowsWaitLoop(processId) + "copy /y \"" + stagedPath + "\" \"" + targetPath + "\" >nul" + kCrLf +
           windowsRelaunchBlock(relaunchCommand);
}

std::string windowsInstallerTrampolineScript(std::int64_t processId, const std::string& installerPath,
                                             const std::string& installerArgs, const std::string& relaunchCommand)
{
    std::string start = "start \"\" /WAIT \"" + installerPath + "\"";
    if (!installerArgs.empty())
        start += " " + installerArgs;
    return windowsWaitLoop(processId) + start + kCrLf + windowsRelaunchBlock(relaunchCommand);
}

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted.push_back(c);
    }
    quoted.push_back('\'');
    return quoted;
}

std::string formatShellCommand(const std::string& program, const std::vector<std::string>& args)
{
    std::string command = shellQuote(program);
    for (const std::string& arg : args)
        command += " " + shellQuote(arg);
    return command;
}

std::string formatPosixTrampolineCommand(const std::string& scriptPath)
{
    return "/bin/sh " + shellQuote(scriptPath);
}

std::vector<std::string> splitArguments(const std::string& text)
{
    std::vector<std::string> words;
    std::string current;
    bool inWord = false;
    bool inQuotes = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inQuotes) {
            if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\'))
                current.push_back(text[++i]);
            else if (c == '"')
                inQuotes = false;
            else
                current.push_back(c);
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v') {
            if (inWord)
                words.push_back(current);
            current.clear();
            inWord = false;
        } else if (c == '"') {
            inQuotes = true;
            inWord = true;
        } else {
            current.push_back(c);
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(current);
    return words;
}

std::string posixCopyTrampolineScript(std::int64_t processId, const std::string& stagedPath,
                                      const std::string& targetPath, const std::string& backupPath,
                                      const std::vector<std::string>& relaunchArgv, const std::string& scriptPath,
                                      const std::string& reportPath)
{
    // cp -f replaces a target that cannot be opened for writing; chmod makes
    // sure the copy can be executed whatever mode the staged file had. A
    // failure is never silent: cp's own words go into the report that the
    // next start shows, the backup is put back, and the program is started
    // again either way so the operator is not left without it.
    const std::string target = shellQuote(targetPath);
    std::string failed =
        "    printf 'cannot replace %s: %s\\n' " + target + " \"$output\" > " + shellQuote(reportPath) + "\n";
    if (!backupPath.empty())
        failed += "    cp -f -- " + shellQuote(backupPath) + " " + target + " 2>/dev/null\n";
    failed += posixThenBlock(relaunchArgv);
    std::string text = posixWaitLoop(processId) + "if output=$(cp -f -- " + shellQuote(stagedPath) + " " + target +
                       " 2>&1 && chmod +x -- " + target + " 2>&1); then\n" + posixThenBlock(relaunchArgv) +
                       "else\n" + failed + "fi\n";
    if (!backupPath.empty())
        text += "rm -f -- " + shellQuote(backupPath) + "\n";
    return text + "rm -f -- " + shellQuote(scriptPath) + "\n";
}

std::string posixInstallerTrampolineScript(std::int64_t processId, const std::string& installerPath,
                                           const std::vector<std::string>& installerArgs,
                                           const std::vector<std::string>& relaunchArgv,
                                           const std::string& scriptPath, const std::string& reportPath)
{
    // In the else branch $? is still the installer's exit status.
    return posixWaitLoop(processId) + "if " + formatShellCommand(installerPath, installerArgs) +
           " </dev/null >/dev/null 2>&1; then\n" + posixThenBlock(relaunchArgv) + "else\n" +
           "    printf 'the installer %s failed with exit status %s\\n' " + shellQuote(installerPath) +
           " \"$?\" > " + shellQuote(reportPath) + "\n" + posixThenBlock(relaunchArgv) + "fi\n" + "rm -f -- " +
           shellQuote(scriptPath) + "\n";
}

} // namespace selfupdate
