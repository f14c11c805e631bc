// Our reader and writer against Debian's libconfig++, run as the separate
// libconfig_peer program (its classes share our namespace, so they never
// share a binary with ours).

#include "config/config.h"
#include "config/teleop_config.h"
#include "tests/config/test_environment.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

using kestro::config::test::freshFolder;
using kestro::config::test::writeFileBytes;
using libconfig::Config;
using libconfig::Setting;

namespace {

struct Entry {
    std::string path;
    std::string kind;  // group, int (both integer types), float, bool, string, other
    std::string value;
};

std::string toHex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 15]);
    }
    return hex;
}

std::string exactDouble(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

void flatten(const Setting& group, const std::string& prefix, std::vector<Entry>& out, bool splitIntKinds = false)
{
    for (int i = 0; i < group.getLength(); ++i) {
        const Setting& child = group[i];
        const std::string path = prefix + child.getName();
        switch (child.getType()) {
        case Setting::TypeGroup:
            out.push_back({path, "group", std::to_string(child.getLength())});
            flatten(child, path + ".", out, splitIntKinds);
            break;
        case Setting::TypeInt:
        case Setting::TypeInt64:
            out.push_back({path, splitIntKinds && child.getType() == Setting::TypeInt64 ? "int64" : "int",
                           std::to_string(static_cast<long long>(child))});
            break;
        case Setting::TypeFloat:
            out.push_back({path, "float", exactDouble(static_cast<double>(child))});
            break;
        case Setting::TypeBoolean:
            out.push_back({path, "bool", static_cast<bool>(child) ? "1" : "0"});
            break;
        case Setting::TypeString:
            out.push_back({path, "string", toHex(static_cast<std::string>(child))});
            break;
        default:
            break;
        }
    }
}

std::vector<Entry> ourTree(const std::string& path)
{
    Config config;
    config.readFile(path.c_str());
    std::vector<Entry> entries;
    flatten(config.getRoot(), "", entries);
    return entries;
}

struct PeerDump {
    int exitCode = -1;
    std::vector<Entry> entries;
    std::string error;  // "<line>\t<message>" on a parse error
};

PeerDump peerDump(const std::string& path)
{
    const std::string command = std::string("'") + KESTRO_LIBCONFIG_PEER + "' dump '" + path + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    EXPECT_NE(nullptr, pipe);
    std::string output;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, got);
    const int status = ::pclose(pipe);
    PeerDump dump;
    dump.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        Entry entry;
        std::getline(fields, entry.path, '\t');
        std::getline(fields, entry.kind, '\t');
        std::getline(fields, entry.value);
        if (entry.path == "error") {
            dump.error = entry.kind + "\t" + entry.value;
            continue;
        }
        if (entry.kind == "int64")
            entry.kind = "int";
        dump.entries.push_back(entry);
    }
    return dump;
}

void peerWrite(const std::string& path, const std::vector<Entry>& tree)
{
    const std::string command = std::string("'") + KESTRO_LIBCONFIG_PEER + "' write '" + path + "'";
    FILE* pipe = ::popen(command.c_str(), "w");
    ASSERT_NE(nullptr, pipe);
    for (const Entry& entry : tree)
        std::fprintf(pipe, "%s\t%s\t%s\n", entry.path.c_str(), entry.kind.c_str(), entry.value.c_str());
    ASSERT_EQ(0, ::pclose(pipe));
}

// Same paths, kinds and values; floats identical between the two readers.
void expectSameTree(const std::vector<Entry>& ours, const std::vector<Entry>& theirs)
{
    ASSERT_EQ(ours.size(), theirs.size());
    for (std::size_t i = 0; i < ours.size(); ++i) {
        EXPECT_EQ(ours[i].path, theirs[i].path);
        EXPECT_EQ(ours[i].kind, theirs[i].kind) << ours[i].path;
        EXPECT_EQ(ours[i].value, theirs[i].value) << ours[i].path;
    }
}

// Floats after a trip through text agree with the original to 7 significant digits.
void expectCloseToOriginal(const std::vector<Entry>& original, const std::vector<Entry>& read)
{
    ASSERT_EQ(original.size(), read.size());
    for (std::size_t i = 0; i < original.size(); ++i) {
        if (original[i].kind != "float") {
            EXPECT_EQ(original[i].value, read[i].value) << original[i].path;
            continue;
        }
        const double expected = std::stod(original[i].value);
        const double actual = std::stod(read[i].value);
        EXPECT_LE(std::fabs(actual - expected), 5e-7 * std::fabs(expected)) << original[i].path;
    }
}

// The tricky tree of the interoperability checks.
void buildTrickyTree(Setting& root)
{
    Setting& strings = root.add("strings", Setting::TypeGroup);
    strings.add("quotes", Setting::TypeString) = "say \"hi\" and 'bye'";
    strings.add("backslashes", Setting::TypeString) = "C:\\temp\\x41\\";
    strings.add("tabs", Setting::TypeString) = "a\tb\t\tc";
    std::string control;
    for (char c = 1; c < 0x20; ++c)
        control.push_back(c);
    control.push_back('\x7f');
    strings.add("control", Setting::TypeString) = control;
    strings.add("high", Setting::TypeString) = "\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xff\x80";
    strings.add("slash", Setting::TypeString) = "a/b//c /* no comment */ # none";
    strings.add("empty", Setting::TypeString) = "";

    Setting& floats = root.add("floats", Setting::TypeGroup);
    const double values[] = {0.1, 2.0, 1e20, 1e-05, 12345678.0, -0.0, 0.35f, 3.4028235e38, -1e-300, 123.456};
    int index = 0;
    for (double value : values)
        floats.add("f" + std::to_string(index++), Setting::TypeFloat) = value;

    Setting& ints = root.add("ints", Setting::TypeGroup);
    ints.add("negative", Setting::TypeInt) = -42;
    ints.add("intMin", Setting::TypeInt) = std::numeric_limits<int>::min();
    ints.add("intMax", Setting::TypeInt) = std::numeric_limits<int>::max();
    ints.add("large", Setting::TypeInt64) = 1LL << 40;
    ints.add("longMin", Setting::TypeInt64) = std::numeric_limits<long long>::min();
    ints.add("longMax", Setting::TypeInt64) = std::numeric_limits<long long>::max();

    Setting* deep = &root.add("nested", Setting::TypeGroup);
    for (int level = 0; level < 10; ++level) {
        deep->add("on", Setting::TypeBoolean) = level % 2 == 0;
        deep = &deep->add("level" + std::to_string(level), Setting::TypeGroup);
    }
    root.add("last", Setting::TypeBoolean) = false;
}

} // namespace

TEST(Interop, TheDefaultSettingsFileReadsTheSameInLibconfig)
{
    // Loading a missing file writes the defaults, whatever ran before.
    const std::string path = freshFolder("interop") + "/teleop.cfg";
    ASSERT_TRUE(TeleopConfig::instance()->load(path));
    const PeerDump theirs = peerDump(path);
    ASSERT_EQ(0, theirs.exitCode) << theirs.error;
    EXPECT_EQ(44u, theirs.entries.size()) << "six groups and thirty-eight settings";
    expectSameTree(ourTree(path), theirs.entries);
}

TEST(Interop, FilesWeWriteReadTheSameInLibconfig)
{
    const std::string path = freshFolder("interop") + "/tricky.cfg";
    Config config;
    buildTrickyTree(config.getRoot());
    config.writeFile(path.c_str());

    const PeerDump theirs = peerDump(path);
    ASSERT_EQ(0, theirs.exitCode) << theirs.error;
    const std::vector<Entry> ours = ourTree(path);
    expectSameTree(ours, theirs.entries);
    std::vector<Entry> original;
    flatten(config.getRoot(), "", original);
    expectCloseToOriginal(original, theirs.entries);
}

TEST(Interop, FilesLibconfigWritesReadTheSameHere)
{
    Config source;
    buildTrickyTree(source.getRoot());
    std::vector<Entry> tree;
    flatten(source.getRoot(), "", tree, true);
    const std::string path = freshFolder("interop") + "/theirs.cfg";
    peerWrite(path, tree);

    const PeerDump theirs = peerDump(path);
    ASSERT_EQ(0, theirs.exitCode) << theirs.error;
    const std::vector<Entry> ours = ourTree(path);
    expectSameTree(ours, theirs.entries);
    for (Entry& entry : tree) {
        if (entry.kind == "int64")
            entry.kind = "int";
    }
    expectCloseToOriginal(tree, ours);
}

TEST(Interop, DifferencesByDesign)
{
    const std::string folder = freshFolder("interop");

    // A leading zero: octal here (as the C conversion reads it), decimal there.
    const std::string octal = folder + "/octal.cfg";
    writeFileBytes(octal, "n = 017;\n");
    EXPECT_EQ("15", ourTree(octal).at(0).value);
    EXPECT_EQ("17", peerDump(octal).entries.at(0).value);

    // Arrays and lists are outside our subset: refused with a parse error.
    for (const char* text : {"a = [1, 2];\n", "l = (1, \"x\");\n"}) {
        const std::string path = folder + "/container.cfg";
        writeFileBytes(path, text);
        const PeerDump theirs = peerDump(path);
        EXPECT_EQ(0, theirs.exitCode) << text;
        ASSERT_EQ(1u, theirs.entries.size()) << text;
        EXPECT_EQ("other", theirs.entries[0].kind) << text;
        Config config;
        EXPECT_THROW(config.readFile(path.c_str()), libconfig::ParseException) << text;
    }

    // A NUL byte: kept here, silently dropped there (it keeps C strings).
    const std::string nul = folder + "/nul.cfg";
    writeFileBytes(nul, "s = \"a\\x00b\";\n");
    EXPECT_EQ("610062", ourTree(nul).at(0).value);
    EXPECT_EQ("6162", peerDump(nul).entries.at(0).value);
}
