#include "config/config.h"
#include "tests/config/test_environment.h"
#include "tests/config/tree_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

using kestro::config::test::treeText;
using libconfig::Config;
using libconfig::ParseException;
using libconfig::Setting;

namespace {

std::string parsed(const std::string& text)
{
    Config config;
    config.readString(text, "test.cfg");
    return treeText(config.getRoot());
}

struct ParseError {
    std::string file;
    int line = 0;
    std::string message;
};

ParseError parseError(const std::string& text)
{
    Config config;
    try {
        config.readString(text, "input.cfg");
    } catch (const ParseException& error) {
        return {error.getFile(), error.getLine(), error.getError()};
    }
    return {"", 0, "<parsed>"};
}

std::string nestedGroups(int depth)
{
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += "g" + std::to_string(i) + " = {\n";
    text += "leaf = 1;\n";
    for (int i = 0; i < depth; ++i)
        text += "};\n";
    return text;
}

std::string deeplyNested(int depth)
{
    std::string text = "a";
    for (int i = 0; i < depth; ++i)
        text += "{b";
    return text;
}

// Switches LC_NUMERIC to a decimal-comma locale, compiling one into the
// scratch folder when the system has none installed.
bool setDecimalCommaLocale()
{
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8"))
        return true;
    const std::string folder = kestro::config::test::freshFolder("locales");
    const std::string command =
        "localedef -i de_DE -f UTF-8 '" + folder + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        return false;
    ::setenv("LOCPATH", folder.c_str(), 1);
    const bool applied = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    ::unsetenv("LOCPATH");
    return applied;
}

} // namespace

TEST(Parser, AcceptedDocuments)
{
    struct Case {
        std::string text;
        std::string tree;
    };
    const Case cases[] = {
        {"", ""},
        {"  \n\t\r\v\f# only\n// comments\n/* and\n blocks */\n", ""},
        {"a = 1; b = 2", "a:2=1;b:2=2;"},
        {"a = 1, b = 2", "a:2=1;b:2=2;"},
        {"a : 1", "a:2=1;"},
        {"g { x = 1; };", "g{x:2=1;}"},
        {"g : { };", "g{}"},
        {"g = {} h={i={}}", "g{}h{i{}}"},
        {"_a*-9 = 1; *x = 2;", "_a*-9:2=1;*x:2=2;"},
        {"a=1#c\nb=2//c\nc/*x*/=/*y*/3/*z*/;", "a:2=1;b:2=2;c:2=3;"},
        {"flag = TRUE; f = False; t = true;", "flag:5=true;f:5=false;t:5=true;"},
        {"n = 010;", "n:2=8;"},
        {"n = 0x1F; m = 0XfF; k = -0x10;", "n:2=31;m:2=255;k:2=-16;"},
        {"n = 5L; m = 7l; k = +3;", "n:2=5;m:2=7;k:2=3;"},
        {"n = 0;", "n:2=0;"},
        {"n = 99999999999999999999;", "n:2=9223372036854775807;"},
        {"n = -99999999999999999999;", "n:2=-9223372036854775808;"},
        {"x = 0.5; y = -1e3; z = .25; w = 5.; v = 1E-2;",
         "x:3=0.5;y:3=-1000;z:3=0.25;w:3=5;v:3=0.01;"},
        {"x = 1e-400;", "x:3=0;"},
        {"s = \"a\" \"b\";", "s:4=ab;"},
        {"s = \"a\" /* x */ \"b\" # y\n \"c\";", "s:4=abc;"},
        {"s = \"a\\x41\";", "s:4=aA;"},
        {"s = \"\\\"\\/\\\\\\q\";", "s:4=\"/\\q;"},
        {"s = \"\\b\\f\\n\\r\\t\";", "s:4=\b\f\n\r\t;"},
        {"s = \"line\\\ncont\";", "s:4=line\ncont;"},
        {"s = \"tab\there\r\xc3\xa9\";", "s:4=tab\there\r\xc3\xa9;"},
        {"s = \"\";", "s:4=;"},
        {"s=\"x\"t=1", "s:4=x;t:2=1;"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.tree, parsed(c.text)) << c.text;
    }
    // A NUL byte inside quotes is kept.
    EXPECT_EQ(std::string("s:4=a\0b;", 8), parsed(std::string("s = \"a\0b\";", 10)));
}

TEST(Parser, EveryIntegerReadIsInt64AndFloatsKeepATruncatedCopy)
{
    Config config;
    config.readString("a = 1; b = 2.9; c = -2.9;", "t");
    EXPECT_EQ(Setting::TypeInt64, config.getRoot()["a"].getType());
    EXPECT_EQ(Setting::TypeFloat, config.getRoot()["b"].getType());
    double value = 0;
    EXPECT_TRUE(config.getRoot().lookupValue("c", value));
    EXPECT_EQ(-2.9, value);
}

TEST(Parser, ErrorsCarryFileLineAndMessage)
{
    struct Case {
        std::string text;
        int line;
        std::string message;
    };
    const Case cases[] = {
        {"n = 08;", 1, "Invalid setting value: 08"},
        {"n = 5LL;", 1, "Invalid setting value: 5LL"},
        {"n = abc;", 1, "Invalid setting value: abc"},
        {"n = 0x;", 1, "Invalid setting value: 0x"},
        {"n = 0xG;", 1, "Invalid setting value: 0xG"},
        {"n = L;", 1, "Invalid setting value: L"},
        {"n = [1, 2];", 1, "Invalid setting value: [1"},
        {"a=1b=2", 1, "Invalid setting value: 1b=2"},
        {"x = 1e999;", 1, "Invalid floating-point value: 1e999"},
        {"x = hello;", 1, "Invalid floating-point value: hello"},
        {"x = 1.5.5;", 1, "Invalid floating-point value: 1.5.5"},
        {"x = nan.0;", 1, "Invalid floating-point value: nan.0"},
        {"x = ;", 1, "Expected setting value"},
        {"x =\n\n}", 3, "Expected setting value"},
        {"x = 5\"q\";", 1, "Invalid setting value: 5\"q\""},
        {"\n\nx", 3, "Expected '=' or ':' after setting name 'x'"},
        {"x 5;", 1, "Expected '=' or ':' after setting name 'x'"},
        {"x\n\n", 3, "Expected '=' or ':' after setting name 'x'"},
        {"x =", 1, "Unexpected end of file while expecting value"},
        {"x = # c\n", 2, "Unexpected end of file while expecting value"},
        {"1x = 1;", 1, "Expected setting name identifier"},
        {"\n} ", 2, "Expected setting name identifier"},
        {"a.b = 1;", 1, "Expected '=' or ':' after setting name 'a'"},
        {"a = 1;\n\n a = 2;", 3, "Duplicate setting name: a"},
        {"g { a = 1;\n a = 2; };", 2, "Duplicate setting name: a"},
        {"g {\n a = 1;\n", 3, "Unexpected end of file inside group"},
        {"a = 1;\n/* open\n\n", 2, "Unterminated block comment"},
        {"a = 1; /*/", 1, "Unterminated block comment"},
        {"s = \"abc\ndef\";", 1, "Unterminated string literal before newline"},
        {"\ns = \"abc", 2, "Unterminated string literal"},
        {"s = \"abc\\", 1, "Unterminated escape sequence in string"},
        {"s = \"a\\x4\";", 1, "Invalid hex digit in string escape"},
        {"s = \"a\\x4", 1, "Invalid hex escape in string"},
        {"s = \"a\\\n\\x", 2, "Invalid hex escape in string"},
        {"s = \"ok\" \"a\nb\";", 1, "Unterminated string literal before newline"},
        {"s = \"\\x\";", 1, "Invalid hex digit in string escape"},
    };
    for (const Case& c : cases) {
        const ParseError error = parseError(c.text);
        EXPECT_EQ(c.message, error.message) << c.text;
        EXPECT_EQ(c.line, error.line) << c.text;
        EXPECT_EQ("input.cfg", error.file) << c.text;
    }
}

TEST(Parser, NestingIsBoundedAt64Groups)
{
    EXPECT_NO_THROW(parsed(nestedGroups(64)));
    const ParseError tooDeep = parseError(nestedGroups(65));
    EXPECT_EQ("Maximum group nesting depth exceeded", tooDeep.message);
    EXPECT_EQ(65, tooDeep.line);
    // Far beyond the bound: refused the same way, without deep recursion.
    EXPECT_EQ("Maximum group nesting depth exceeded", parseError(deeplyNested(100000)).message);
}

TEST(Parser, FailedReadKeepsThePreviousTree)
{
    Config config;
    config.readString("camera { width = 640; };", "good.cfg");
    Setting& width = config.getRoot()["camera.width"];
    EXPECT_THROW(config.readString("camera { width = 800; height = ; };", "bad.cfg"), ParseException);
    EXPECT_EQ("camera{width:2=640;}", treeText(config.getRoot()));
    EXPECT_EQ(640, static_cast<int>(width)) << "references into the kept tree stay valid";

    config.readString("other = true;", "next.cfg");
    EXPECT_EQ("other:5=true;", treeText(config.getRoot()));
}

TEST(Parser, NumbersIgnoreTheProcessLocale)
{
    // A desktop session in a decimal-comma locale must still read "0.5".
    // Qt applications adopt the session's LC_NUMERIC, so this is the normal
    // case on a German or French desktop.
    if (!setDecimalCommaLocale())
        GTEST_SKIP() << "no decimal-comma locale available (needs localedef and its sources)";
    const bool localeBites = std::strtod("0.5", nullptr) == 0.0;
    Config config;
    std::string written;
    bool parsedOk = true;
    try {
        config.readString("x = 0.5; y = 1e-3;", "t");
        config.getRoot().add("z", Setting::TypeFloat) = 2.5;
        written = config.writeToString();
    } catch (const ParseException&) {
        parsedOk = false;
    }
    std::setlocale(LC_NUMERIC, "C");
    ASSERT_TRUE(localeBites) << "the locale must break the C library's conversion for this test to mean anything";
    ASSERT_TRUE(parsedOk);
    EXPECT_EQ("x:3=0.5;y:3=0.001;z:3=2.5;", treeText(config.getRoot()));
    EXPECT_EQ("x = 0.5;\ny = 0.001;\nz = 2.5;\n", written);
}
