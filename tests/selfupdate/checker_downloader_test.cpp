#include "selfupdate/http_transport_curl.h"
#include "selfupdate/package_downloader.h"
#include "selfupdate/self_update_checker.h"
#include "selfupdate/sha256.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <sys/stat.h>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_support.h"

using selfupdate::CheckerConfig;
using selfupdate::CurlHttpTransport;
using selfupdate::PackageDownloader;
using selfupdate::SelfUpdateChecker;
using selfupdate::UpdateManifest;
using selfupdate::UpdatePhase;
using selfupdate_test::HttpsTestServer;
using selfupdate_test::TemporaryFolder;

namespace {

const std::size_t kPackageSize = 150000;

std::string catalogJson(const std::string& version, std::int64_t code)
{
    return R"({"apps":{"com.ombrel.kestro.teleop":{"applicationId":"com.ombrel.kestro.teleop","versionName":")" +
           version + R"(","versionCode":)" + std::to_string(code) +
           R"(,"packageUrl":"package.bin","installType":"binary","sha256":")" + std::string(64, '0') +
           R"("},"other":{"applicationId":"other"}}})";
}

CheckerConfig configFor(const std::string& url)
{
    CheckerConfig config;
    config.applicationId = "com.ombrel.kestro.teleop";
    config.currentVersionName = "2.2.2";
    config.currentVersionCode = 0;
    config.manifestUrl = url;
    return config;
}

} // namespace

class CheckerDownloaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server = std::make_unique<HttpsTestServer>();
        if (server->running()) {
            server->serve("version.json", catalogJson("2.3.0", 20300));
            server->serve("same.json", catalogJson("2.2.2", 20202));
            server->serve("broken.json", R"({"apps":{"x":1,}})");
            server->serve("package.bin", package());
        }
    }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override { ASSERT_TRUE(server->running()) << server->failure(); }

    static std::string package() { return selfupdate_test::randomBytes(kPackageSize, 11); }

    UpdateManifest manifestFor(const std::string& path) const
    {
        UpdateManifest manifest;
        manifest.applicationId = "com.ombrel.kestro.teleop";
        manifest.slug = "kestro-teleop";
        manifest.packageUrl = server->url(path);
        manifest.sha256 = selfupdate::Sha256::hashString(package());
        manifest.sizeBytes = static_cast<std::int64_t>(kPackageSize);
        return manifest;
    }

    PackageDownloader downloader() const { return PackageDownloader(staging.path(), transport, 10000, 10000); }

    // Nothing but the verified package may remain in the staging folder.
    std::vector<std::string> stagedFiles() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(staging.path()))
            names.push_back(entry.path().filename().string());
        return names;
    }

    static std::unique_ptr<HttpsTestServer> server;
    std::shared_ptr<CurlHttpTransport> transport = std::make_shared<CurlHttpTransport>(server->caFile());
    TemporaryFolder staging;
};

std::unique_ptr<HttpsTestServer> CheckerDownloaderTest::server;

TEST_F(CheckerDownloaderTest, CheckEndsInEachPhase)
{
    const SelfUpdateChecker newer(configFor(server->url("/files/")), transport);
    const selfupdate::UpdateState available = newer.checkForUpdate(true, nullptr);
    EXPECT_EQ(available.phase, UpdatePhase::Available) << available.errorMessage;
    EXPECT_TRUE(available.userInitiated);
    EXPECT_EQ(available.installedVersionName, "2.2.2");
    EXPECT_EQ(available.installedVersionCode, 20202);
    EXPECT_EQ(available.manifest.versionName, "2.3.0");
    // The directory URL was completed with "version.json" and the package
    // resolved against it.
    EXPECT_EQ(available.manifest.packageUrl, server->url("/files/package.bin"));
    EXPECT_EQ(available.totalBytes, -1);

    const SelfUpdateChecker same(configFor(server->url("/files/same.json")), transport);
    EXPECT_EQ(same.checkForUpdate(false, nullptr).phase, UpdatePhase::UpToDate);

    struct Case {
        std::string url;
        std::string message;
    };
    const std::string missing = server->url("/files/absent.json");
    const std::string refusedUrl = "https://127.0.0.1:1/version.json";
    const std::vector<Case> failures = {
        {missing, "Failed to fetch update manifest from " + missing + ": HTTP 404 (HTTP server returned error status 404)"},
        {refusedUrl, "Failed to fetch update manifest from " + refusedUrl + " (WinHttpConnect failed: 7)"},
        {server->url("/files/broken.json"), "Expected string key in object at position 15"},
        {server->url("/redirect/302/4/files/version.json"),
         "Failed to fetch update manifest from " + server->url("/redirect/302/4/files/version.json") + ": HTTP 302"},
    };
    for (const Case& c : failures) {
        const SelfUpdateChecker checker(configFor(c.url), transport);
        const selfupdate::UpdateState state = checker.checkForUpdate(false, nullptr);
        EXPECT_EQ(state.phase, UpdatePhase::Error) << c.url;
        EXPECT_EQ(state.errorMessage, c.message);
        EXPECT_TRUE(state.manifest.versionName.empty()) << "a failed check keeps the default manifest";
    }

    std::atomic<bool> cancel{true};
    const selfupdate::UpdateState cancelled = newer.checkForUpdate(true, &cancel);
    EXPECT_EQ(cancelled.phase, UpdatePhase::Error);
    EXPECT_EQ(cancelled.errorMessage, "Manifest fetch cancelled");
}

TEST_F(CheckerDownloaderTest, InstalledVersionFromConfigurationAndExecutable)
{
    CheckerConfig config = configFor("");
    const SelfUpdateChecker derived(config, transport);
    EXPECT_EQ(derived.getInstalledAppInfo().versionCode, 20202);
    EXPECT_EQ(derived.getInstalledAppInfo().applicationId, "com.ombrel.kestro.teleop");

    config.currentVersionCode = 31;
    EXPECT_EQ(SelfUpdateChecker(config, transport).getInstalledAppInfo().versionCode, 31);

    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(SelfUpdateChecker::detectCurrentExeVersionInfo().executablePath, exe);
    EXPECT_EQ(SelfUpdateChecker::detectCurrentExeVersionInfo().versionCode, 0);
}

TEST_F(CheckerDownloaderTest, DownloadsWithProgressWithAndWithoutContentLength)
{
    struct Case {
        std::string path;
        std::int64_t manifestSize;
        std::int64_t expectedTotal;
    };
    const auto size = static_cast<std::int64_t>(kPackageSize);
    for (const Case& c : {Case{"/files/package.bin", size, size}, Case{"/chunked/package.bin", -1, -1},
                          Case{"/chunked/package.bin", size, size}, Case{"/chunked/package.bin", 0, 0}}) {
        UpdateManifest manifest = manifestFor(c.path);
        manifest.sizeBytes = c.manifestSize;
        std::vector<std::pair<std::int64_t, std::int64_t>> progress;
        const std::string path = downloader().downloadAndVerify(
            manifest, [&progress](std::int64_t received, std::int64_t total) { progress.emplace_back(received, total); },
            nullptr);
        EXPECT_EQ(path, staging.file("package.bin"));
        EXPECT_EQ(selfupdate_test::readFile(path), package());
        EXPECT_EQ(stagedFiles(), std::vector<std::string>{"package.bin"});
        ASSERT_GT(progress.size(), 1u);
        EXPECT_EQ(progress.back().first, size);
        for (std::size_t i = 0; i < progress.size(); ++i) {
            EXPECT_EQ(progress[i].second, c.expectedTotal) << c.path;
            if (i > 0) {
                EXPECT_GT(progress[i].first, progress[i - 1].first);
            }
        }
    }

    // An upper-case digest from a hand-made manifest still matches.
    UpdateManifest upper = manifestFor("/files/package.bin");
    for (char& c : upper.sha256)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_NO_THROW(downloader().downloadAndVerify(upper, nullptr, nullptr));
}

TEST_F(CheckerDownloaderTest, EveryFailureLeavesNoPartFile)
{
    const std::string digest = selfupdate::Sha256::hashString(package());
    const std::string wrongDigest = std::string(63, 'a') + "b";
    const std::string httpTarget =
        "http://127.0.0.1:" + std::to_string(server->port()) + "/files/package.bin";
    struct Case {
        std::string path;
        std::int64_t sizeBytes;
        std::string sha256;
        std::string message;
    };
    const auto size = static_cast<std::int64_t>(kPackageSize);
    const std::vector<Case> cases = {
        {"/files/package.bin", size + 1, digest,
         "Package size mismatch: expected " + std::to_string(size + 1) + " bytes, received " + std::to_string(size) +
             " bytes"},
        {"/files/package.bin", size, wrongDigest,
         "SHA-256 digest mismatch: expected " + wrongDigest + ", computed " + digest},
        {"/files/absent.bin", size, digest, "Download failed: HTTP server returned error status 404"},
        {"/status/500", size, digest, "Download failed: HTTP server returned error status 500"},
        {"/truncated/package.bin", size, digest, "Download failed: WinHttpReadData failed: 18"},
        {"/to-http/files/package.bin", size, digest,
         std::string("Download failed: ") + selfupdate::kRedirectLeavesHttpsMessage + httpTarget},
        {"/loop", size, digest, "Download failed: network transfer error"},
    };
    for (const Case& c : cases) {
        UpdateManifest manifest = manifestFor(c.path);
        manifest.sizeBytes = c.sizeBytes;
        manifest.sha256 = c.sha256;
        try {
            downloader().downloadAndVerify(manifest, nullptr, nullptr);
            ADD_FAILURE() << c.path << ": no exception";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), c.message) << c.path;
        }
        EXPECT_TRUE(stagedFiles().empty()) << c.path << " left " << stagedFiles().front();
    }
}

TEST_F(CheckerDownloaderTest, CancellationLeavesNothingBehind)
{
    std::atomic<bool> cancel{true};
    try {
        downloader().downloadAndVerify(manifestFor("/files/package.bin"), nullptr, &cancel);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Download cancelled before start");
    }

    cancel = false;
    std::int64_t lastReceived = 0;
    try {
        downloader().downloadAndVerify(
            manifestFor("/slow/package.bin"),
            [&](std::int64_t received, std::int64_t) {
                lastReceived = received;
                cancel = true; // as the controller's cancel() would, from any thread
            },
            &cancel);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Download cancelled");
    }
    EXPECT_GT(lastReceived, 0);
    EXPECT_LT(lastReceived, static_cast<std::int64_t>(kPackageSize));
    EXPECT_TRUE(stagedFiles().empty());
}

TEST_F(CheckerDownloaderTest, ReplacesAnEarlierPackageAndItsPartFile)
{
    selfupdate_test::writeFile(staging.file("package.bin"), "old package");
    selfupdate_test::writeFile(staging.file("package.bin.part"), "stale part");
    const std::string path = downloader().downloadAndVerify(manifestFor("/files/package.bin"), nullptr, nullptr);
    EXPECT_EQ(selfupdate_test::readFile(path), package());
    EXPECT_EQ(stagedFiles(), std::vector<std::string>{"package.bin"});
}

TEST(PackageDownloader, PackageFileNames)
{
    struct Case {
        std::string url;
        std::string slug;
        std::string id;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"https://h/dl/setup%20v2.exe?token=x#frag", "", "", "setup%20v2.exe"},
        {"https://h/dl/", "kestro-teleop", "com.id", "kestro-teleop.exe"},
        {"https://h/dl/", "", "com.id", "com.id.exe"},
        {"https://h/dl/", "", "", "package.exe"},
        {"https://h/dl/a..b.exe", "", "", "a_b.exe"},
        {"https://h/dl/...", "", "", "_."},
        {"https://h/dl/.", "s", "", "s.exe"},
        {"https://h/dl\\win\\app.exe", "", "", "app.exe"},
        {"https://h/dl/a:b*c|d<e>f\"g.exe", "", "", "a_b_c_d_e_f_g.exe"},
        {"https://h/dl/caf\xC3\xA9.bin", "", "", "caf__.bin"},
        {"https://h/dl/", "../../etc", "", "____etc.exe"},
    };
    for (const Case& c : cases) {
        UpdateManifest manifest;
        manifest.packageUrl = c.url;
        manifest.slug = c.slug;
        manifest.applicationId = c.id;
        EXPECT_EQ(PackageDownloader::packageFileName(manifest), c.expected) << c.url;
    }
}

TEST(PackageDownloader, StagingFoldersArePrivateToTheUser)
{
    TemporaryFolder base;
    selfupdate_test::ScopedEnvironment tmpdir("TMPDIR", base.path().c_str()); // shared: never used
    const PackageDownloader derived("", nullptr, 1000, 1000);
    struct Case {
        const char* cache;
        const char* home;
        const char* runtime;
        std::string expected;
    };
    const Case cases[] = {
        {"/c", "/h", "/r", "/c/kestro/selfupdate/kestro-teleop"},
        {"relative/ignored", "/h", "/r", "/h/.cache/kestro/selfupdate/kestro-teleop"},
        {nullptr, "/h", "/r", "/h/.cache/kestro/selfupdate/kestro-teleop"},
    };
    for (const Case& c : cases) {
        selfupdate_test::ScopedEnvironment cache("XDG_CACHE_HOME", c.cache);
        selfupdate_test::ScopedEnvironment home("HOME", c.home);
        selfupdate_test::ScopedEnvironment runtime("XDG_RUNTIME_DIR", c.runtime);
        EXPECT_EQ(derived.resolveStagingDir("kestro-teleop"), c.expected) << (c.cache ? c.cache : "(unset)");
    }
    selfupdate_test::ScopedEnvironment cache("XDG_CACHE_HOME", base.path().c_str());
    EXPECT_EQ(derived.resolveStagingDir(""), base.path() + "/kestro/selfupdate/default");
    // A slug from the catalog cannot climb out of the staging area.
    EXPECT_EQ(derived.resolveStagingDir("../../home/x"), base.path() + "/kestro/selfupdate/____home_x");
    EXPECT_EQ(PackageDownloader("/fixed/dir", nullptr, 1, 1).resolveStagingDir("ignored"), "/fixed/dir");
    EXPECT_EQ(derived.stagingRoot(), base.path() + "/kestro/selfupdate");

    // Made on first use, readable and writable by this user alone.
    UpdateManifest manifest;
    manifest.slug = "kestro-teleop";
    manifest.packageUrl = "https://127.0.0.1:1/p.bin";
    EXPECT_THROW(derived.downloadAndVerify(manifest, nullptr, nullptr), std::runtime_error);
    for (const char* folder : {"/kestro", "/kestro/selfupdate", "/kestro/selfupdate/kestro-teleop"}) {
        const auto mode = std::filesystem::status(base.path() + folder).permissions() & std::filesystem::perms::mask;
        EXPECT_EQ(mode, std::filesystem::perms::owner_all) << folder;
    }

    // A staging folder that cannot be created is reported with the reason.
    selfupdate_test::writeFile(base.file("plain-file"), "x");
    const std::string impossible = base.file("plain-file") + "/sub";
    try {
        PackageDownloader(impossible, nullptr, 1000, 1000).downloadAndVerify(manifest, nullptr, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Failed to create staging directory '" + impossible + "': Not a directory");
    }
}

// Where another account could create the folder first, swap the package or
// plant a link, nothing is written: the download stops before it starts.
TEST(PackageDownloader, RefusesStagingFoldersOthersCouldChange)
{
    TemporaryFolder base;
    std::filesystem::permissions(base.path(), std::filesystem::perms(0755));
    // A shared folder such as /tmp: anyone may create entries, sticky.
    const std::string shared = base.file("shared");
    std::filesystem::create_directories(shared);
    std::filesystem::permissions(shared, std::filesystem::perms(01777));
    const std::string open = base.file("open");
    std::filesystem::create_directories(open + "/stage");
    std::filesystem::permissions(open, std::filesystem::perms(0777));
    std::filesystem::create_directories(base.file("writable"));
    std::filesystem::permissions(base.file("writable"), std::filesystem::perms(0777));
    std::filesystem::create_directories(base.file("real"));
    std::filesystem::create_directory_symlink(base.file("real"), base.file("link"));

    struct Case {
        std::string folder;
        std::string reason;
        bool needsOtherUser;
    };
    const std::vector<Case> cases = {
        {base.file("writable"), "other users can write to it", false},
        {base.file("link"), "it is a symbolic link", false},
        {open + "/stage", "other users can write to '" + open + "'", false},
        // Created first by the other account, in the shared folder.
        {shared + "/theirs", "it belongs to another user", true},
        {shared + "/theirs-above/stage", "'" + shared + "/theirs-above' belongs to another user", true},
    };
    std::string whyNot;
    const auto other = selfupdate_test::otherUser(whyNot);
    if (other) {
        const std::string made = selfupdate_test::runAs(*other, [&] {
            const bool ok = ::mkdir((shared + "/theirs").c_str(), 0777) == 0 &&
                            ::mkdir((shared + "/theirs-above").c_str(), 0777) == 0 &&
                            ::chmod((shared + "/theirs").c_str(), 0777) == 0 &&
                            ::chmod((shared + "/theirs-above").c_str(), 0777) == 0;
            return std::string(ok ? "made" : "failed");
        });
        ASSERT_EQ(made, "made");
    }

    UpdateManifest manifest;
    manifest.packageUrl = "https://127.0.0.1:1/p.bin";
    for (const Case& c : cases) {
        if (c.needsOtherUser && !other) {
            std::cout << "[  SKIPPED ] " << c.folder << ": " << whyNot << std::endl;
            continue;
        }
        try {
            PackageDownloader(c.folder, nullptr, 1000, 1000).downloadAndVerify(manifest, nullptr, nullptr);
            ADD_FAILURE() << "accepted " << c.folder;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "Refusing staging directory '" + c.folder + "': " + c.reason);
        }
        EXPECT_FALSE(selfupdate_test::fileExists(c.folder + "/p.bin.part")) << c.folder;
    }
    // The same shared folder is fine for a folder of our own inside it.
    EXPECT_THROW(
        {
            try {
                PackageDownloader(shared + "/ours", nullptr, 1000, 1000).downloadAndVerify(manifest, nullptr, nullptr);
            } catch (const std::runtime_error& error) {
                EXPECT_EQ(std::string(error.what()).rfind("Download failed: ", 0), 0u) << error.what();
                throw;
            }
        },
        std::runtime_error);
}

// A server that sends far more than the catalog announced is cut off at the
// announced size, not read to its end: the staging area is often RAM. The
// catalog itself is capped at 1 MiB.
TEST_F(CheckerDownloaderTest, OversizeStreamsStopNearTheAnnouncedSize)
{
    const std::int64_t flood = 200LL * 1024 * 1024;
    const std::int64_t announced = 1000;
    struct Case {
        const char* mode;
        bool catalog;
    };
    int index = 0;
    for (const Case& c : {Case{"length", false}, Case{"chunked", false}, Case{"length", true}}) {
        SCOPED_TRACE(std::string(c.mode) + (c.catalog ? " catalog" : " package"));
        const std::string id = "flood" + std::to_string(index++);
        const std::string url =
            server->url("/flood/" + std::to_string(flood) + "/" + c.mode + "/" + id);
        std::int64_t largestProgress = 0;
        std::string message;
        if (c.catalog) {
            const auto state = SelfUpdateChecker(configFor(url), transport).checkForUpdate(true, nullptr);
            EXPECT_EQ(state.phase, UpdatePhase::Error);
            message = state.errorMessage;
            EXPECT_EQ(message,
                      "Failed to fetch update manifest from " + url + " (Response body larger than 1048576 bytes)");
        } else {
            UpdateManifest manifest = manifestFor("/unused");
            manifest.packageUrl = url;
            manifest.sizeBytes = announced;
            try {
                downloader().downloadAndVerify(
                    manifest, [&](std::int64_t received, std::int64_t) { largestProgress = received; }, nullptr);
                ADD_FAILURE() << "accepted";
            } catch (const std::runtime_error& error) {
                message = error.what();
            }
            const std::string prefix = "Package size mismatch: expected 1000 bytes, received ";
            ASSERT_EQ(message.rfind(prefix, 0), 0u) << message;
            const std::int64_t received = std::stoll(message.substr(prefix.size()));
            EXPECT_GT(received, announced);
            EXPECT_LE(received, announced + static_cast<std::int64_t>(selfupdate::kHttpBlockSize));
            EXPECT_LE(largestProgress, announced) << "more than announced reached the staging file";
            EXPECT_TRUE(stagedFiles().empty());
        }
        // What the server managed to push before the connection was dropped.
        std::string report;
        ASSERT_TRUE(selfupdate_test::waitFor(
            [&] {
                report = transport->get(server->url("/flood-report/" + id), 10000, 10000, nullptr).body;
                return report.find("done") != std::string::npos;
            },
            std::chrono::seconds(30)))
            << report;
        const std::int64_t sent = std::stoll(report);
        // Counted per completed 64 KiB write into the socket (its buffers
        // included), so 0 means less than one piece left the server.
        std::cout << "[ MEASURED ] " << (c.catalog ? "catalog" : "package") << " (" << c.mode
                  << "): the server's completed writes " << sent << " of " << flood << " bytes; " << message
                  << std::endl;
        EXPECT_LT(sent, 32LL * 1024 * 1024);
    }
}

TEST_F(CheckerDownloaderTest, StagingFileAndRenameFailures)
{
    // A non-empty folder where the ".part" download belongs cannot be opened.
    std::filesystem::create_directories(staging.file("package.bin.part/inside"));
    try {
        downloader().downloadAndVerify(manifestFor("/files/package.bin"), nullptr, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Failed to open staging file for writing: " + staging.file("package.bin.part"));
    }
    std::filesystem::remove_all(staging.file("package.bin.part"));

    // A non-empty folder in the target's place: the verified part cannot be
    // renamed, and is removed.
    std::filesystem::create_directories(staging.file("package.bin/inside"));
    try {
        downloader().downloadAndVerify(manifestFor("/files/package.bin"), nullptr, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Failed to rename temporary part file to target executable: ", 0), 0u)
            << error.what();
    }
    EXPECT_FALSE(selfupdate_test::fileExists(staging.file("package.bin.part")));
}
