#include "selfupdate/update_installer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "selfupdate/platform_process.h"
#include "selfupdate/sha256.h"
#include "test_support.h"

namespace fs = std::filesystem;
using selfupdate::InstallOptions;
using selfupdate::InstallResult;
using selfupdate::InstallType;
using selfupdate::UpdateInstaller;
using selfupdate::UpdateManifest;
using selfupdate_test::fileExists;
using selfupdate_test::readFile;
using selfupdate_test::TemporaryFolder;
using selfupdate_test::writeFile;

namespace {

fs::perms modeOf(const std::string& path)
{
    return fs::status(path).permissions() & fs::perms::mask;
}

InstallOptions quietOptions()
{
    InstallOptions options;
    options.skipProcessLaunch = true;
    return options;
}

} // namespace

TEST(UpdateInstaller, BinaryCopyKeepsABackupAndTheMode)
{
    TemporaryFolder folder;
    const std::string staged = folder.file("staged.bin");
    const std::string target = folder.file("kestro-teleop");
    writeFile(staged, "new build");
    writeFile(target, "old build");
    fs::permissions(target, fs::perms(0750));
    writeFile(target + ".old", "older backup");
    fs::permissions(target + ".old", fs::perms(0444));

    const InstallResult result = UpdateInstaller(quietOptions()).executeBinaryCopy(staged, target);
    EXPECT_TRUE(result.success) << result.errorMessage;
    EXPECT_FALSE(result.quitRequired);
    EXPECT_EQ(result.backupPath, target + ".old");
    EXPECT_EQ(result.commandLine, "");
    EXPECT_EQ(readFile(target), "new build");
    EXPECT_EQ(readFile(target + ".old"), "old build");
    EXPECT_EQ(modeOf(target), fs::perms(0750));
    EXPECT_TRUE(fileExists(staged)) << "the staged package stays for a retry";
}

TEST(UpdateInstaller, BinaryCopyOntoMissingTargetMakesItExecutable)
{
    TemporaryFolder folder;
    const std::string staged = folder.file("staged.bin");
    writeFile(staged, "new build");
    fs::permissions(staged, fs::perms(0644));
    InstallOptions options = quietOptions();
    options.targetExecutablePath = folder.file("fresh");
    options.relaunchAfterInstall = true;
    options.relaunchArgs = {"--after-update", "a b"};

    const InstallResult result = UpdateInstaller(options).executeBinaryCopy(staged, "");
    EXPECT_TRUE(result.success) << result.errorMessage;
    EXPECT_TRUE(result.quitRequired);
    EXPECT_EQ(result.backupPath, "");
    EXPECT_EQ(result.commandLine, "'" + folder.file("fresh") + "' '--after-update' 'a b'");
    EXPECT_EQ(modeOf(folder.file("fresh")), fs::perms(0755));
    EXPECT_FALSE(fileExists(folder.file("fresh.old")));
}

TEST(UpdateInstaller, BinaryCopyRelaunchesTheNewExecutable)
{
    TemporaryFolder folder;
    const std::string staged = folder.file("staged");
    fs::copy_file(SELFUPDATE_HELPER_PATH, staged);
    const std::string target = folder.file("app");
    writeFile(target, "old");
    const std::string marker = folder.file("marker");
    InstallOptions options;
    options.currentExecutablePath = target;
    options.relaunchAfterInstall = true;
    options.relaunchArgs = {marker};

    UpdateManifest manifest;
    manifest.installType = InstallType::BinaryCopy;
    manifest.sha256 = selfupdate::Sha256::hashFile(staged);
    const InstallResult result = UpdateInstaller(options).executeUpdate(manifest, staged);
    EXPECT_TRUE(result.success) << result.errorMessage;
    EXPECT_TRUE(result.quitRequired);
    EXPECT_TRUE(selfupdate_test::waitFor([&] { return fileExists(marker); }, std::chrono::seconds(30)));
    EXPECT_EQ(readFile(marker), marker + "\n");
}

TEST(UpdateInstaller, FailedCopyLeavesTheTargetUntouched)
{
    TemporaryFolder folder;
    const std::string staged = folder.file("staged.bin");
    const std::string target = folder.file("app");
    writeFile(staged, selfupdate_test::randomBytes(64 * 1024, 3));
    writeFile(target, "old build");

    // A file-size limit makes the copy fail half-way, even for root. It runs
    // in a child so the limit does not touch the test process.
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const InstallResult result = UpdateInstaller(quietOptions()).executeBinaryCopy(staged, target);
        const std::string text = std::string(result.success ? "1" : "0") + "|" + result.backupPath + "|" +
                                 result.errorMessage;
        ssize_t ignored = ::write(report[1], text.data(), text.size());
        (void)ignored;
        _exit(0);
    }
    ::close(report[1]);
    std::string text;
    char buffer[512];
    for (ssize_t got; (got = ::read(report[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    ::close(report[0]);
    int status = 0;
    ::waitpid(child, &status, 0);

    // The copy is made beside the target and only then renamed over it.
    EXPECT_EQ(text, "0||Failed to copy staged binary to target executable; restored backup");
    EXPECT_EQ(readFile(target), "old build");
    EXPECT_FALSE(fileExists(target + ".old"));
}

TEST(UpdateInstaller, SetupInstallerThroughTrampolineOrDirectly)
{
    TemporaryFolder folder;
    const std::string installer = folder.file("setup.bin");
    writeFile(installer, "installer");
    fs::permissions(installer, fs::perms(0600));
    UpdateManifest manifest;
    manifest.installerArgs = "/S /D=x";
    manifest.sha256 = selfupdate::Sha256::hashFile(installer);

    InstallOptions options = quietOptions();
    options.useInstallerTrampoline = true;
    options.relaunchAfterInstall = true;
    options.currentExecutablePath = folder.file("kestro");
    const InstallResult viaScript = UpdateInstaller(options).executeUpdate(manifest, installer);
    EXPECT_TRUE(viaScript.success) << viaScript.errorMessage;
    EXPECT_TRUE(viaScript.quitRequired);
    EXPECT_EQ(viaScript.scriptPath, folder.file("selfupdate_trampoline.sh"));
    const std::string script = readFile(viaScript.scriptPath);
    EXPECT_NE(script.find("if '" + installer + "' '/S' '/D=x' </dev/null"), std::string::npos) << script;
    EXPECT_NE(script.find("    '" + folder.file("kestro") + "' </dev/null"), std::string::npos) << script;
    EXPECT_TRUE((modeOf(installer) & fs::perms::owner_exec) != fs::perms::none);

    options.useInstallerTrampoline = false;
    options.installerArgs = "--quiet --prefix /opt/k";
    const InstallResult direct = UpdateInstaller(options).executeSetupInstaller(manifest, installer);
    EXPECT_TRUE(direct.success);
    EXPECT_TRUE(direct.quitRequired);
    EXPECT_EQ(direct.commandLine, "'" + installer + "' '--quiet --prefix /opt/k'");
    EXPECT_EQ(direct.scriptPath, "");
}

TEST(UpdateInstaller, FailureTexts)
{
    TemporaryFolder folder;
    const UpdateInstaller installer(quietOptions());
    const std::string missing = folder.file("missing");
    EXPECT_EQ(installer.executeBinaryCopy(missing, folder.file("t")).errorMessage,
              "Staged binary path does not exist or is not a regular file: " + missing);
    EXPECT_EQ(installer.executeBinaryCopy(folder.path(), folder.file("t")).errorMessage,
              "Staged binary path does not exist or is not a regular file: " + folder.path());
    const InstallResult setup = installer.executeSetupInstaller(UpdateManifest(), missing);
    EXPECT_FALSE(setup.success);
    EXPECT_EQ(setup.errorMessage, "Staged installer path does not exist or is not a regular file: " + missing);

    // Launching for real: an installer that cannot be executed is reported.
    const std::string notProgram = folder.file("setup.txt");
    writeFile(notProgram, "just text");
    InstallOptions launching;
    const InstallResult direct = UpdateInstaller(launching).executeSetupInstaller(UpdateManifest(), notProgram);
    EXPECT_FALSE(direct.success);
    EXPECT_EQ(direct.errorMessage, "Failed to launch setup installer directly");

    // A folder in the script's place: the trampoline cannot be written.
    const std::string staged = folder.file("staged");
    writeFile(staged, "x");
    fs::create_directories(folder.file("selfupdate_trampoline.sh"));
    fs::create_directories(folder.file("selfupdate_copy_trampoline.sh"));
    InstallOptions scripted = quietOptions();
    scripted.useInstallerTrampoline = true;
    EXPECT_EQ(UpdateInstaller(scripted).executeSetupInstaller(UpdateManifest(), staged).errorMessage,
              "Failed to generate installer trampoline script");
    writeFile(folder.file("app"), "old");
    fs::create_directories(folder.file("app.old/keep"));
    EXPECT_EQ(installer.executeBinaryCopy(staged, folder.file("app")).errorMessage,
              "cannot keep a backup of " + folder.file("app") + " as " + folder.file("app.old") + ": is a directory");
    EXPECT_EQ(readFile(folder.file("app")), "old");
}

// A program whose file was replaced while it ran (a package manager got
// there first) must not be "updated" at ".../kestro-teleop (deleted)", nor
// have someone else's new file replaced in its name.
TEST(UpdateInstaller, ExecutableReplacedUnderTheRunningProgramIsNotATarget)
{
    for (const bool replaced : {false, true}) {
        TemporaryFolder folder;
        const std::string program = folder.file("kestro-teleop");
        fs::copy_file(SELFUPDATE_HELPER_PATH, program);
        const std::string report = folder.file("report");
        // Returns once the helper has been executed: it runs the original file.
        ASSERT_TRUE(selfupdate::spawnDetachedProcess(program, {report, "--report-executable"}));
        if (replaced) {
            writeFile(folder.file("newer"), "someone else's build");
            fs::rename(folder.file("newer"), program);
        }
        writeFile(report + ".go", "");
        ASSERT_TRUE(selfupdate_test::waitFor([&] { return fileExists(report); }, std::chrono::seconds(30)));
        EXPECT_EQ(readFile(report), (replaced ? "" : program) + "\n" + program + "\n") << replaced;
    }
}

namespace {

// A small tmpfs at path with the given options, unmounted again at the end;
// empty options text when mounting is not allowed here.
class ScratchMount {
public:
    ScratchMount(const std::string& path, const std::string& options) : m_path(path)
    {
        fs::create_directories(path);
        const std::string command = "mount -t tmpfs -o size=4m," + options + " tmpfs '" + path + "' 2>/dev/null";
        m_mounted = std::system(command.c_str()) == 0;
    }
    ~ScratchMount()
    {
        if (m_mounted)
            std::system(("umount '" + m_path + "'").c_str());
    }
    bool mounted() const { return m_mounted; }
    bool remount(const std::string& options) const
    {
        return std::system(("mount -o remount," + options + " '" + m_path + "'").c_str()) == 0;
    }

private:
    std::string m_path;
    bool m_mounted = false;
};

} // namespace

// Mounts an operator meets: a staging folder where nothing may be executed,
// a program on a read-only file system. Either is an error with the reason
// before anyone is asked to quit, even for root.
TEST(UpdateInstaller, MountsThatForbidTheInstallAreReportedBeforeQuitting)
{
    TemporaryFolder folder;
    const std::string stage = folder.file("stage");
    const std::string app = folder.file("app");
    {
        ScratchMount noexec(stage, "noexec,mode=0700");
        if (!noexec.mounted())
            GTEST_SKIP() << "this machine does not allow mounting a tmpfs";
        const std::string installer = stage + "/setup.bin";
        writeFile(installer, "#!/bin/sh\nexit 0\n");
        UpdateManifest manifest;
        manifest.sha256 = selfupdate::Sha256::hashFile(installer);
        InstallOptions options = quietOptions();
        options.useInstallerTrampoline = true;
        const InstallResult result = UpdateInstaller(options).executeUpdate(manifest, installer);
        EXPECT_FALSE(result.success);
        EXPECT_FALSE(result.quitRequired);
        EXPECT_EQ(result.errorMessage,
                  "cannot run " + installer + ": " + stage + " is on a file system mounted noexec");
        EXPECT_FALSE(fileExists(stage + "/selfupdate_trampoline.sh"));
    }
    {
        ScratchMount readOnly(app, "mode=0755");
        ASSERT_TRUE(readOnly.mounted());
        writeFile(app + "/kestro-teleop", "old build");
        ASSERT_TRUE(readOnly.remount("ro"));
        fs::create_directories(stage);
        writeFile(stage + "/new.bin", "new build");
        UpdateManifest manifest;
        manifest.installType = InstallType::BinaryCopy;
        manifest.sha256 = selfupdate::Sha256::hashString("new build");
        InstallOptions options = quietOptions();
        options.targetExecutablePath = app + "/kestro-teleop";
        options.relaunchAfterInstall = true;
        const InstallResult result = UpdateInstaller(options).executeUpdate(manifest, stage + "/new.bin");
        EXPECT_FALSE(result.success);
        EXPECT_FALSE(result.quitRequired);
        EXPECT_EQ(result.errorMessage, "cannot replace " + app + "/kestro-teleop: read-only file system");
        EXPECT_EQ(readFile(app + "/kestro-teleop"), "old build");
    }
}

TEST(UpdateInstaller, CleanupStaleBackup)
{
    TemporaryFolder folder;
    const std::string exe = folder.file("kestro");
    writeFile(exe, "current");
    EXPECT_TRUE(UpdateInstaller::cleanupStaleBackup(exe));
    EXPECT_TRUE(fileExists(exe));

    writeFile(exe + ".old", "previous");
    fs::permissions(exe + ".old", fs::perms(0444));
    EXPECT_TRUE(UpdateInstaller::cleanupStaleBackup(exe));
    EXPECT_FALSE(fileExists(exe + ".old"));
    EXPECT_EQ(readFile(exe), "current");

    fs::create_directories(exe + ".old/inside");
    EXPECT_FALSE(UpdateInstaller::cleanupStaleBackup(exe)) << "a backup that cannot be removed is reported";

    EXPECT_EQ(UpdateInstaller::detectCurrentExecutablePath(), fs::read_symlink("/proc/self/exe").string());
    EXPECT_TRUE(UpdateInstaller::cleanupStaleBackup(""));
}
