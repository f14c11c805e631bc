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
        // Pictures per second a recording keeps; 0 keeps every frame.
        int recordFps = 0;
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
        // Encryption of the broker connection; off keeps plain TCP. Empty
        // caFile: the system's trust store. tlsInsecure skips every check
        // of the broker's certificate.
        bool tls = false;
        std::string caFile;
        std::string certFile;
        std::string keyFile;
        bool tlsInsecure = false;
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
    // An empty path means the default path. A missing file is created with
    // the defaults (true). A file that exists but cannot be read runs on the
    // defaults and is left alone (true); a syntax error returns false and
    // keeps the fields as they were, after keeping a copy of the file at
    // keptCopyPath(). Either way loadProblem() tells the operator.
    bool load(const std::string& path);
    // An empty path keeps the path in use. Returns false, with a line on the
    // standard error stream and the reason in lastSaveError(), when the file
    // cannot be written. A file that could not be loaded is never
    // overwritten before a copy of it is kept.
    bool save(const std::string& path);
    void syncFromConfig();
    void syncToConfig();

    // What went wrong with the file at the last load, in words for the
    // operator; empty when it loaded cleanly. A successful save clears it.
    const std::string& loadProblem() const { return m_loadProblem; }
    // Why the last save failed; empty after a successful one.
    const std::string& lastSaveError() const { return m_lastSaveError; }
    // Where an unparsable settings file is kept before it is overwritten.
    static std::string keptCopyPath(const std::string& path);
    // MQTT reserves '#' and '+' as wildcards and forbids NUL in topics: a
    // robot id holding one would subscribe to other robots' telemetry or
    // break the link.
    static bool isUsableRobotId(const std::string& robotId);

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
    std::string m_loadProblem;
    std::string m_lastSaveError;
    // A file whose content could not be loaded and of which no copy has
    // been kept yet: save() refuses to overwrite it until one is.
    std::string m_uncopiedPath;

    // Copies the file at `path` to keptCopyPath(path); false with a reason.
    static bool keepCopy(const std::string& path, std::string& reason);
    void addLoadProblem(const std::string& problem);

    static TeleopConfig _self;
};
