#include "config/teleop_config.h"
#include "tests/config/test_environment.h"
#include "tests/config/tree_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using kestro::config::test::freshFolder;
using kestro::config::test::giveToTestUser;
using kestro::config::test::runAsTestUser;
using kestro::config::test::readFileBytes;
using kestro::config::test::startupConfigPath;
using kestro::config::test::writeFileBytes;

namespace {

// The file a first start writes, as the operator will see it.
const char kDefaultFile[] =
    "camera :\n{\n"
    "  deviceIndex = 0;\n  width = 640;\n  height = 480;\n  targetFps = 30;\n  mirrorVideo = true;\n"
    "  sourceType = \"device\";\n  mediaLocation = \"\";\n  recordFps = 0;\n"
    "};\n"
    "ai :\n{\n"
    "  modelSource = \"embedded\";\n  customModelPath = \"\";\n  provider = \"auto\";\n"
    "  confThreshold = 0.5;\n  kptThreshold = 0.4;\n  targetSelection = \"largest\";\n"
    "};\n"
    "retarget :\n{\n"
    "  smoothingAlpha = 0.35;\n  deadbandDeg = 1.0;\n  maxVelocityDegS = 180.0;\n"
    "  mode = \"upper_body\";\n  stancePreset = \"neutral\";\n"
    "};\n"
    "safety :\n{\n"
    "  safetyMarginDeg = 2.0;\n  txRateHz = 30;\n  watchdogTimeoutMs = 500;\n"
    "};\n"
    "mqtt :\n{\n"
    "  host = \"localhost\";\n  port = 1883;\n  username = \"\";\n  password = \"\";\n"
    "  robotId = \"kestro\";\n  keepalive = 60;\n  autoConnect = true;\n"
    "  tls = false;\n  caFile = \"\";\n  certFile = \"\";\n  keyFile = \"\";\n  tlsInsecure = false;\n"
    "};\n"
    "view :\n{\n"
    "  showRobotMeshes = true;\n  showSkeleton = true;\n  showGrid = true;\n  darkTheme = true;\n"
    "};\n";

TeleopConfig& store()
{
    return *TeleopConfig::instance();
}

// Loads `text` from a new file into the store, starting from the defaults.
std::string loadText(const std::string& text, bool* loaded = nullptr)
{
    const std::string path = freshFolder("teleop") + "/teleop.cfg";
    writeFileBytes(path, text);
    store().populateDefaults();
    const bool result = store().load(path);
    if (loaded)
        *loaded = result;
    return path;
}

struct ProcessResult {
    int exitCode = -1;
    std::map<std::string, std::string> values;
    std::string errors;
};

// Runs the probe with exactly `environment` in `folder`; output lines
// "key=value" come back as a map.
ProcessResult runProbe(const std::vector<std::string>& environment, const std::string& folder,
                       bool asTestUser = false)
{
    const std::string outPath = folder + "/probe.out";
    const std::string errPath = folder + "/probe.err";
    const auto exec = [&] {
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (::chdir(folder.c_str()) != 0)
            ::_exit(71);
        std::vector<char*> envp;
        for (const std::string& entry : environment)
            envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(KESTRO_TELEOP_CONFIG_PROBE), nullptr};
        ::execve(argv[0], argv, envp.data());
        ::_exit(72);
        return false;
    };
    ProcessResult result;
    if (asTestUser) {
        result.exitCode = runAsTestUser(exec) ? 0 : 1;
    } else {
        const pid_t child = ::fork();
        if (child == 0)
            exec();
        int status = 0;
        ::waitpid(child, &status, 0);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::istringstream lines(readFileBytes(outPath));
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos)
            result.values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    result.errors = readFileBytes(errPath);
    return result;
}

using MqttTls = std::tuple<bool, std::string, std::string, std::string, bool>;

mode_t modeOf(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(0, ::stat(path.c_str(), &info)) << path;
    return info.st_mode & 07777;
}

} // namespace

TEST(TeleopConfig, StaticInitialisationCreatedTheStartupFile)
{
    // This very process: the store was built before main with the path that
    // the test environment set up, and wrote the defaults there.
    EXPECT_EQ(kDefaultFile, readFileBytes(startupConfigPath()));
    EXPECT_EQ(0600u, modeOf(startupConfigPath()));
}

TEST(TeleopConfig, StartupLocationsAndFileCreationBeforeMain)
{
    const std::string base = freshFolder("probe");
    struct Case {
        const char* label;
        std::vector<std::string> environment;  // "@" stands for the case folder
        std::string expectedPath;              // relative to the case folder
        bool relative;
    };
    const Case cases[] = {
        {"explicit path", {"KESTRO_CONFIG_PATH=@/chosen.cfg", "HOME=@/home"}, "chosen.cfg", false},
        {"xdg folder", {"XDG_CONFIG_HOME=@/xdg/deeper", "HOME=@/home"}, "xdg/deeper/kestro/teleop.cfg", false},
        {"empty xdg falls back to home", {"XDG_CONFIG_HOME=", "HOME=@/home"}, "home/.config/kestro/teleop.cfg", false},
        {"no folder at all", {"KESTRO_CONFIG_PATH="}, "teleop.cfg", true},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string folder = base + "/case" + std::to_string(index++);
        fs::create_directories(folder + "/home");
        std::vector<std::string> environment;
        for (std::string entry : c.environment) {
            const auto at = entry.find('@');
            if (at != std::string::npos)
                entry.replace(at, 1, folder);
            environment.push_back(entry);
        }
        const ProcessResult result = runProbe(environment, folder);
        ASSERT_EQ(0, result.exitCode) << result.errors;
        EXPECT_EQ(c.relative ? c.expectedPath : folder + "/" + c.expectedPath, result.values.at("path"));
        EXPECT_EQ("1", result.values.at("existed")) << "the file exists before main runs";
        const std::string written = folder + "/" + c.expectedPath;
        EXPECT_EQ(kDefaultFile, readFileBytes(written));
        EXPECT_EQ(0600u, modeOf(written));
        if (!c.relative && c.expectedPath.find("/kestro/") != std::string::npos) {
            EXPECT_EQ(0700u, modeOf(fs::path(written).parent_path().string()));
        }
        EXPECT_EQ("", result.errors);
    }
}

TEST(TeleopConfig, StartupReadsAnExistingFileAndReportsABrokenOne)
{
    const std::string folder = freshFolder("probe-existing");
    const std::string path = folder + "/teleop.cfg";
    const std::string existing = "mqtt : { port = 8883; robotId = \"robot/kestro/QRX-ab12/\"; };\n";
    writeFileBytes(path, existing);
    ProcessResult result = runProbe({"KESTRO_CONFIG_PATH=" + path}, folder);
    EXPECT_EQ("8883", result.values.at("port"));
    EXPECT_EQ("QRX-ab12", result.values.at("robotId"));
    EXPECT_EQ(existing, readFileBytes(path)) << "loading never rewrites an existing file";

    const std::string broken = "camera : { width = 800;\n height = ; };\n";
    writeFileBytes(path, broken);
    result = runProbe({"KESTRO_CONFIG_PATH=" + path}, folder);
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ("Config parse error at " + path + ":2 - Expected setting value\n", result.errors);
    EXPECT_EQ("640", result.values.at("width")) << "defaults stay in force";
    EXPECT_EQ(broken, readFileBytes(path)) << "the faulty file stays untouched";
    EXPECT_EQ(broken, readFileBytes(TeleopConfig::keptCopyPath(path))) << "and a copy of it is kept";
    EXPECT_EQ(0600u, modeOf(TeleopConfig::keptCopyPath(path)));
    EXPECT_NE(std::string::npos, result.values.at("problem").find("line 2: Expected setting value"));
    EXPECT_NE(std::string::npos, result.values.at("problem").find(TeleopConfig::keptCopyPath(path)));
}

TEST(TeleopConfig, StartupLeavesAFileItCannotReadAsItIs)
{
    const std::string folder = freshFolder("probe-unreadable");
    giveToTestUser(folder);
    const std::string path = folder + "/teleop.cfg";
    const std::string existing = "mqtt : { host = \"robot.lan\"; password = \"s3cret\"; };\n";
    writeFileBytes(path, existing);
    giveToTestUser(path);
    ASSERT_EQ(0, ::chmod(path.c_str(), 0200));
    const ProcessResult result = runProbe({"KESTRO_CONFIG_PATH=" + path}, folder, true);
    ASSERT_EQ(0, ::chmod(path.c_str(), 0600));
    EXPECT_EQ(0, result.exitCode) << result.errors;
    EXPECT_EQ("1883", result.values.at("port")) << "the defaults are in force";
    EXPECT_EQ(existing, readFileBytes(path)) << "and the file is not replaced by them";
    EXPECT_NE(std::string::npos, result.errors.find(path + " could not be read (Permission denied)"));
    EXPECT_NE(std::string::npos, result.values.at("problem").find("left as it is"));
}

TEST(TeleopConfig, AnUnparsableFileIsKeptBeforeItIsOverwritten)
{
    const std::string broken = "mqtt : { port = 8883x; host = \"robot.lan\"; };\n";
    struct Case {
        const char* label;
        bool folderWritable;
    };
    for (const Case& c : {Case{"copy beside it", true}, Case{"folder refuses the copy", false}}) {
        SCOPED_TRACE(c.label);
        const std::string folder = freshFolder("kept");
        const std::string path = folder + "/teleop.cfg";
        writeFileBytes(path, broken);
        giveToTestUser(path);
        if (c.folderWritable) {
            giveToTestUser(folder);
        } else if (::geteuid() != 0) {
            ASSERT_EQ(0, ::chmod(folder.c_str(), 0500));
        }
        // The checks run in the test user's process; it answers whether the
        // store behaved as this case expects.
        const bool behaved = runAsTestUser([&] {
            (void)std::freopen("/dev/null", "w", stderr);
            store().populateDefaults();
            if (store().load(path) || store().mqtt.host != "localhost")
                return false;
            const std::string kept = TeleopConfig::keptCopyPath(path);
            if ((store().loadProblem().find(kept) != std::string::npos) != c.folderWritable)
                return false;
            const bool saved = store().save("");
            return saved == c.folderWritable && store().lastSaveError().empty() == saved &&
                   store().loadProblem().empty() == saved;
        });
        ::chmod(folder.c_str(), 0700);
        EXPECT_TRUE(behaved);
        if (c.folderWritable) {
            EXPECT_EQ(broken, readFileBytes(TeleopConfig::keptCopyPath(path)));
            EXPECT_NE(std::string::npos, readFileBytes(path).find("  host = \"localhost\";")) << "saved anew";
        } else {
            EXPECT_EQ(broken, readFileBytes(path)) << "no copy, no overwrite";
            EXPECT_FALSE(fs::exists(TeleopConfig::keptCopyPath(path)));
        }
    }
}

TEST(TeleopConfig, DefaultPathFollowsTheEnvironment)
{
    const std::string folder = freshFolder("default-path");
    ::setenv("KESTRO_CONFIG_PATH", (folder + "/not/created/x.cfg").c_str(), 1);
    EXPECT_EQ(folder + "/not/created/x.cfg", TeleopConfig::getDefaultConfigPath());
    EXPECT_FALSE(fs::exists(folder + "/not")) << "an explicit path creates no folder";
    ::setenv("KESTRO_CONFIG_PATH", startupConfigPath().c_str(), 1);
}

TEST(TeleopConfig, MissingFileIsCreatedWithDefaults)
{
    const std::string path = freshFolder("missing") + "/teleop.cfg";
    store().mqtt.port = 1;
    EXPECT_TRUE(store().load(path));
    EXPECT_EQ(path, store().getConfigPath());
    EXPECT_EQ(1883, store().mqtt.port) << "defaults were applied";
    EXPECT_EQ(kDefaultFile, readFileBytes(path));
}

TEST(TeleopConfig, LoadEmptyPathUsesTheDefaultPathEveryTime)
{
    EXPECT_TRUE(store().load(""));
    EXPECT_EQ(startupConfigPath(), store().getConfigPath());
}

TEST(TeleopConfig, PartialFileKeepsDefaultsAndSaveCompletesIt)
{
    const std::string path = loadText("mqtt : { port = 8883; };");
    EXPECT_EQ(8883, store().mqtt.port);
    EXPECT_EQ("localhost", store().mqtt.host);
    EXPECT_EQ(640, store().camera.width);

    ASSERT_TRUE(store().save(""));
    EXPECT_EQ(path, store().getConfigPath()) << "an empty path keeps the path in use";
    const std::string text = readFileBytes(path);
    std::string expected = kDefaultFile;
    // mqtt moves to the front with port first; the rest follow in table order.
    const std::string mqttBlock = expected.substr(expected.find("mqtt :"), expected.find("view :") - expected.find("mqtt :"));
    expected.erase(expected.find("mqtt :"), mqttBlock.size());
    std::string reordered = mqttBlock;
    reordered.erase(reordered.find("  port = 1883;\n"), std::string("  port = 1883;\n").size());
    reordered.insert(reordered.find("{\n") + 2, "  port = 8883;\n");
    EXPECT_EQ(reordered + expected, text);
}

TEST(TeleopConfig, TypeRulesPerField)
{
    struct Case {
        const char* text;
        std::function<bool(const TeleopConfig&)> check;
    };
    const Case cases[] = {
        {"ai : { confThreshold = 1; };", [](const TeleopConfig& c) { return c.ai.confThreshold == 1.0f; }},
        {"ai : { kptThreshold = 0.25; };", [](const TeleopConfig& c) { return c.ai.kptThreshold == 0.25f; }},
        {"camera : { width = 640.0; height = 1e3; };",
         [](const TeleopConfig& c) { return c.camera.width == 640 && c.camera.height == 480; }},
        {"camera : { mirrorVideo = 1; };", [](const TeleopConfig& c) { return c.camera.mirrorVideo; }},
        {"camera : { mirrorVideo = false; };", [](const TeleopConfig& c) { return !c.camera.mirrorVideo; }},
        // A file of an older version has no source keys: the camera device, as before.
        {"camera : { deviceIndex = 2; };",
         [](const TeleopConfig& c) { return c.camera.sourceType == "device" && c.camera.mediaLocation.empty(); }},
        {"camera : { sourceType = \"media\"; mediaLocation = \"rtsp://cam.local/live\"; };",
         [](const TeleopConfig& c) {
             return c.camera.sourceType == "media" && c.camera.mediaLocation == "rtsp://cam.local/live";
         }},
        {"mqtt : { host = 5; port = \"1\"; };",
         [](const TeleopConfig& c) { return c.mqtt.host == "localhost" && c.mqtt.port == 1883; }},
        {"mqtt : { keepalive = 0x10; autoConnect = FALSE; };",
         [](const TeleopConfig& c) { return c.mqtt.keepalive == 16 && !c.mqtt.autoConnect; }},
        {"view : { darkTheme = false; showGrid = \"no\"; };",
         [](const TeleopConfig& c) { return !c.view.darkTheme && c.view.showGrid; }},
        {"camera = 5; safety : { txRateHz = 50; };",
         [](const TeleopConfig& c) { return c.camera.width == 640 && c.safety.txRateHz == 50; }},
        {"safety { watchdogTimeoutMs = 4294967796; };",
         [](const TeleopConfig& c) { return c.safety.watchdogTimeoutMs == 500; }},  // low 32 bits of 2^32 + 500
        {"mqtt : { robotId = \"robot/kestro/arm-7///\"; };",
         [](const TeleopConfig& c) { return c.mqtt.robotId == "arm-7"; }},
        {"mqtt : { robotId = \"///\"; };", [](const TeleopConfig& c) { return c.mqtt.robotId.empty(); }},
        {"mqtt : { robotId = \"robot/kestro/robot/kestro/x\"; };",
         [](const TeleopConfig& c) { return c.mqtt.robotId == "robot/kestro/x"; }},
        // MQTT wildcards and NUL would make the link subscribe to every robot
        // or be refused by the broker: the default id is used and said.
        {"mqtt : { robotId = \"robot/kestro/#\"; };",
         [](const TeleopConfig& c) { return c.mqtt.robotId == "kestro" && !c.loadProblem().empty(); }},
        {"mqtt : { robotId = \"arm+7\"; };",
         [](const TeleopConfig& c) { return c.mqtt.robotId == "kestro" && !c.loadProblem().empty(); }},
        {"mqtt : { robotId = \"arm\\x007\"; };",
         [](const TeleopConfig& c) { return c.mqtt.robotId == "kestro" && !c.loadProblem().empty(); }},
        {"mqtt : { robotId = \"lab/arm-7\"; };",
         [](const TeleopConfig& c) { return c.mqtt.robotId == "lab/arm-7" && c.loadProblem().empty(); }},
        {"retarget : { mode = \"full_body\"; deadbandDeg = -0.5; };",
         [](const TeleopConfig& c) { return c.retarget.mode == "full_body" && c.retarget.deadbandDeg == -0.5f; }},
    };
    for (const Case& c : cases) {
        bool loaded = false;
        loadText(c.text, &loaded);
        EXPECT_TRUE(loaded) << c.text;
        EXPECT_TRUE(c.check(store())) << c.text;
    }
}

TEST(TeleopConfig, UnknownSettingsSurviveASave)
{
    const std::string path = loadText("# note\ncamera : { extra = 1; width = 800; };\nplugin : { x = \"y\"; };\n");
    store().camera.width = 1280;
    ASSERT_TRUE(store().save(""));
    const std::string text = readFileBytes(path);
    EXPECT_EQ(0u, text.find("camera :\n{\n  extra = 1;\n  width = 1280;\n  deviceIndex = 0;\n"));
    EXPECT_NE(std::string::npos, text.find("plugin :\n{\n  x = \"y\";\n};\nai :\n"));
}

TEST(TeleopConfig, FieldsRoundTripThroughTheFile)
{
    const std::string path = freshFolder("roundtrip") + "/teleop.cfg";
    store().populateDefaults();
    store().mqtt.password = "p\"a\\s\ts\x01\xc3\xa9";
    store().ai.confThreshold = 0.123456789f;
    store().camera.deviceIndex = -3;
    store().view.showGrid = false;
    store().mqtt.tls = true;
    store().mqtt.caFile = "/etc/kestro/broker-ca.pem";
    store().mqtt.keyFile = "robot key.pem";
    store().mqtt.tlsInsecure = true;
    ASSERT_TRUE(store().save(path));
    store().populateDefaults();
    ASSERT_TRUE(store().load(path));
    EXPECT_EQ("p\"a\\s\ts\x01\xc3\xa9", store().mqtt.password);
    EXPECT_NEAR(0.1234568, store().ai.confThreshold, 1e-7) << "seven significant digits";
    EXPECT_EQ(-3, store().camera.deviceIndex);
    EXPECT_FALSE(store().view.showGrid);
    EXPECT_EQ(MqttTls(true, "/etc/kestro/broker-ca.pem", "", "robot key.pem", true),
              MqttTls(store().mqtt.tls, store().mqtt.caFile, store().mqtt.certFile, store().mqtt.keyFile,
                      store().mqtt.tlsInsecure));
}

TEST(TeleopConfig, SyntaxErrorKeepsFieldsAndFile)
{
    loadText("mqtt : { port = 8883; };");
    store().camera.width = 1024;
    const std::string path = freshFolder("syntax") + "/teleop.cfg";
    writeFileBytes(path, "mqtt : {\n port = 1;\n host = \"x\n\"; };");
    testing::internal::CaptureStderr();
    const bool loaded = store().load(path);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(loaded);
    EXPECT_EQ("Config parse error at " + path + ":3 - Unterminated string literal before newline\n", errors);
    EXPECT_EQ(1024, store().camera.width);
    EXPECT_EQ(8883, store().mqtt.port) << "not even the keys before the error are taken";
    EXPECT_EQ("mqtt : {\n port = 1;\n host = \"x\n\"; };", readFileBytes(path));
}

TEST(TeleopConfig, SaveFailuresAreReportedAndKeepTheFile)
{
    // A section that is not a group cannot take keys.
    const std::string path = loadText("camera = 5;\n");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(store().save(""));
    EXPECT_EQ("Failed to write config file " + path + ": SettingTypeException\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ("camera = 5;\n", readFileBytes(path));

    // A path the file system refuses.
    const std::string folderPath = freshFolder("save-fail");
    loadText("");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(store().save(folderPath));
    EXPECT_EQ("Failed to write config file " + folderPath + ": FileIOException\n",
              testing::internal::GetCapturedStderr());
    EXPECT_TRUE(fs::is_directory(folderPath));

    // An unwritable place for a missing file still gives a working store.
    testing::internal::CaptureStderr();
    EXPECT_TRUE(store().load(folderPath + "/no/such/folder/teleop.cfg"));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("Failed to write config file "));
    EXPECT_EQ(1883, store().mqtt.port);
}
