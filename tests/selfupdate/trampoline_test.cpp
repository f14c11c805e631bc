#include "selfupdate/platform_process.h"
#include "selfupdate/trampoline.h"
#include "selfupdate/trampoline_scripts.h"
#include "selfupdate/update_installer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;
using selfupdate_test::fileExists;
using selfupdate_test::readFile;
using selfupdate_test::TemporaryFolder;
using selfupdate_test::waitFor;

namespace {

// A child of the test that stays alive until killed: the process the
// trampoline waits for.
pid_t startSleeper()
{
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl("/bin/sleep", "sleep", "120", static_cast<char*>(nullptr));
        _exit(127);
    }
    return child;
}

// Names that would run a command if a script ever let the shell interpret them.
const char* const kHostileFolder = "it's a \"dir\" $(touch PWNED) `touch PWNED2`";

} // namespace

TEST(TrampolineScripts, WindowsBatchTextsByteForByte)
{
    const std::string waitLoop = "@echo off\r\n"
                                 "setlocal\r\n"
                                 ":wait_loop\r\n"
                                 "tasklist /fi \"pid eq 4242\" 2>nul | find \"4242\" >nul\r\n"
                                 "if \"%ERRORLEVEL%\"==\"0\" (\r\n"
                                 "    timeout /t 1 /nobreak >nul 2>&1\r\n"
                                 "    goto wait_loop\r\n"
                                 ")\r\n";
    const std::string relaunch = selfupdate::formatCommand("C:\\Program Files\\Kestro\\kestro.exe", {"--updated"});
    EXPECT_EQ(relaunch, "\"C:\\Program Files\\Kestro\\kestro.exe\" --updated");

    EXPECT_EQ(selfupdate::windowsCopyTrampolineScript(4242, "C:\\T\\new.exe", "C:\\App\\kestro.exe", relaunch),
              waitLoop + "copy /y \"C:\\T\\new.exe\" \"C:\\App\\kestro.exe\" >nul\r\n"
                         "if %ERRORLEVEL% EQU 0 (\r\n"
                         "    start \"\" " + relaunch + "\r\n"
                         ")\r\n"
                         "del \"%~f0\"\r\n");
    EXPECT_EQ(selfupdate::windowsCopyTrampolineScript(4242, "a", "b", ""),
              waitLoop + "copy /y \"a\" \"b\" >nul\r\nif %ERRORLEVEL% EQU 0 (\r\n)\r\ndel \"%~f0\"\r\n");
    EXPECT_EQ(selfupdate::windowsInstallerTrampolineScript(4242, "C:\\T\\setup.exe", "/S /D=x", relaunch),
              waitLoop + "start \"\" /WAIT \"C:\\T\\setup.exe\" /S /D=x\r\n"
                         "if %ERRORLEVEL% EQU 0 (\r\n"
                         "    start \"\" " + relaunch + "\r\n"
                         ")\r\n"
                         "del \"%~f0\"\r\n");
    EXPECT_EQ(selfupdate::windowsInstallerTrampolineScript(4242, "s.exe", "", ""),
              waitLoop + "start \"\" /WAIT \"s.exe\"\r\nif %ERRORLEVEL% EQU 0 (\r\n)\r\ndel \"%~f0\"\r\n");
    EXPECT_EQ(selfupdate::formatWindowsTrampolineCommand("C:\\T\\x.cmd"), "cmd.exe /c \"C:\\T\\x.cmd\"");
}

TEST(TrampolineScripts, QuotingRules)
{
    const std::vector<std::pair<std::string, std::string>> windows = {
        {"", "\"\""},
        {"plain.exe", "plain.exe"},
        {"C:\\Program Files\\app.exe", "\"C:\\Program Files\\app.exe\""},
        {"a\"b", "\"a\\\"b\""},
        {"dir with space\\", "\"dir with space\\\""},
        {"tab\there", "\"tab\there\""},
        {"cr\ronly", "cr\ronly"},
    };
    for (const auto& [text, quoted] : windows)
        EXPECT_EQ(selfupdate::quoteArg(text), quoted) << text;
    EXPECT_EQ(selfupdate::formatCommand("C:\\app.exe", {}), "C:\\app.exe");

    const std::vector<std::pair<std::string, std::string>> shell = {
        {"", "''"},
        {"plain", "'plain'"},
        {"it's", "'it'\\''s'"},
        {"$(rm -rf ~) `x` \"y\" \\", "'$(rm -rf ~) `x` \"y\" \\'"},
    };
    for (const auto& [text, quoted] : shell)
        EXPECT_EQ(selfupdate::shellQuote(text), quoted) << text;
    EXPECT_EQ(selfupdate::formatPosixTrampolineCommand("/t/a b.sh"), "/bin/sh '/t/a b.sh'");

    const std::vector<std::pair<std::string, std::vector<std::string>>> words = {
        {"", {}},
        {"  /S   /D=x ", {"/S", "/D=x"}},
        {"--dir \"C:\\Program Files\\K\" -q", {"--dir", "C:\\Program Files\\K", "-q"}},
        {"\"\" a\"b c\"d \"say \\\"hi\\\"\"", {"", "ab cd", "say \"hi\""}},
    };
    for (const auto& [text, expected] : words)
        EXPECT_EQ(selfupdate::splitArguments(text), expected) << text;
}

TEST(Trampoline, CopyScriptWaitsCopiesRelaunchesAndDeletesItself)
{
    TemporaryFolder root;
    const fs::path folder = fs::path(root.path()) / kHostileFolder;
    fs::create_directories(folder);
    const std::string staged = (folder / "new 'build'.bin").string();
    fs::copy_file(SELFUPDATE_HELPER_PATH, staged);
    const std::string target = (folder / "kestro $(touch PWNED3)").string();
    selfupdate_test::writeFile(target, "old executable");
    const std::string marker = (folder / "relaunched; touch PWNED4").string();

    const pid_t sleeper = startSleeper();
    ASSERT_GT(sleeper, 0);
    const std::string script =
        selfupdate::writeCopyTrampoline(folder.string(), sleeper, staged, target, "", {target, marker, "two words"});
    ASSERT_EQ(script, (folder / "selfupdate_copy_trampoline.sh").string());
    ASSERT_TRUE(selfupdate::launchTrampoline(script));

    // While the process lives the trampoline only waits.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(readFile(target), "old executable");
    EXPECT_TRUE(fileExists(script));

    // Killed but not reaped: a zombie must end the wait as well.
    ::kill(sleeper, SIGKILL);
    const bool relaunched = waitFor([&] { return fileExists(marker); }, std::chrono::seconds(60));
    int status = 0;
    ::waitpid(sleeper, &status, 0);
    ASSERT_TRUE(relaunched) << "the helper was not started again";

    EXPECT_EQ(readFile(target), readFile(staged));
    EXPECT_EQ(readFile(marker), marker + "\ntwo words\n");
    EXPECT_TRUE(waitFor([&] { return !fileExists(script); }, std::chrono::seconds(30))) << "script left behind";
    for (const char* injected : {"PWNED", "PWNED2", "PWNED3", "PWNED4"}) {
        EXPECT_FALSE(fileExists(injected)) << injected;
        EXPECT_FALSE(fileExists((folder / injected).string())) << injected;
        EXPECT_FALSE(fileExists(root.file(injected))) << injected;
    }
}

TEST(Trampoline, InstallerScriptRunsTheInstallerWithItsArgumentsThenRelaunches)
{
    TemporaryFolder folder;
    const std::string installer = folder.file("setup tool");
    fs::copy_file(SELFUPDATE_HELPER_PATH, installer);
    const std::string installed = folder.file("installed.txt");
    const std::string relaunchMarker = folder.file("relaunched.txt");

    const pid_t sleeper = startSleeper();
    ASSERT_GT(sleeper, 0);
    const std::string script = selfupdate::writeInstallerTrampoline(
        folder.path(), sleeper, installer, "\"" + installed + "\" /S \"/D=C:\\Program Files\\K\"",
        {installer, relaunchMarker});
    ASSERT_EQ(script, folder.file("selfupdate_trampoline.sh"));
    ASSERT_TRUE(selfupdate::launchTrampoline(script));
    ::kill(sleeper, SIGKILL);
    int status = 0;
    ::waitpid(sleeper, &status, 0);

    ASSERT_TRUE(waitFor([&] { return fileExists(relaunchMarker); }, std::chrono::seconds(60)));
    EXPECT_EQ(readFile(installed), installed + "\n/S\n/D=C:\\Program Files\\K\n");
    EXPECT_EQ(readFile(relaunchMarker), relaunchMarker + "\n");
    EXPECT_TRUE(waitFor([&] { return !fileExists(script); }, std::chrono::seconds(30)));
}

// An installer that fails after we exited is not silent: the script leaves
// its exit status for the next start, and starts the program again anyway.
TEST(Trampoline, FailedInstallerIsReportedAndTheProgramStartedAgain)
{
    TemporaryFolder folder;
    const std::string installer = folder.file("setup");
    selfupdate_test::writeFile(installer, "#!/bin/sh\nexit 3\n");
    fs::permissions(installer, fs::perms(0700));
    const std::string relaunchMarker = folder.file("relaunched.txt");
    const pid_t gone = startSleeper();
    ::kill(gone, SIGKILL);
    int status = 0;
    ::waitpid(gone, &status, 0);

    const std::string script = selfupdate::writeInstallerTrampoline(folder.path(), gone, installer, "",
                                                                    {SELFUPDATE_HELPER_PATH, relaunchMarker});
    ASSERT_FALSE(script.empty());
    ASSERT_TRUE(selfupdate::canRunTrampoline(script));
    ASSERT_EQ(std::system(("/bin/sh '" + script + "'").c_str()), 0);
    EXPECT_TRUE(waitFor([&] { return fileExists(relaunchMarker); }, std::chrono::seconds(30)));
    EXPECT_EQ(selfupdate::UpdateInstaller::takeFailureReport(folder.path()),
              "the installer " + installer + " failed with exit status 3");
    EXPECT_EQ(selfupdate::UpdateInstaller::takeFailureReport(folder.path()), "") << "reported once";
}

TEST(Trampoline, SpawnReportsProgramsThatCannotRun)
{
    TemporaryFolder folder;
    EXPECT_FALSE(selfupdate::spawnDetachedProcess(folder.file("missing-program"), {}));
    selfupdate_test::writeFile(folder.file("not-executable"), "data");
    EXPECT_FALSE(selfupdate::spawnDetachedProcess(folder.file("not-executable"), {}));
    EXPECT_FALSE(selfupdate::spawnDetachedProcess("", {}));

    // Started detached: it is nobody's child of ours, yet it runs.
    const std::string marker = folder.file("spawned");
    ASSERT_TRUE(selfupdate::spawnDetachedProcess(SELFUPDATE_HELPER_PATH, {marker}));
    EXPECT_TRUE(waitFor([&] { return fileExists(marker); }, std::chrono::seconds(30)));
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "no child of ours is left to reap";

    // Descriptors of ours (here an inheritable file and pipe) stay behind:
    // the program gets only its three standard streams.
    const int inheritable = ::open("/dev/null", O_RDONLY);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const std::string report = folder.file("descriptors");
    ASSERT_TRUE(selfupdate::spawnDetachedProcess(SELFUPDATE_HELPER_PATH, {report, "--report-descriptors"}));
    EXPECT_TRUE(waitFor([&] { return fileExists(report); }, std::chrono::seconds(30)));
    EXPECT_EQ(readFile(report), "0 1 2 \n");
    ::close(inheritable);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}
