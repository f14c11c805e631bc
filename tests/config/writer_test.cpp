#include "config/config.h"
#include "tests/config/tree_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

using kestro::config::test::treeText;
using libconfig::Config;
using libconfig::Setting;

namespace {

std::string writtenFloat(double value)
{
    Config config;
    config.getRoot().add("x", Setting::TypeFloat) = value;
    const std::string text = config.writeToString();
    return text.substr(4, text.size() - 6);  // between "x = " and ";\n"
}

std::string writtenString(const std::string& value)
{
    Config config;
    config.getRoot().add("s", Setting::TypeString) = value;
    const std::string text = config.writeToString();
    return text.substr(5, text.size() - 8);  // between "s = \"" and "\";\n"
}

} // namespace

TEST(Writer, ExactLayout)
{
    Config config;
    EXPECT_EQ("", config.writeToString());

    Setting& root = config.getRoot();
    Setting& camera = root.add("camera", Setting::TypeGroup);
    camera.add("width", Setting::TypeInt) = 640;
    camera.add("gain", Setting::TypeFloat) = 0.5;
    Setting& inner = camera.add("inner", Setting::TypeGroup);
    inner.add("on", Setting::TypeBoolean) = true;
    inner.add("big", Setting::TypeInt64) = -9000000000LL;
    camera.add("empty", Setting::TypeGroup);
    root.add("name", Setting::TypeString) = "kestro";
    root.add("off", Setting::TypeBoolean) = false;

    EXPECT_EQ("camera :\n"
              "{\n"
              "  width = 640;\n"
              "  gain = 0.5;\n"
              "  inner :\n"
              "  {\n"
              "    on = true;\n"
              "    big = -9000000000L;\n"
              "  };\n"
              "  empty :\n"
              "  {\n"
              "  };\n"
              "};\n"
              "name = \"kestro\";\n"
              "off = false;\n",
              config.writeToString());
}

TEST(Writer, IntegersBeyond32BitsCarryTheLongSuffix)
{
    struct Case {
        long long value;
        const char* text;
    };
    const Case cases[] = {
        {0, "0"},
        {-42, "-42"},
        {2147483647LL, "2147483647"},
        {-2147483648LL, "-2147483648"},
        {2147483648LL, "2147483648L"},
        {-2147483649LL, "-2147483649L"},
        {9223372036854775807LL, "9223372036854775807L"},
    };
    for (const Case& c : cases) {
        Config config;
        config.getRoot().add("n", Setting::TypeInt64) = c.value;
        EXPECT_EQ(std::string("n = ") + c.text + ";\n", config.writeToString());
    }
}

TEST(Writer, LeavesOutNoneArraysAndLists)
{
    Config config;
    Setting& group = config.getRoot().add("g", Setting::TypeGroup);
    group.add("none", Setting::TypeNone);
    group.add("arr", Setting::TypeArray).add("item", Setting::TypeInt) = 1;
    group.add("list", Setting::TypeList).add("inner", Setting::TypeGroup).add("x", Setting::TypeInt) = 2;
    group.add("kept", Setting::TypeInt) = 3;
    EXPECT_EQ("g :\n{\n  kept = 3;\n};\n", config.writeToString());
}

TEST(Writer, FloatsHaveSevenSignificantDigitsAndAlwaysLookLikeFloats)
{
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {30.0, "30.0"},
        {0.15, "0.15"},
        {0.1, "0.1"},
        {2.0, "2.0"},
        {1e20, "1e+20"},
        {0.00001, "1e-05"},
        {12345678.0, "1.234568e+07"},
        {1234567.0, "1234567.0"},
        {-0.0, "-0.0"},
        {0.35f, "0.35"},
        {0.4f, "0.4"},
        {-180.0, "-180.0"},
        {std::nan(""), "0.0"},
        {std::numeric_limits<double>::infinity(), "0.0"},
        {-std::numeric_limits<double>::infinity(), "0.0"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.text, writtenFloat(c.value)) << c.value;
}

TEST(Writer, StringEscapes)
{
    struct Case {
        std::string value;
        std::string text;
    };
    const Case cases[] = {
        {"plain / text", "plain / text"},
        {"q\"b\\t\t", "q\\\"b\\\\t\\t"},
        // Backspace as a hex escape: other readers of the format lack "\b".
        {"\b\f\n\r", "\\x08\\f\\n\\r"},
        {std::string("\x00\x01\x07\x0b\x0e\x1f", 6), "\\x00\\x01\\x07\\x0b\\x0e\\x1f"},
        {"\x7f\x80\xc3\xa9\xff", "\x7f\x80\xc3\xa9\xff"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.text, writtenString(c.value)) << c.value;
}

TEST(Writer, OutputReadsBackToTheSameTree)
{
    Config original;
    Setting& root = original.getRoot();
    Setting& group = root.add("g", Setting::TypeGroup);
    group.add("s", Setting::TypeString) = std::string("\"\\\t\x01\x00\xfe end", 10);
    group.add("i", Setting::TypeInt64) = std::numeric_limits<long long>::min();
    group.add("j", Setting::TypeInt64) = std::numeric_limits<long long>::max();
    group.add("f", Setting::TypeFloat) = 0.1;
    group.add("g", Setting::TypeFloat) = -2.5e-300;
    group.add("t", Setting::TypeBoolean) = true;
    group.add("deeper", Setting::TypeGroup).add("k", Setting::TypeInt64) = -1LL;

    const std::string text = original.writeToString();
    Config copy;
    copy.readString(text, "copy");
    // The integers come back as TypeInt64 (2); everything else is identical.
    EXPECT_EQ(treeText(original.getRoot()), treeText(copy.getRoot()));
    EXPECT_EQ(text, copy.writeToString());
}
