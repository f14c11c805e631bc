#pragma once

#include <cstdint>
#include <string>

namespace selfupdate {

enum class InstallType : std::int32_t { SetupInstaller = 0, BinaryCopy = 1 };

// The release catalog this build asks when no other location is configured.
// The host lies under the reserved ".example" domain, so an unconfigured
// build never talks to somebody else's server; organisations that host their
// own catalog name it through KESTRO_UPDATE_URL (see defaultManifestUrl).
extern const char* const kDefaultManifestUrl;

// Environment variable that replaces kDefaultManifestUrl.
extern const char* const kUpdateUrlEnvironmentVariable;

// One release of one application, as read from the release catalog.
struct UpdateManifest {
    std::string applicationId;
    std::int64_t versionCode = 0;
    std::string versionName;
    InstallType installType = InstallType::SetupInstaller;
    std::string installerArgs;
    std::string executableName;
    std::string arch = "x86_64";
    std::string minOs = "Windows 10 (64-bit)+";
    std::string packageUrl;
    std::string sha256;
    std::int64_t sizeBytes = -1;
    std::string slug;
    std::string title;
    std::string pageUrl;
    std::string publishedAt;
    std::string releaseNotes;

    // Parses a single manifest or a catalog and selects one application.
    // Throws std::invalid_argument (format) or std::out_of_range (numbers).
    static UpdateManifest fromJson(const std::string& json, const std::string& sourceUrl,
                                   const std::string& targetIdOrSlug);

    static std::string normalizeManifestUrl(const std::string& url);
    static std::string normalizeApplicationId(const std::string& id);
    static std::string resolveRelativeUrl(const std::string& base, const std::string& reference);
    static std::int64_t parseVersionCode(const std::string& version);
    static int compareVersions(const std::string& a, const std::string& b);

    // KESTRO_UPDATE_URL when set and not blank, else kDefaultManifestUrl.
    static std::string defaultManifestUrl();

    bool isNewerThan(const std::string& installedVersionName, std::int64_t installedVersionCode) const;
};

} // namespace selfupdate
