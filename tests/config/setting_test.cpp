#include "config/config.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

using libconfig::Config;
using libconfig::Setting;
using libconfig::SettingNameException;
using libconfig::SettingNotFoundException;
using libconfig::SettingTypeException;

namespace {

// Runs `action` and returns the path text of the SettingException it throws.
template <typename Exception, typename Action>
std::string thrownPath(Action action)
{
    try {
        action();
    } catch (const Exception& error) {
        return error.getPath();
    }
    ADD_FAILURE() << "expected an exception";
    return "<none>";
}

} // namespace

TEST(Setting, PathsSelectFirstChildByExactName)
{
    Config config;
    Setting& root = config.getRoot();
    Setting& camera = root.add("camera", Setting::TypeGroup);
    camera.add("width", Setting::TypeInt) = 640;
    Setting& nested = camera.add("inner", Setting::TypeGroup);
    nested.add("x", Setting::TypeBoolean) = true;

    struct Case {
        const char* path;
        bool exists;
    };
    const Case cases[] = {
        {"camera", true},       {"camera.width", true}, {"camera.inner.x", true}, {"Camera", false},
        {"camera.Width", false}, {"camera.", false},     {".camera", false},      {"", false},
        {"camera..width", false}, {"camera.width.x", false}, {"missing.width", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.exists, root.exists(c.path)) << c.path;
        EXPECT_EQ(c.exists, root.exists(std::string(c.path))) << c.path;
        EXPECT_EQ(c.exists, config.exists(c.path)) << c.path;
    }
    EXPECT_FALSE(root.exists(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(config.exists(nullptr));

    EXPECT_EQ(640, static_cast<int>(root["camera.width"]));
    EXPECT_EQ(&nested, &root["camera"]["inner"]);
    const Setting& constRoot = root;
    EXPECT_TRUE(static_cast<bool>(constRoot[std::string("camera.inner.x")]));
}

TEST(Setting, NotFoundNamesTheMissingPart)
{
    Config config;
    Setting& root = config.getRoot();
    root.add("a", Setting::TypeGroup).add("b", Setting::TypeInt);

    EXPECT_EQ("x", thrownPath<SettingNotFoundException>([&] { (void)root["a.x"]; }));
    EXPECT_EQ("q", thrownPath<SettingNotFoundException>([&] { (void)root["q.b"]; }));
    EXPECT_EQ("", thrownPath<SettingNotFoundException>([&] { (void)root[static_cast<const char*>(nullptr)]; }));
    EXPECT_EQ("1", thrownPath<SettingNotFoundException>([&] { (void)root[1]; }));
    EXPECT_EQ("-1", thrownPath<SettingNotFoundException>([&] { (void)root[-1]; }));
    EXPECT_EQ("0", thrownPath<SettingNotFoundException>([&] { (void)root["a.b"][0]; }));
    EXPECT_EQ("b", root["a"][0].getName());
}

TEST(Setting, LookupValueAcceptsOnlyTheListedTypes)
{
    Config config;
    Setting& root = config.getRoot();
    root.add("i", Setting::TypeInt) = 7;
    root.add("big", Setting::TypeInt64) = 0x100000005LL;
    root.add("f", Setting::TypeFloat) = 2.75;
    root.add("b", Setting::TypeBoolean) = true;
    root.add("s", Setting::TypeString) = "text";
    root.add("g", Setting::TypeGroup);

    const int kUntouchedInt = -99;
    struct Case {
        const char* path;
        bool asInt, asInt64, asFloat, asDouble, asBool, asString;
    };
    const Case cases[] = {
        {"i", true, true, true, true, false, false},       {"big", true, true, true, true, false, false},
        {"f", false, false, true, true, false, false},     {"b", false, false, false, false, true, false},
        {"s", false, false, false, false, false, true},    {"g", false, false, false, false, false, false},
        {"missing", false, false, false, false, false, false},
    };
    for (const Case& c : cases) {
        int i = kUntouchedInt;
        long long ll = kUntouchedInt;
        float f = -1.0f;
        double d = -1.0;
        bool b = false;
        std::string s = "untouched";
        EXPECT_EQ(c.asInt, root.lookupValue(c.path, i)) << c.path;
        EXPECT_EQ(c.asInt64, root.lookupValue(std::string(c.path), ll)) << c.path;
        EXPECT_EQ(c.asFloat, root.lookupValue(c.path, f)) << c.path;
        EXPECT_EQ(c.asDouble, root.lookupValue(c.path, d)) << c.path;
        EXPECT_EQ(c.asBool, root.lookupValue(c.path, b)) << c.path;
        EXPECT_EQ(c.asString, root.lookupValue(c.path, s)) << c.path;
        if (!c.asInt) {
            EXPECT_EQ(kUntouchedInt, i) << c.path;
        }
        if (!c.asString) {
            EXPECT_EQ("untouched", s) << c.path;
        }
        if (!c.asDouble) {
            EXPECT_EQ(-1.0, d) << c.path;
        }
    }

    int low = 0;
    ASSERT_TRUE(root.lookupValue("big", low));
    EXPECT_EQ(5, low) << "int receives the low 32 bits";
    double fromInt = 0;
    ASSERT_TRUE(root.lookupValue("big", fromInt));
    EXPECT_EQ(4294967301.0, fromInt);
    float narrow = 0;
    ASSERT_TRUE(root.lookupValue("f", narrow));
    EXPECT_EQ(2.75f, narrow);
    int untouched = 3;
    EXPECT_FALSE(root.lookupValue(static_cast<const char*>(nullptr), untouched));
    EXPECT_EQ(3, untouched);
}

TEST(Setting, AssignmentSetsTypeAndSlots)
{
    Setting s("x", Setting::TypeNone);

    s = 42;
    EXPECT_EQ(Setting::TypeInt, s.getType());
    EXPECT_EQ(42.0, static_cast<double>(s));

    s = 1LL << 40;
    EXPECT_EQ(Setting::TypeInt64, s.getType());
    EXPECT_EQ(1LL << 40, static_cast<long long>(s));
    EXPECT_EQ(0, static_cast<int>(s));

    s = -2.9;
    EXPECT_EQ(Setting::TypeFloat, s.getType());
    EXPECT_EQ(-2.9, static_cast<double>(s));
    EXPECT_THROW((void)static_cast<long long>(s), SettingTypeException) << "a float is not an integer";

    s = 0.25f;
    EXPECT_EQ(Setting::TypeFloat, s.getType());
    EXPECT_EQ(0.25f, static_cast<float>(s));

    s = false;
    EXPECT_EQ(Setting::TypeBoolean, s.getType());
    EXPECT_FALSE(static_cast<bool>(s));

    s = std::string("a\0b", 3);
    EXPECT_EQ(Setting::TypeString, s.getType());
    EXPECT_EQ(std::string("a\0b", 3), static_cast<std::string>(s));

    s = static_cast<const char*>(nullptr);
    EXPECT_EQ(Setting::TypeString, s.getType());
    EXPECT_STREQ("", s.c_str());

    // Huge or NaN floats must not make the integer slot undefined.
    s = 1e300;
    EXPECT_EQ(1e300, static_cast<double>(s));
    EXPECT_TRUE(static_cast<float>(s) > 1e38f) << "narrowing a huge double gives infinity";
}

TEST(Setting, ConversionsThrowWithOwnNameOnWrongType)
{
    Setting s("port", Setting::TypeString);
    s = "1883";
    EXPECT_EQ("port", thrownPath<SettingTypeException>([&] { (void)static_cast<int>(s); }));
    EXPECT_EQ("port", thrownPath<SettingTypeException>([&] { (void)static_cast<double>(s); }));
    EXPECT_EQ("port", thrownPath<SettingTypeException>([&] { (void)static_cast<float>(s); }));
    EXPECT_EQ("port", thrownPath<SettingTypeException>([&] { (void)static_cast<bool>(s); }));
    s = 5;
    EXPECT_EQ("port", thrownPath<SettingTypeException>([&] { (void)static_cast<std::string>(s); }));
    EXPECT_EQ("port", thrownPath<SettingTypeException>([&] { (void)s.c_str(); }));
    EXPECT_EQ(5.0f, static_cast<float>(s));
}

TEST(Setting, AddChecksContainerAndName)
{
    Config config;
    Setting& root = config.getRoot();
    Setting& group = root.add("g", Setting::TypeGroup);
    group.add("x", Setting::TypeInt) = 1;

    EXPECT_EQ("x", thrownPath<SettingNameException>([&] { group.add("x", Setting::TypeInt); }));
    EXPECT_EQ("", thrownPath<SettingNameException>([&] { group.add("", Setting::TypeInt); }));
    EXPECT_EQ("", thrownPath<SettingNameException>([&] { group.add(static_cast<const char*>(nullptr), Setting::TypeInt); }));
    EXPECT_EQ("x", thrownPath<SettingTypeException>([&] { group["x"].add("y", Setting::TypeInt); }));
    EXPECT_EQ(1, group.getLength()) << "failed calls leave the tree unchanged";

    // Arrays and lists are containers too, even though they are never written.
    Setting& array = group.add("arr", Setting::TypeArray);
    EXPECT_NO_THROW(array.add("item", Setting::TypeInt));
    EXPECT_EQ(1, array.getLength());
    // The characters of a name are the caller's business.
    EXPECT_NO_THROW(group.add("with space", Setting::TypeInt));
}

TEST(Setting, RemoveKeepsTheOrderOfTheOthers)
{
    Config config;
    Setting& root = config.getRoot();
    Setting& group = root.add("g", Setting::TypeGroup);
    group.add("a", Setting::TypeInt) = 1;
    group.add("b", Setting::TypeInt) = 2;
    group.add("c", Setting::TypeInt) = 3;

    group.remove("b");
    ASSERT_EQ(2, group.getLength());
    EXPECT_EQ("a", group[0].getName());
    EXPECT_EQ("c", group[1].getName());
    EXPECT_EQ("b", thrownPath<SettingNotFoundException>([&] { group.remove("b"); }));
    EXPECT_EQ("g.a", thrownPath<SettingNotFoundException>([&] { root.remove("g.a"); })) << "no path splitting";
    EXPECT_NO_THROW(group.remove(nullptr));

    group = 5;
    group.clear();
    EXPECT_EQ(0, group.getLength());
    EXPECT_EQ(Setting::TypeInt, group.getType()) << "clear keeps type and value";
    EXPECT_EQ(5, static_cast<int>(group));
}
