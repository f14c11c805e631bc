#include "selfupdate/http_transport_curl.h"
#include "selfupdate/package_downloader.h"
#include "selfupdate/self_update_checker.h"
#include "selfupdate/sha256.h"

#include <gtest/gtest.h>

#include <cstdlib>
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

TEST(PackageDownloader, StagingFolders)
{
    TemporaryFolder base;
    const char* saved = std::getenv("TMPDIR");
    const std::string previous = saved != nullptr ? saved : "";
    ::setenv("TMPDIR", base.path().c_str(), 1);
    const PackageDownloader derived("", nullptr, 1000, 1000);
    EXPECT_EQ(derived.resolveStagingDir("kestro-teleop"), base.path() + "/selfupdate/kestro-teleop");
    EXPECT_EQ(derived.resolveStagingDir(""), base.path() + "/selfupdate/default");
    // A slug from the catalog cannot climb out of the staging area.
    EXPECT_EQ(derived.resolveStagingDir("../../home/x"), base.path() + "/selfupdate/____home_x");
    ::unsetenv("TMPDIR");
    EXPECT_EQ(derived.resolveStagingDir("k"), "/tmp/selfupdate/k");
    if (saved != nullptr)
        ::setenv("TMPDIR", previous.c_str(), 1);

    EXPECT_EQ(PackageDownloader("/fixed/dir", nullptr, 1, 1).resolveStagingDir("ignored"), "/fixed/dir");

    // A staging folder that cannot be created is reported with the reason.
    selfupdate_test::writeFile(base.file("plain-file"), "x");
    const std::string impossible = base.file("plain-file") + "/sub";
    UpdateManifest manifest;
    manifest.packageUrl = "https://127.0.0.1:1/p.bin";
    try {
        PackageDownloader(impossible, nullptr, 1000, 1000).downloadAndVerify(manifest, nullptr, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Failed to create staging directory '" + impossible + "': Not a directory");
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
