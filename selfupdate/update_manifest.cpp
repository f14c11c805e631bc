#include "selfupdate/update_manifest.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <vector>

#include "selfupdate/json_parser.h"

namespace selfupdate {

const char* const kDefaultManifestUrl = "https://updates.kestro.example/software/windows/version.json";
const char* const kUpdateUrlEnvironmentVariable = "KESTRO_UPDATE_URL";

namespace {

const char* const kDefaultArch = "x86_64";
const char* const kDefaultMinOs = "Windows 10 (64-bit)+";

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string toLower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Only Number members count; strings or other kinds are treated as absent.
std::int64_t getInteger(const JsonValue& object, const std::string& key, std::int64_t defaultValue)
{
    const JsonValue* member = object.find(key);
    if (member == nullptr || member->type != JsonType::Number)
        return defaultValue;
    return member->intValue;
}

[[noreturn]] void versionOutOfRange(const std::string& version)
{
    throw std::invalid_argument("Version number out of range: " + version);
}

// Value of the leading decimal digits of a piece; 0 when it has none. A
// number too large for 64 bits makes the whole version invalid: wrapping it
// would let "18446744073709551618" pass for 2.
std::int64_t leadingNumber(const std::string& piece, const std::string& version)
{
    std::int64_t value = 0;
    for (char c : piece) {
        if (c < '0' || c > '9')
            break;
        if (value > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10)
            versionOutOfRange(version);
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string dropLeadingV(const std::string& text)
{
    if (!text.empty() && (text[0] == 'v' || text[0] == 'V'))
        return text.substr(1);
    return text;
}

// Splits at '.'; a trailing empty piece after a final '.' does not count.
std::vector<std::int64_t> versionNumbers(const std::string& core, const std::string& version)
{
    std::vector<std::int64_t> numbers;
    if (core.empty())
        return numbers;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = core.find('.', start);
        if (dot == std::string::npos) {
            if (start < core.size())
                numbers.push_back(leadingNumber(core.substr(start), version));
            break;
        }
        numbers.push_back(leadingNumber(core.substr(start, dot - start), version));
        start = dot + 1;
    }
    return numbers;
}

const JsonValue& selectApplication(const JsonValue& root, const std::string& targetIdOrSlug)
{
    const JsonValue* apps = root.find("apps");
    if (apps == nullptr)
        return root;
    if (apps->type != JsonType::Object)
        throw std::invalid_argument("'apps' in catalog must be an object");

    const std::string target = trim(targetIdOrSlug);
    const std::string normTarget = UpdateManifest::normalizeApplicationId(target);
    const JsonValue* selected = nullptr;
    if (target.empty()) {
        if (apps->members.size() != 1)
            throw std::invalid_argument("Catalog contains " + std::to_string(apps->members.size()) +
                                        " apps; targetIdOrSlug required for selection");
        selected = &apps->members.begin()->second;
    } else if (const JsonValue* exact = apps->find(target)) {
        selected = exact;
    } else if (const JsonValue* normalised = apps->find(normTarget)) {
        selected = normalised;
    } else {
        for (const auto& [key, entry] : apps->members) {
            if (entry.type != JsonType::Object)
                continue;
            const std::string id = entry.getString("applicationId");
            if (entry.getString("slug") == target || id == target ||
                UpdateManifest::normalizeApplicationId(id) == normTarget) {
                selected = &entry;
                break;
            }
        }
        if (selected == nullptr)
            throw std::invalid_argument("Application '" + target + "' not found in catalog");
    }
    if (selected->type != JsonType::Object)
        throw std::invalid_argument("Selected application node must be an object");
    return *selected;
}

} // namespace

std::string UpdateManifest::defaultManifestUrl()
{
    const char* configured = std::getenv(kUpdateUrlEnvironmentVariable);
    if (configured != nullptr && !trim(configured).empty())
        return trim(configured);
    return kDefaultManifestUrl;
}

UpdateManifest UpdateManifest::fromJson(const std::string& json, const std::string& sourceUrl,
                                        const std::string& targetIdOrSlug)
{
    if (trim(json).empty())
        throw std::invalid_argument("Empty JSON input");

    JsonParser parser(json);
    const JsonValue root = parser.parseValue();
    parser.skipWhitespace();
    if (!parser.atEnd())
        throw std::invalid_argument("Unexpected trailing characters in JSON");
    if (root.type != JsonType::Object)
        throw std::invalid_argument("Manifest JSON root must be an object");

    std::string base = sourceUrl;
    if (const JsonValue* baseUrl = root.find("baseUrl"); baseUrl != nullptr && baseUrl->type == JsonType::String)
        base = baseUrl->stringValue;

    const JsonValue& node = selectApplication(root, targetIdOrSlug);

    UpdateManifest manifest;
    manifest.applicationId = node.getString("applicationId");
    if (manifest.applicationId.empty())
        throw std::invalid_argument("Manifest missing or empty applicationId");
    manifest.versionName = node.getString("versionName");
    if (manifest.versionName.empty())
        throw std::invalid_argument("Manifest missing or empty versionName");
    manifest.versionCode = getInteger(node, "versionCode", 0);
    if (manifest.versionCode <= 0)
        throw std::invalid_argument("Manifest versionCode must be greater than zero");

    std::string packageReference;
    for (const char* key : {"packageUrl", "downloadUrl", "apkUrl"}) {
        packageReference = node.getString(key);
        if (!packageReference.empty())
            break;
    }
    if (packageReference.empty())
        throw std::invalid_argument("Manifest missing packageUrl, downloadUrl, or apkUrl");
    manifest.packageUrl = resolveRelativeUrl(base, packageReference);

    const std::string digest = trim(node.getString("sha256"));
    if (digest.size() != 64)
        throw std::invalid_argument("Manifest sha256 checksum must be exactly 64 hex characters");
    if (!std::all_of(digest.begin(), digest.end(), [](unsigned char c) { return std::isxdigit(c) != 0; }))
        throw std::invalid_argument("Manifest sha256 checksum contains non-hexadecimal character");
    manifest.sha256 = toLower(digest);

    manifest.sizeBytes = getInteger(node, "sizeBytes", -1);

    std::string mode = toLower(node.getString("installMode"));
    if (mode.empty())
        mode = toLower(node.getString("installType"));
    manifest.installType =
        (mode == "binary" || mode == "binarycopy") ? InstallType::BinaryCopy : InstallType::SetupInstaller;

    manifest.installerArgs = node.getString("installerArgs");
    manifest.executableName = node.getString("executableName");
    manifest.arch = node.getString("arch");
    if (manifest.arch.empty())
        manifest.arch = kDefaultArch;
    manifest.minOs = node.getString("minOs");
    if (manifest.minOs.empty())
        manifest.minOs = kDefaultMinOs;
    manifest.slug = node.getString("slug");
    manifest.title = node.getString("title");
    const std::string page = node.getString("pageUrl");
    if (!page.empty())
        manifest.pageUrl = resolveRelativeUrl(base, page);
    manifest.publishedAt = node.getString("publishedAt");
    manifest.releaseNotes = node.getString("releaseNotes");
    return manifest;
}

std::string UpdateManifest::normalizeManifestUrl(const std::string& url)
{
    const std::string t = trim(url);
    if (t.empty())
        return defaultManifestUrl();
    if (t.back() == '/')
        return t + "version.json";
    return t;
}

std::string UpdateManifest::normalizeApplicationId(const std::string& id)
{
    const std::string t = trim(id);
    const std::string suffix = ".debug";
    if (t.size() >= suffix.size() + 1 && endsWith(t, suffix))
        return t.substr(0, t.size() - suffix.size());
    return t;
}

std::string UpdateManifest::resolveRelativeUrl(const std::string& base, const std::string& reference)
{
    const std::string r = trim(reference);
    if (startsWith(r, "http://") || startsWith(r, "https://"))
        return r;
    const std::string b = normalizeManifestUrl(base);
    if (!r.empty() && r[0] == '/') {
        const std::size_t scheme = b.find("://");
        if (scheme == std::string::npos)
            return r;
        const std::size_t pathStart = b.find('/', scheme + 3);
        return (pathStart == std::string::npos ? b : b.substr(0, pathStart)) + r;
    }
    const std::size_t lastSlash = b.rfind('/');
    if (lastSlash == std::string::npos)
        return b + "/" + r;
    return b.substr(0, lastSlash + 1) + r;
}

std::int64_t UpdateManifest::parseVersionCode(const std::string& version)
{
    std::string t = dropLeadingV(trim(version));
    const std::size_t dash = t.find('-');
    if (dash != std::string::npos)
        t.resize(dash);
    const std::vector<std::int64_t> numbers = versionNumbers(t, version);
    auto piece = [&numbers](std::size_t index) { return index < numbers.size() ? numbers[index] : 0; };
    // Places may spill into each other (1.2.345 is 10545), but a build
    // number beyond 64 bits is refused like a piece that does not fit.
    std::int64_t code = 0;
    std::int64_t minor = 0;
    if (__builtin_mul_overflow(piece(0), std::int64_t{10000}, &code) ||
        __builtin_mul_overflow(piece(1), std::int64_t{100}, &minor) || __builtin_add_overflow(code, minor, &code) ||
        __builtin_add_overflow(code, piece(2), &code))
        versionOutOfRange(version);
    return code;
}

int UpdateManifest::compareVersions(const std::string& a, const std::string& b)
{
    auto split = [](const std::string& version, std::string& core, std::string& tag) {
        const std::string t = dropLeadingV(trim(version));
        const std::size_t dash = t.find('-');
        core = dash == std::string::npos ? t : t.substr(0, dash);
        tag = dash == std::string::npos ? std::string() : t.substr(dash + 1);
    };
    std::string coreA, tagA, coreB, tagB;
    split(a, coreA, tagA);
    split(b, coreB, tagB);

    // Unlike parseVersionCode, an empty piece after a final '.' counts here;
    // it is 0 and pads the same way, so the comparison is unaffected.
    std::vector<std::int64_t> numbersA = versionNumbers(coreA, a);
    std::vector<std::int64_t> numbersB = versionNumbers(coreB, b);
    const std::size_t length = std::max(numbersA.size(), numbersB.size());
    numbersA.resize(length, 0);
    numbersB.resize(length, 0);
    for (std::size_t i = 0; i < length; ++i) {
        if (numbersA[i] != numbersB[i])
            return numbersA[i] < numbersB[i] ? -1 : 1;
    }
    if (tagA.empty() && tagB.empty())
        return 0;
    if (tagA.empty())
        return 1;
    if (tagB.empty())
        return -1;
    const int order = tagA.compare(tagB);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

bool UpdateManifest::isNewerThan(const std::string& installedVersionName, std::int64_t installedVersionCode) const
{
    if (!installedVersionName.empty() && !versionName.empty()) {
        const int order = compareVersions(versionName, installedVersionName);
        if (order > 0)
            return true;
        if (order < 0)
            return false;
        if (installedVersionCode < 1)
            return false;
    }
    return installedVersionCode < versionCode;
}

} // namespace selfupdate
