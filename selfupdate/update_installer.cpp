#include "selfupdate/update_installer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "selfupdate/platform_process.h"
#include "selfupdate/private_folder.h"
#include "selfupdate/sha256.h"
#include "selfupdate/trampoline.h"
#include "selfupdate/trampoline_scripts.h"

namespace selfupdate {

namespace fs = std::filesystem;

namespace {

const char* const kBackupSuffix = ".old";
const char* const kCopyFailedMessage = "Failed to copy staged binary to target executable; restored backup";
// The copy kept in the staging folder while a copy script replaces the
// target after we exit; the script puts it back if the copy fails.
const char* const kScriptBackupSuffix = ".backup";
constexpr std::size_t kCopyBlockSize = 65536;

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

// The mode with executable bits wherever it is readable.
mode_t withExecutableBits(mode_t mode)
{
    mode |= S_IXUSR;
    if ((mode & S_IRGRP) != 0)
        mode |= S_IXGRP;
    if ((mode & S_IROTH) != 0)
        mode |= S_IXOTH;
    return mode;
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

std::string toLower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

// The verified package, reached only through its private folder.
struct StagedPackage {
    PrivateFolder folder;
    UniqueFd fd;
    std::string name;

    std::string path() const { return folder.file(name); }
};

namespace {

// Throws std::runtime_error when the package or its folder could have been
// changed by another user.
StagedPackage openStagedPackage(const std::string& path)
{
    const fs::path staged(path);
    PrivateFolder folder = PrivateFolder::open(folderOf(path), false);
    UniqueFd fd = folder.openOwnFile(staged.filename().string());
    return StagedPackage{std::move(folder), std::move(fd), staged.filename().string()};
}

// Reads all of from (from its start), writing it to to unless to is -1, and
// gives the SHA-256 digest of exactly the bytes read: what is installed is
// what was checked. False with errno set on a read or write failure.
bool copyAndHash(int from, int to, std::string& digest)
{
    Sha256 hasher;
    std::string buffer(kCopyBlockSize, '\0');
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(from, buffer.data(), buffer.size(), offset);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0)
            break;
        if (to >= 0 && !writeAll(to, buffer.data(), static_cast<std::size_t>(got)))
            return false;
        hasher.update(buffer.data(), static_cast<std::size_t>(got));
        offset += got;
    }
    digest = hasher.finalHex();
    return true;
}

// Empty when the digest is the expected one (or none is expected).
std::string digestProblem(const std::string* expected, const std::string& computed)
{
    if (expected == nullptr)
        return std::string();
    if (expected->empty())
        return "Staged package has no SHA-256 digest to check it against";
    if (toLower(*expected) == computed)
        return std::string();
    return "Staged package changed after it was verified: expected " + *expected + ", computed " + computed;
}

std::string cannotReplace(const std::string& target, int errorNumber)
{
    return "cannot replace " + target + ": " + errorText(errorNumber);
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
    // The package is hashed again on the way in: the verified download may
    // have waited a long time in its folder.
    if (manifest.installType == InstallType::BinaryCopy)
        return copyBinary(stagedPath, "", &manifest.sha256);
    return runSetupInstaller(manifest, stagedPath, &manifest.sha256);
}

InstallResult UpdateInstaller::executeBinaryCopy(const std::string& stagedPath, const std::string& targetPath) const
{
    return copyBinary(stagedPath, targetPath, nullptr);
}

InstallResult UpdateInstaller::executeSetupInstaller(const UpdateManifest& manifest,
                                                     const std::string& installerPath) const
{
    return runSetupInstaller(manifest, installerPath, nullptr);
}

std::vector<std::string> UpdateInstaller::relaunchCommand(const std::string& program) const
{
    std::vector<std::string> relaunch;
    if (m_options.relaunchAfterInstall && !program.empty()) {
        relaunch.push_back(program);
        relaunch.insert(relaunch.end(), m_options.relaunchArgs.begin(), m_options.relaunchArgs.end());
    }
    return relaunch;
}

std::string UpdateInstaller::targetExecutable(const std::string& targetPath, std::string& problem) const
{
    std::string target = targetPath;
    for (const std::string* candidate : {&m_options.targetExecutablePath, &m_options.currentExecutablePath}) {
        if (target.empty())
            target = *candidate;
    }
    if (target.empty())
        target = detectCurrentExecutablePath();
    if (target.empty()) {
        const std::string reported = reportedExecutablePath();
        problem = reported.empty() ? "Cannot determine target executable path for binary copy"
                                   : "cannot update " + reported +
                                         ": the file was replaced or removed after the program started";
    }
    return target;
}

InstallResult UpdateInstaller::copyBinary(const std::string& stagedPath, const std::string& targetPath,
                                          const std::string* expectedDigest) const
{
    InstallResult result;
    if (!isRegularFile(stagedPath))
        return failed(result, "Staged binary path does not exist or is not a regular file: " + stagedPath);
    std::string problem;
    const std::string target = targetExecutable(targetPath, problem);
    if (target.empty())
        return failed(result, problem);
    try {
        const StagedPackage package = openStagedPackage(stagedPath);
        const fs::path targetFile(target);
        const UniqueFd dir(::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir.valid())
            return failed(result, cannotReplace(target, errno));
        const std::string name = targetFile.filename().string();
        const std::string tempName = "." + name + ".update-" + std::to_string(currentProcessId());
        ::unlinkat(dir.get(), tempName.c_str(), 0); // a leftover of an earlier attempt of ours
        UniqueFd out(::openat(dir.get(), tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700));
        if (!out.valid()) {
            const int error = errno;
            // The folder is closed to us but the file itself is writable: it
            // can be overwritten once this process no longer runs it.
            if ((error == EACCES || error == EPERM) && ::faccessat(dir.get(), name.c_str(), W_OK, AT_EACCESS) == 0)
                return copyAfterExit(package, target, expectedDigest);
            return failed(result, cannotReplace(target, error));
        }

        struct stat existing {};
        const bool exists = ::fstatat(dir.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
        const mode_t mode = withExecutableBits(exists ? (existing.st_mode & 0777) : 0755);
        std::string digest;
        const bool copied = copyAndHash(package.fd.get(), out.get(), digest) && ::fchmod(out.get(), mode) == 0 &&
                            ::fsync(out.get()) == 0;
        out = UniqueFd();
        const std::string digestFailure = copied ? digestProblem(expectedDigest, digest) : std::string();
        if (!copied || !digestFailure.empty()) {
            ::unlinkat(dir.get(), tempName.c_str(), 0);
            return failed(result, copied ? digestFailure : kCopyFailedMessage);
        }
        return swapIn(dir.get(), tempName, target, exists);
    } catch (const std::runtime_error& error) {
        return failed(result, error.what());
    }
}

InstallResult UpdateInstaller::swapIn(int dir, const std::string& tempName, const std::string& target,
                                      bool targetExists) const
{
    InstallResult result;
    const std::string name = fs::path(target).filename().string();
    const std::string oldName = name + kBackupSuffix;
    bool moved = false;
    if (targetExists) {
        // The backup is a second name for the current file, so the target
        // name never goes missing: the rename below replaces it in one step.
        // Only where links are not possible is the target moved aside first.
        if (::unlinkat(dir, oldName.c_str(), 0) != 0 && errno != ENOENT) {
            const int error = errno;
            ::unlinkat(dir, tempName.c_str(), 0);
            return failed(result, "cannot keep a backup of " + target + " as " + target + kBackupSuffix + ": " +
                                      errorText(error));
        }
        if (::linkat(dir, name.c_str(), dir, oldName.c_str(), 0) != 0) {
            if (::renameat(dir, name.c_str(), dir, oldName.c_str()) != 0) {
                const int error = errno;
                ::unlinkat(dir, tempName.c_str(), 0);
                return failed(result, cannotReplace(target, error));
            }
            moved = true;
        }
        result.backupPath = target + kBackupSuffix;
    }
    if (::renameat(dir, tempName.c_str(), dir, name.c_str()) != 0) {
        ::unlinkat(dir, tempName.c_str(), 0);
        if (moved)
            ::renameat(dir, oldName.c_str(), dir, name.c_str()); // nothing better to do than to report the failure
        return failed(result, kCopyFailedMessage);
    }

    result.success = true;
    if (m_options.relaunchAfterInstall) {
        result.quitRequired = true;
        result.commandLine = formatShellCommand(target, m_options.relaunchArgs);
        if (!m_options.skipProcessLaunch)
            spawnDetachedProcess(target, m_options.relaunchArgs); // not checked: we quit either way
    }
    return result;
}

InstallResult UpdateInstaller::copyAfterExit(const StagedPackage& package, const std::string& target,
                                             const std::string* expectedDigest) const
{
    InstallResult result;
    std::string digest;
    if (!copyAndHash(package.fd.get(), -1, digest))
        return failed(result, "Cannot read staged package '" + package.path() + "': " + errorText(errno));
    const std::string digestFailure = digestProblem(expectedDigest, digest);
    if (!digestFailure.empty())
        return failed(result, digestFailure);

    // The script overwrites the file in place, so a copy of the current one
    // waits in the private folder to be put back if that fails half-way.
    const std::string backupName = fs::path(target).filename().string() + kScriptBackupSuffix;
    const UniqueFd current(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd backup = package.folder.createFile(backupName, 0600);
    std::string ignoredDigest;
    if (!current.valid() || !backup.valid() || !copyAndHash(current.get(), backup.get(), ignoredDigest)) {
        const int error = errno;
        package.folder.remove(backupName);
        return failed(result, "cannot keep a backup of " + target + ": " + errorText(error));
    }

    const std::string script = writeCopyTrampoline(package.folder.path(), currentProcessId(), package.path(), target,
                                                   package.folder.file(backupName), relaunchCommand(target));
    if (script.empty())
        return failed(result, "Failed to rename running executable to .old and failed to generate trampoline");
    return launchScript(result, script, "Failed to launch binary copy trampoline script");
}

InstallResult UpdateInstaller::launchScript(InstallResult result, const std::string& script,
                                            const std::string& launchFailure) const
{
    result.scriptPath = script;
    result.commandLine = formatTrampolineCommand(script);
    // Proven before anyone is asked to quit: a script that cannot run would
    // leave the operator with no program and no word about it.
    if (!canRunTrampoline(script))
        return failed(result, "cannot run the update script " + script);
    result.quitRequired = true;
    if (!m_options.skipProcessLaunch && !launchTrampoline(script))
        return failed(result, launchFailure);
    result.success = true;
    return result;
}

InstallResult UpdateInstaller::runSetupInstaller(const UpdateManifest& manifest, const std::string& installerPath,
                                                 const std::string* expectedDigest) const
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

    try {
        const StagedPackage package = openStagedPackage(installerPath);
        std::string digest;
        if (expectedDigest != nullptr) {
            if (!copyAndHash(package.fd.get(), -1, digest))
                return failed(result, "Cannot read staged package '" + package.path() + "': " + errorText(errno));
            const std::string digestFailure = digestProblem(expectedDigest, digest);
            if (!digestFailure.empty())
                return failed(result, digestFailure);
        }
        // A downloaded installer carries no executable bit, and it runs from
        // the staging folder, which must allow that.
        struct stat info {};
        if (::fstat(package.fd.get(), &info) == 0)
            ::fchmod(package.fd.get(), withExecutableBits(info.st_mode & 0777));
        if (!package.folder.allowsExecution())
            return failed(result, "cannot run " + package.path() + ": " + package.folder.path() +
                                      " is on a file system mounted noexec");

        if (m_options.useInstallerTrampoline) {
            const std::string script = writeInstallerTrampoline(package.folder.path(), currentProcessId(),
                                                                package.path(), args, relaunchCommand(relaunchTarget));
            if (script.empty())
                return failed(result, "Failed to generate installer trampoline script");
            return launchScript(result, script, "Failed to launch installer trampoline script");
        }
    } catch (const std::runtime_error& error) {
        return failed(result, error.what());
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

std::string UpdateInstaller::takeFailureReport(const std::string& stagingRoot)
{
    if (stagingRoot.empty())
        return std::string();
    std::vector<std::string> folders = {stagingRoot};
    std::error_code error;
    for (fs::directory_iterator entry(stagingRoot, error), end; !error && entry != end; entry.increment(error)) {
        if (entry->is_directory(error) && !entry->is_symlink(error))
            folders.push_back(entry->path().string());
    }
    for (const std::string& path : folders) {
        try {
            // Only a report in a folder of ours counts: anyone else's text
            // could be made to look like ours.
            const PrivateFolder folder = PrivateFolder::open(path, false);
            const UniqueFd report = folder.openOwnFile(kInstallFailureReportFileName);
            std::string text(4096, '\0');
            const ssize_t got = ::read(report.get(), text.data(), text.size());
            folder.remove(kInstallFailureReportFileName);
            text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
            while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
                text.pop_back();
            if (!text.empty())
                return text;
        } catch (const std::runtime_error&) {
            // no report here, or not one we may trust
        }
    }
    return std::string();
}

} // namespace selfupdate
