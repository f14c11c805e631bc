#include "selfupdate/json_parser.h"
#include "selfupdate/update_manifest.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>
#include <stdexcept>
#include <string>
#include <vector>

using selfupdate::InstallType;
using selfupdate::JsonParser;
using selfupdate::JsonType;
using selfupdate::UpdateManifest;

namespace {

const std::string kDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kSource = "https://updates.test/software/windows/version.json";

std::string manifestJson(const std::string& extra = std::string())
{
    return R"({"applicationId":"com.ombrel.kestro.teleop","versionName":"2.3.0","versionCode":20300,)"
           R"("packageUrl":"pkg/app.exe","sha256":")" + kDigest + "\"" + extra + "}";
}

std::string errorOf(const std::string& json, const std::string& target = std::string())
{
    try {
        UpdateManifest::fromJson(json, kSource, target);
    } catch (const std::invalid_argument& error) {
        return error.what();
    } catch (const std::out_of_range& error) {
        return std::string("out_of_range:") + error.what();
    }
    return "no error";
}

} // namespace

TEST(JsonParser, ErrorsNameTheirPositions)
{
    struct Case {
        std::string json;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"   ", "Empty JSON input"},
        {"{} x", "Unexpected trailing characters in JSON"},
        {"[1,2]", "Manifest JSON root must be an object"},
        {R"({"a":1,})", "Expected string key in object at position 7"},
        {"[1,]", "Unexpected token parsing JSON at position 3"},
        {R"({"a" 1})", "Expected ':' after key in object at position 6"},
        {R"({"a")", "Expected ':' after key in object at position 4"},
        {R"({"a":1 "b":2})", "Expected ',' or '}' in object at position 8"},
        {R"({"a":1)", "Expected ',' or '}' in object at position 6"},
        {R"({"a":[1 2]})", "Expected ',' or ']' in array at position 9"},
        {R"({"a":[1)", "Expected ',' or ']' in array at position 7"},
        {R"({"a":[)", "Unterminated array in JSON"},
        {R"({"a":[1,)", "Unterminated array in JSON"},
        {"{", "Unterminated object in JSON"},
        {R"({"a":1,)", "Unterminated object in JSON"},
        {"{1:2}", "Expected string key in object at position 1"},
        {R"({"a":)", "Unexpected token parsing JSON at position 5"},
        {R"({"a":+1})", "Unexpected token parsing JSON at position 5"},
        {R"({"a":-})", "Expected digit in number at position 6"},
        {R"({"a":1.})", "Expected digit after decimal point at position 7"},
        {R"({"a":1e+})", "Expected digit in exponent at position 8"},
        {R"({"a":tru})", "Invalid boolean value in JSON"},
        {R"({"a":nul})", "Invalid null literal in JSON"},
        {R"({"a":"abc)", "Unterminated string in JSON"},
        {"{\"a\":\"abc\\", "Unterminated escape sequence in string"},
        {R"({"a":"\u12"})", "Invalid hex in \\u unicode escape"},
        {R"({"a":"\u12)", "Truncated \\u unicode escape"},
        {R"({"a":"\q"})", "Unknown escape character in string: \\q"},
        {R"({"a":99999999999999999999})", "out_of_range:stoll"},
        {R"({"a":1e999})", "out_of_range:stod"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(errorOf(c.json), c.message) << c.json;
}

TEST(JsonParser, ReadsValuesAndEscapes)
{
    const std::string text =
        R"({"s":"\u00e9\ud83d\ude00\"\\\/\b\f\n\r\t","n":-12,"f":7.9,"e":2E2,"t":true,"z":null,"a":[],"o":{}})";
    JsonParser parser(text);
    const selfupdate::JsonValue root = parser.parseValue();
    EXPECT_EQ(parser.position(), text.size());
    ASSERT_EQ(root.type, JsonType::Object);
    // Each \u escape is encoded by itself: a surrogate pair gives two
    // three-byte sequences rather than one four-byte character.
    EXPECT_EQ(root.getString("s"), "\xC3\xA9\xED\xA0\xBD\xED\xB8\x80\"\\/\b\f\n\r\t");
    EXPECT_EQ(root.members.at("n").intValue, -12);
    EXPECT_EQ(root.members.at("n").numberValue, -12.0);
    EXPECT_EQ(root.members.at("f").intValue, 7);
    EXPECT_DOUBLE_EQ(root.members.at("f").numberValue, 7.9);
    EXPECT_EQ(root.members.at("e").intValue, 200);
    EXPECT_TRUE(root.members.at("t").boolValue);
    EXPECT_EQ(root.members.at("z").type, JsonType::Null);
    EXPECT_EQ(root.members.at("a").type, JsonType::Array);
    EXPECT_EQ(root.members.at("o").type, JsonType::Object);
    EXPECT_EQ(root.getString("n", "fallback"), "fallback");
}

TEST(JsonParser, RefusesAbsurdNestingButAcceptsTheLimit)
{
    const int limit = selfupdate::kMaxJsonNestingDepth;
    const std::string atLimit = "{\"a\":" + std::string(limit - 1, '[') + std::string(limit - 1, ']') + "}";
    JsonParser accepted(atLimit);
    EXPECT_NO_THROW(accepted.parseValue());

    const std::string tooDeep = "{\"a\":" + std::string(limit, '[') + std::string(limit, ']') + "}";
    EXPECT_EQ(errorOf(tooDeep), std::string(selfupdate::kJsonTooDeepMessage) + std::to_string(5 + limit - 1));

    // Far beyond the limit: refused quickly instead of exhausting the stack.
    EXPECT_NE(errorOf("{\"a\":" + std::string(1000000, '[')).find("JSON nesting deeper than 256"), std::string::npos);

    // Flat but huge: as many values as allowed pass, one more is refused
    // where it starts (each "[]," is 3 bytes after the opening bracket).
    std::string values;
    for (std::size_t i = 1; i < selfupdate::kMaxJsonValues; ++i)
        values += "[],";
    const std::string allowed = "[" + values.substr(0, values.size() - 1) + "]";
    JsonParser atCount(allowed);
    EXPECT_NO_THROW(atCount.parseValue());
    EXPECT_EQ(errorOf("[" + values + "[]]"),
              std::string(selfupdate::kJsonTooManyValuesMessage) + std::to_string(1 + values.size()));
}

TEST(UpdateManifest, ValidationMessagesInOrder)
{
    struct Case {
        std::string json;
        std::string message;
    };
    const std::string id = R"("applicationId":"a",)";
    const std::string name = R"("versionName":"1.0",)";
    const std::string code = R"("versionCode":5,)";
    const std::string url = R"("packageUrl":"x.exe",)";
    const std::vector<Case> cases = {
        {"{}", "Manifest missing or empty applicationId"},
        {R"({"applicationId":""})", "Manifest missing or empty applicationId"},
        {R"({"applicationId":1})", "Manifest missing or empty applicationId"},
        {"{" + id + R"("versionName":""})", "Manifest missing or empty versionName"},
        {"{" + id + name + R"("versionCode":"5"})", "Manifest versionCode must be greater than zero"},
        {"{" + id + name + R"("versionCode":0})", "Manifest versionCode must be greater than zero"},
        {"{" + id + name + R"("versionCode":-3})", "Manifest versionCode must be greater than zero"},
        {"{" + id + name + code + R"("packageUrl":""})", "Manifest missing packageUrl, downloadUrl, or apkUrl"},
        {"{" + id + name + code + url + R"("sha256":")" + kDigest.substr(1) + "\"}",
         "Manifest sha256 checksum must be exactly 64 hex characters"},
        {"{" + id + name + code + url + R"("sha256":")" + kDigest + "0\"}",
         "Manifest sha256 checksum must be exactly 64 hex characters"},
        {"{" + id + name + code + url + R"("sha256":")" + kDigest.substr(1) + "g\"}",
         "Manifest sha256 checksum contains non-hexadecimal character"},
        {R"({"apps":[]})", "'apps' in catalog must be an object"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(errorOf(c.json), c.message) << c.json;
}

TEST(UpdateManifest, FieldsDefaultsAndKinds)
{
    const UpdateManifest plain = UpdateManifest::fromJson(manifestJson(), kSource, "");
    EXPECT_EQ(plain.applicationId, "com.ombrel.kestro.teleop");
    EXPECT_EQ(plain.versionCode, 20300);
    EXPECT_EQ(plain.packageUrl, "https://updates.test/software/windows/pkg/app.exe");
    EXPECT_EQ(plain.sizeBytes, -1);
    EXPECT_EQ(plain.arch, "x86_64");
    EXPECT_EQ(plain.minOs, "Windows 10 (64-bit)+");
    EXPECT_EQ(plain.installType, InstallType::SetupInstaller);
    EXPECT_TRUE(plain.pageUrl.empty());

    const UpdateManifest full = UpdateManifest::fromJson(
        manifestJson(R"(,"versionCode":7.9,"sizeBytes":0,"arch":"","minOs":"Debian 12","slug":"kestro-teleop",)"
                     R"("title":"T","pageUrl":"/notes","publishedAt":"2026-01-02T03:04:05Z","releaseNotes":"n",)"
                     R"("installerArgs":"/S","executableName":"kestro.exe","unknown":{"deep":[1]})"),
        kSource, "");
    EXPECT_EQ(full.versionCode, 7);
    EXPECT_EQ(full.sizeBytes, 0);
    EXPECT_EQ(full.arch, "x86_64");
    EXPECT_EQ(full.minOs, "Debian 12");
    EXPECT_EQ(full.pageUrl, "https://updates.test/notes");
    EXPECT_EQ(full.publishedAt, "2026-01-02T03:04:05Z");
    EXPECT_EQ(full.installerArgs, "/S");
    EXPECT_EQ(full.executableName, "kestro.exe");

    const UpdateManifest upper =
        UpdateManifest::fromJson(R"({"applicationId":"a","versionName":"1","versionCode":1,"apkUrl":"https://h/a",)"
                                 R"("downloadUrl":"","sha256":"  )" + std::string(64, 'A') + R"(  "})",
                                 kSource, "");
    EXPECT_EQ(upper.sha256, std::string(64, 'a'));
    EXPECT_EQ(upper.packageUrl, "https://h/a");
}

TEST(UpdateManifest, InstallModeSelection)
{
    struct Case {
        std::string members;
        InstallType expected;
    };
    const std::vector<Case> cases = {
        {R"(,"installType":"BinaryCopy")", InstallType::BinaryCopy},
        {R"(,"installType":"BINARY")", InstallType::BinaryCopy},
        {R"(,"installMode":"binarycopy")", InstallType::BinaryCopy},
        {R"(,"installMode":"setup","installType":"binary")", InstallType::SetupInstaller},
        {R"(,"installMode":"","installType":"binary")", InstallType::BinaryCopy},
        {R"(,"installType":"portable")", InstallType::SetupInstaller},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UpdateManifest::fromJson(manifestJson(c.members), kSource, "").installType, c.expected) << c.members;
}

TEST(UpdateManifest, CatalogSelection)
{
    auto entry = [](const std::string& id, const std::string& slug, const std::string& version) {
        return R"({"applicationId":")" + id + R"(","slug":")" + slug + R"(","versionName":")" + version +
               R"(","versionCode":1,"packageUrl":"p","sha256":")" + kDigest + "\"}";
    };
    const std::string two = R"({"baseUrl":"https://host/dl/","apps":{"com.a":)" + entry("com.a", "alpha", "1.0") +
                            R"(,"com.b":)" + entry("com.b", "beta", "2.0") + R"(,"x":5}})";
    struct Case {
        std::string target;
        std::string version; // empty: expect the error below
        std::string error;
    };
    const std::vector<Case> cases = {
        {"com.b", "2.0", ""},
        {"  com.b  ", "2.0", ""},
        {"com.b.debug", "2.0", ""},
        {"alpha", "1.0", ""},
        {"", "", "Catalog contains 3 apps; targetIdOrSlug required for selection"},
        {"gamma", "", "Application 'gamma' not found in catalog"},
        {"x", "", "Selected application node must be an object"},
    };
    for (const Case& c : cases) {
        if (c.version.empty()) {
            EXPECT_EQ(errorOf(two, c.target), c.error) << c.target;
            continue;
        }
        const UpdateManifest manifest = UpdateManifest::fromJson(two, kSource, c.target);
        EXPECT_EQ(manifest.versionName, c.version) << c.target;
        EXPECT_EQ(manifest.packageUrl, "https://host/dl/p") << c.target;
    }

    // The walk compares the normalised id, for keys that are not ids.
    const std::string keyed = R"({"apps":{"k1":)" + entry("com.c.debug", "", "3.0") + "}}";
    EXPECT_EQ(UpdateManifest::fromJson(keyed, kSource, "com.c").versionName, "3.0");
    EXPECT_EQ(UpdateManifest::fromJson(keyed, kSource, "").versionName, "3.0");
    EXPECT_EQ(errorOf(R"({"apps":{}})"), "Catalog contains 0 apps; targetIdOrSlug required for selection");
    // An empty baseUrl replaces the source: the default catalog is the base.
    const std::string emptyBase = R"({"baseUrl":"","apps":{"k1":)" + entry("com.c", "", "3.0") + "}}";
    EXPECT_EQ(UpdateManifest::fromJson(emptyBase, kSource, "").packageUrl,
              UpdateManifest::resolveRelativeUrl("", "p"));
}

TEST(UpdateManifest, UrlNormalisationAndResolution)
{
    struct Case {
        std::string base;
        std::string reference;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"https://host/dl/", "pkg/app.exe", "https://host/dl/pkg/app.exe"},
        {"https://host/dl/", "/pkg/app.exe", "https://host/pkg/app.exe"},
        {"https://host/dl/version.json", " http://other/x ", "http://other/x"},
        {"https://host", "/a", "https://host/a"},
        {"host-only", "/a", "/a"},
        {"hostonly", "a", "hostonly/a"},
        {"https://host/dl/", "../x?y#z", "https://host/dl/../x?y#z"},
        {"https://host/v.json", "HTTPS://caps", "https://host/HTTPS://caps"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UpdateManifest::resolveRelativeUrl(c.base, c.reference), c.expected) << c.base << " + " << c.reference;

    EXPECT_EQ(UpdateManifest::normalizeManifestUrl(" https://h/dir/ "), "https://h/dir/version.json");
    EXPECT_EQ(UpdateManifest::normalizeManifestUrl("https://h/cat.json"), "https://h/cat.json");
    EXPECT_EQ(UpdateManifest::normalizeApplicationId(".debug"), ".debug");
    EXPECT_EQ(UpdateManifest::normalizeApplicationId(" a.debug "), "a");
    EXPECT_EQ(UpdateManifest::normalizeApplicationId("a.debugx"), "a.debugx");
}

TEST(UpdateManifest, DefaultCatalogUrlAndItsOverride)
{
    ::unsetenv(selfupdate::kUpdateUrlEnvironmentVariable);
    const std::string fallback = UpdateManifest::normalizeManifestUrl("   ");
    EXPECT_EQ(fallback, selfupdate::kDefaultManifestUrl);
    EXPECT_EQ(fallback.rfind("https://", 0), 0u);
    EXPECT_NE(fallback.find(".example/software/windows/version.json"), std::string::npos);

    ::setenv(selfupdate::kUpdateUrlEnvironmentVariable, " https://mirror.test/cat.json ", 1);
    EXPECT_EQ(UpdateManifest::normalizeManifestUrl(""), "https://mirror.test/cat.json");
    EXPECT_EQ(UpdateManifest::resolveRelativeUrl("", "p.exe"), "https://mirror.test/p.exe");
    ::setenv(selfupdate::kUpdateUrlEnvironmentVariable, "  ", 1);
    EXPECT_EQ(UpdateManifest::normalizeManifestUrl(""), selfupdate::kDefaultManifestUrl);
    ::unsetenv(selfupdate::kUpdateUrlEnvironmentVariable);
}

TEST(UpdateManifest, VersionCodes)
{
    const std::vector<std::pair<std::string, std::int64_t>> cases = {
        {"2.2.2", 20202}, {"v1.10.3-beta", 11003}, {"3", 30000},     {"1.2.3.4", 10203},
        {"1.2.345", 10545}, {"", 0},               {" V2.0. ", 20000}, {"x.2.3", 203},
        {"1.2rc.3", 10203}, {"-1.2", 0},
    };
    for (const auto& [text, code] : cases)
        EXPECT_EQ(UpdateManifest::parseVersionCode(text), code) << text;
    // Numbers that do not fit make the version invalid instead of wrapping.
    for (const std::string text : {"18446744073709551618.0.0", "9223372036854775808", "922337203685478.0.0",
                                   "1.92233720368547758.0"}) {
        try {
            UpdateManifest::parseVersionCode(text);
            ADD_FAILURE() << "accepted " << text;
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()), "Version number out of range: " + text);
        }
    }
    EXPECT_EQ(UpdateManifest::parseVersionCode("922337203685477.0.5807"), 9223372036854775807);
}

TEST(UpdateManifest, VersionComparison)
{
    struct Case {
        std::string a;
        std::string b;
        int expected;
    };
    const std::vector<Case> cases = {
        {"2.10.0", "2.9.9", 1},        {"2.2", "2.2.0", 0},         {"2.2.0", "v2.2.0", 0},
        {"2.3.0-beta", "2.3.0", -1},   {"2.3.0", "2.3.0-beta", 1},  {"2.3.0-beta.10", "2.3.0-beta.2", -1},
        {"1.2.3rc1", "1.2.3", 0},      {"", "1.0", -1},             {"1..2", "1.0.2", 0},
        {"2.3.0-a", "2.3.0-a", 0},     {"2.3.0-ab", "2.3.0-a", 1},  {"10", "9.99", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UpdateManifest::compareVersions(c.a, c.b), c.expected) << c.a << " vs " << c.b;
        EXPECT_EQ(UpdateManifest::compareVersions(c.b, c.a), -c.expected) << c.b << " vs " << c.a;
    }
    // 2^64 + 2 once wrapped to 2 and compared as 2.0.0.
    EXPECT_THROW(UpdateManifest::compareVersions("18446744073709551618.0.0", "2.0.0"), std::invalid_argument);
    EXPECT_THROW(UpdateManifest::compareVersions("2.0.0", "2.99999999999999999999"), std::invalid_argument);
    EXPECT_EQ(UpdateManifest::compareVersions("9223372036854775807.1", "9223372036854775807"), 1);
}

TEST(UpdateManifest, NewerThanInstalled)
{
    UpdateManifest release;
    release.versionName = "2.3.0";
    release.versionCode = 20300;
    struct Case {
        std::string installedName;
        std::int64_t installedCode;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"2.2.2", 20202, true},  {"2.3.0", 20299, true},  {"2.3.0", 20300, false},
        {"2.3.0", 0, false},     {"2.4.0", 10000, false}, {"", 20299, true},
        {"", 20300, false},      {"2.2.9", 99999, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(release.isNewerThan(c.installedName, c.installedCode), c.expected)
            << c.installedName << " / " << c.installedCode;
}
