#pragma once

#include "config/config.h"

#include <string>

// The application's settings: one process-wide store, read from and written
// to the "teleop.cfg" settings file. Fields carry their defaults; nothing here
// validates or clamps, the consumers bound the values they use. GUI thread only.
class TeleopConfig {
public:
    struct CameraConfig {
        int deviceIndex = 0;
        int width = 640;
        int height = 480;
        int targetFps = 30;
        bool mirrorVideo = true;
        // "device": the camera at deviceIndex; "media": the video file or
        // stream URL in mediaLocation. Files of older versions lack both.
        std::string sourceType = "device";
        std::string mediaLocation;
    };
    struct AiConfig {
        std::string modelSource = "embedded";
        std::string customModelPath;
        std::string provider = "auto";
        float confThreshold = 0.5f;
        float kptThreshold = 0.4f;
        std::string targetSelection = "largest";
    };
    struct RetargetConfig {
        float smoothingAlpha = 0.35f;
        float deadbandDeg = 1.0f;
        float maxVelocityDegS = 180.0f;
        std::string mode = "upper_body";
        std::string stancePreset = "neutral";
    };
    struct SafetyConfig {
        float safetyMarginDeg = 2.0f;
        int txRateHz = 30;
        int watchdogTimeoutMs = 500;
    };
    struct MqttConfig {
        std::string host = "localhost";
        int port = 1883;
        std::string username;
        std::string password;
        std::string robotId = "kestro";
        int keepalive = 60;
        bool autoConnect = true;
    };
    struct ViewConfig {
        bool showRobotMeshes = true;
        bool showSkeleton = true;
        bool showGrid = true;
        bool darkTheme = true;
    };

    static TeleopConfig* instance();
    // KESTRO_CONFIG_PATH when set, else "kestro/teleop.cfg" in the per-user
    // settings folder (created when missing), else "teleop.cfg".
    static std::string getDefaultConfigPath();

    std::string getConfigPath() const { return m_configPath; }
    void populateDefaults();
    // An empty path means the default path. A missing or unreadable file is
    // replaced by the defaults (true); a syntax error returns false and keeps
    // the fields as they were.
    bool load(const std::string& path);
    // An empty path keeps the path in use. Returns false, with a line on the
    // standard error stream, when the file cannot be written.
    bool save(const std::string& path);
    void syncFromConfig();
    void syncToConfig();

    CameraConfig camera;
    AiConfig ai;
    RetargetConfig retarget;
    SafetyConfig safety;
    MqttConfig mqtt;
    ViewConfig view;

    TeleopConfig(const TeleopConfig&) = delete;
    TeleopConfig& operator=(const TeleopConfig&) = delete;

private:
    TeleopConfig();

    // Mirrors the file between loads and saves, so that settings this store
    // does not know survive a save.
    libconfig::Config m_config;
    std::string m_configPath;

    static TeleopConfig _self;
};
