#include "config/teleop_config.h"

#include "config/atomic_file.h"
#include "config/settings_location.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
// Included before _self is defined, so the standard streams are ready when the
// constructor reports a bad settings file during static initialisation.
#include <iostream>

using libconfig::Setting;

namespace {

constexpr const char* kConfigPathVariable = "KESTRO_CONFIG_PATH";
constexpr const char* kConfigFolderName = "kestro";
constexpr const char* kConfigFileName = "teleop.cfg";
// Operators paste the full topic prefix into the robot id; the link adds it.
constexpr const char* kRobotTopicPrefix = "robot/kestro/";
constexpr const char* kKeptCopySuffix = ".bad";

std::string errnoText(int error)
{
    return error ? std::strerror(error) : "the system gave no reason";
}

Setting::Type settingTypeOf(int) { return Setting::TypeInt; }
Setting::Type settingTypeOf(float) { return Setting::TypeFloat; }
Setting::Type settingTypeOf(bool) { return Setting::TypeBoolean; }
Setting::Type settingTypeOf(const std::string&) { return Setting::TypeString; }

Setting& sectionFor(Setting& root, const char* name)
{
    return root.exists(name) ? root[name] : root.add(name, Setting::TypeGroup);
}

// Keeps a key where it already is (and its neighbours the operator added);
// a missing key is appended with the field's type.
template <typename Value>
void storeKey(Setting& section, const char* key, const Value& value)
{
    Setting& setting = section.exists(key) ? section[key] : section.add(key, settingTypeOf(value));
    setting = value;
}

std::string normalisedRobotId(std::string robotId)
{
    const std::string prefix = kRobotTopicPrefix;
    if (robotId.compare(0, prefix.size(), prefix) == 0)
        robotId.erase(0, prefix.size());
    while (!robotId.empty() && robotId.back() == '/')
        robotId.pop_back();
    return robotId;
}

} // namespace

TeleopConfig TeleopConfig::_self;

TeleopConfig::TeleopConfig()
{
    populateDefaults();
    load(std::string());
}

TeleopConfig* TeleopConfig::instance()
{
    return &_self;
}

std::string TeleopConfig::getDefaultConfigPath()
{
    const char* overridePath = std::getenv(kConfigPathVariable);
    if (overridePath && *overridePath)
        return overridePath;
    const std::string base = kestro::config::userSettingsFolder();
    if (base.empty())
        return kConfigFileName;
    const std::string folder = base + kestro::config::kPathSeparator + kConfigFolderName;
    // A failure shows up when the file is written, with its own message.
    (void)kestro::config::createFolders(folder);
    return folder + kestro::config::kPathSeparator + kConfigFileName;
}

void TeleopConfig::populateDefaults()
{
    camera = CameraConfig{};
    ai = AiConfig{};
    retarget = RetargetConfig{};
    safety = SafetyConfig{};
    mqtt = MqttConfig{};
    view = ViewConfig{};
}

bool TeleopConfig::load(const std::string& path)
{
    m_configPath = path.empty() ? getDefaultConfigPath() : path;
    m_loadProblem.clear();
    m_uncopiedPath.clear();
    try {
        errno = 0;
        m_config.readFile(m_configPath.c_str());
    } catch (const libconfig::FileIOException&) {
        const int error = errno;
        populateDefaults();
        // Whatever an earlier file held has nothing to do with this one.
        m_config.getRoot().clear();
        std::error_code ignored;
        if (!std::filesystem::exists(m_configPath, ignored)) {
            // First start: leave a file the operator can edit. A failed
            // write has printed its line.
            (void)save(m_configPath);
            return true;
        }
        // There is a file, only not one this process can read (permissions,
        // a folder): replacing it with defaults would lose it for good.
        m_uncopiedPath = m_configPath;
        addLoadProblem("Settings file " + m_configPath + " could not be read (" + errnoText(error) +
                       "); running on default settings, and the file is left as it is.");
        std::cerr << "TeleopConfig: " << m_loadProblem << std::endl;
        return true;
    } catch (const libconfig::ParseException& error) {
        std::cerr << "Config parse error at " << error.getFile() << ":" << error.getLine() << " - "
                  << error.getError() << std::endl;
        const std::string what = "Settings file " + m_configPath + " could not be read (line " +
                                 std::to_string(error.getLine()) + ": " + error.getError() +
                                 "); running on default settings.";
        std::string reason;
        if (keepCopy(m_configPath, reason)) {
            addLoadProblem(what + " A copy of it was kept as " + keptCopyPath(m_configPath) + ".");
        } else {
            m_uncopiedPath = m_configPath;
            addLoadProblem(what + " No copy of it could be kept (" + reason + "), so it will not be overwritten.");
        }
        return false;
    }
    syncFromConfig();
    return true;
}

bool TeleopConfig::save(const std::string& path)
{
    if (!path.empty())
        m_configPath = path;
    if (m_configPath.empty())
        m_configPath = getDefaultConfigPath();
    m_lastSaveError.clear();
    if (!m_uncopiedPath.empty() && m_uncopiedPath == m_configPath) {
        std::string reason;
        if (!keepCopy(m_configPath, reason)) {
            m_lastSaveError = "Settings were not saved: " + m_configPath +
                              " could not be read, and no copy of it could be kept (" + reason +
                              "), so it is not overwritten.";
            std::cerr << "Failed to write config file " << m_configPath << ": no copy of the unread file could be kept"
                      << std::endl;
            return false;
        }
        m_uncopiedPath.clear();
    }
    try {
        syncToConfig();
        errno = 0;
        m_config.writeFile(m_configPath.c_str());
    } catch (const libconfig::FileIOException& error) {
        m_lastSaveError = "Could not save settings to " + m_configPath + ": " + errnoText(errno) + ".";
        std::cerr << "Failed to write config file " << m_configPath << ": " << error.what() << std::endl;
        return false;
    } catch (const std::exception& error) {
        m_lastSaveError = "Could not save settings to " + m_configPath + ": " + error.what() + ".";
        std::cerr << "Failed to write config file " << m_configPath << ": " << error.what() << std::endl;
        return false;
    }
    m_loadProblem.clear();
    return true;
}

std::string TeleopConfig::keptCopyPath(const std::string& path)
{
    return path + kKeptCopySuffix;
}

bool TeleopConfig::isUsableRobotId(const std::string& robotId)
{
    return robotId.find_first_of(std::string("#+\0", 3)) == std::string::npos;
}

bool TeleopConfig::keepCopy(const std::string& path, std::string& reason)
{
    std::string contents;
    errno = 0;
    if (kestro::config::readWholeFile(path, contents) &&
        kestro::config::replaceFileAtomically(keptCopyPath(path), contents))
        return true;
    reason = errnoText(errno);
    return false;
}

void TeleopConfig::addLoadProblem(const std::string& problem)
{
    m_loadProblem += (m_loadProblem.empty() ? "" : " ") + problem;
}

void TeleopConfig::syncFromConfig()
{
    const Setting& root = m_config.getRoot();
    if (root.exists("camera")) {
        const Setting& section = root["camera"];
        section.lookupValue("deviceIndex", camera.deviceIndex);
        section.lookupValue("width", camera.width);
        section.lookupValue("height", camera.height);
        section.lookupValue("targetFps", camera.targetFps);
        section.lookupValue("mirrorVideo", camera.mirrorVideo);
        section.lookupValue("sourceType", camera.sourceType);
        section.lookupValue("mediaLocation", camera.mediaLocation);
        section.lookupValue("recordFps", camera.recordFps);
    }
    if (root.exists("ai")) {
        const Setting& section = root["ai"];
        section.lookupValue("modelSource", ai.modelSource);
        section.lookupValue("customModelPath", ai.customModelPath);
        section.lookupValue("provider", ai.provider);
        section.lookupValue("confThreshold", ai.confThreshold);
        section.lookupValue("kptThreshold", ai.kptThreshold);
        section.lookupValue("targetSelection", ai.targetSelection);
    }
    if (root.exists("retarget")) {
        const Setting& section = root["retarget"];
        section.lookupValue("smoothingAlpha", retarget.smoothingAlpha);
        section.lookupValue("deadbandDeg", retarget.deadbandDeg);
        section.lookupValue("maxVelocityDegS", retarget.maxVelocityDegS);
        section.lookupValue("mode", retarget.mode);
        section.lookupValue("stancePreset", retarget.stancePreset);
    }
    if (root.exists("safety")) {
        const Setting& section = root["safety"];
        section.lookupValue("safetyMarginDeg", safety.safetyMarginDeg);
        section.lookupValue("txRateHz", safety.txRateHz);
        section.lookupValue("watchdogTimeoutMs", safety.watchdogTimeoutMs);
    }
    if (root.exists("mqtt")) {
        const Setting& section = root["mqtt"];
        section.lookupValue("host", mqtt.host);
        section.lookupValue("port", mqtt.port);
        section.lookupValue("username", mqtt.username);
        section.lookupValue("password", mqtt.password);
        section.lookupValue("robotId", mqtt.robotId);
        mqtt.robotId = normalisedRobotId(mqtt.robotId);
        if (!isUsableRobotId(mqtt.robotId)) {
            mqtt.robotId = MqttConfig().robotId;
            addLoadProblem("The robot ID in " + m_configPath +
                           " contains '#', '+' or a NUL character, which MQTT topics cannot carry; using \"" +
                           mqtt.robotId + "\" instead.");
        }
        section.lookupValue("keepalive", mqtt.keepalive);
        section.lookupValue("autoConnect", mqtt.autoConnect);
        section.lookupValue("tls", mqtt.tls);
        section.lookupValue("caFile", mqtt.caFile);
        section.lookupValue("certFile", mqtt.certFile);
        section.lookupValue("keyFile", mqtt.keyFile);
        section.lookupValue("tlsInsecure", mqtt.tlsInsecure);
    }
    if (root.exists("view")) {
        const Setting& section = root["view"];
        section.lookupValue("showRobotMeshes", view.showRobotMeshes);
        section.lookupValue("showSkeleton", view.showSkeleton);
        section.lookupValue("showGrid", view.showGrid);
        section.lookupValue("darkTheme", view.darkTheme);
    }
}

void TeleopConfig::syncToConfig()
{
    Setting& root = m_config.getRoot();

    Setting& cameraSection = sectionFor(root, "camera");
    storeKey(cameraSection, "deviceIndex", camera.deviceIndex);
    storeKey(cameraSection, "width", camera.width);
    storeKey(cameraSection, "height", camera.height);
    storeKey(cameraSection, "targetFps", camera.targetFps);
    storeKey(cameraSection, "mirrorVideo", camera.mirrorVideo);
    storeKey(cameraSection, "sourceType", camera.sourceType);
    storeKey(cameraSection, "mediaLocation", camera.mediaLocation);
    storeKey(cameraSection, "recordFps", camera.recordFps);

    Setting& aiSection = sectionFor(root, "ai");
    storeKey(aiSection, "modelSource", ai.modelSource);
    storeKey(aiSection, "customModelPath", ai.customModelPath);
    storeKey(aiSection, "provider", ai.provider);
    storeKey(aiSection, "confThreshold", ai.confThreshold);
    storeKey(aiSection, "kptThreshold", ai.kptThreshold);
    storeKey(aiSection, "targetSelection", ai.targetSelection);

    Setting& retargetSection = sectionFor(root, "retarget");
    storeKey(retargetSection, "smoothingAlpha", retarget.smoothingAlpha);
    storeKey(retargetSection, "deadbandDeg", retarget.deadbandDeg);
    storeKey(retargetSection, "maxVelocityDegS", retarget.maxVelocityDegS);
    storeKey(retargetSection, "mode", retarget.mode);
    storeKey(retargetSection, "stancePreset", retarget.stancePreset);

    Setting& safetySection = sectionFor(root, "safety");
    storeKey(safetySection, "safetyMarginDeg", safety.safetyMarginDeg);
    storeKey(safetySection, "txRateHz", safety.txRateHz);
    storeKey(safetySection, "watchdogTimeoutMs", safety.watchdogTimeoutMs);

    Setting& mqttSection = sectionFor(root, "mqtt");
    storeKey(mqttSection, "host", mqtt.host);
    storeKey(mqttSection, "port", mqtt.port);
    storeKey(mqttSection, "username", mqtt.username);
    storeKey(mqttSection, "password", mqtt.password);
    storeKey(mqttSection, "robotId", mqtt.robotId);
    storeKey(mqttSection, "keepalive", mqtt.keepalive);
    storeKey(mqttSection, "autoConnect", mqtt.autoConnect);
    storeKey(mqttSection, "tls", mqtt.tls);
    storeKey(mqttSection, "caFile", mqtt.caFile);
    storeKey(mqttSection, "certFile", mqtt.certFile);
    storeKey(mqttSection, "keyFile", mqtt.keyFile);
    storeKey(mqttSection, "tlsInsecure", mqtt.tlsInsecure);

    Setting& viewSection = sectionFor(root, "view");
    storeKey(viewSection, "showRobotMeshes", view.showRobotMeshes);
    storeKey(viewSection, "showSkeleton", view.showSkeleton);
    storeKey(viewSection, "showGrid", view.showGrid);
    storeKey(viewSection, "darkTheme", view.darkTheme);
}
