#include "config/config.h"
#include "tests/config/test_environment.h"
#include "tests/config/tree_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using kestro::config::test::freshFolder;
using kestro::config::test::giveToTestUser;
using kestro::config::test::runAsTestUser;
using kestro::config::test::readFileBytes;
using kestro::config::test::treeText;
using kestro::config::test::writeFileBytes;
using libconfig::Config;
using libconfig::FileIOException;
using libconfig::Setting;

namespace {

const char kPreviousFile[] = "# operator's settings\nmqtt :\n{\n  host = \"robot.lan\";\n  password = \"s3cret\";\n};\n";

mode_t modeOf(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(0, ::stat(path.c_str(), &info)) << path;
    return info.st_mode & 07777;
}

// A tree comfortably larger than the file-size limit used below.
void fillTree(Config& config)
{
    Setting& group = config.getRoot().add("camera", Setting::TypeGroup);
    for (int i = 0; i < 40; ++i)
        group.add("key" + std::to_string(i), Setting::TypeString) = "a value that takes some room";
}

std::vector<std::string> folderEntries(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Runs the write in a child with a small file-size limit, which makes write()
// fail part-way just as a full disk does. Returns true if writeFile threw.
bool writeFailsWhenDiskFills(const std::string& path)
{
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64, 64};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        Config config;
        fillTree(config);
        try {
            config.writeFile(path.c_str());
        } catch (const FileIOException&) {
            ::_exit(0);
        }
        ::_exit(1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

} // namespace

TEST(ConfigFile, ReadRefusesWhatIsNotAReadableFile)
{
    const std::string folder = freshFolder("read");
    Config config;
    config.readString("kept = 1;", "t");
    EXPECT_THROW(config.readFile(nullptr), FileIOException);
    EXPECT_THROW(config.readFile(""), FileIOException);
    EXPECT_THROW(config.readFile((folder + "/missing.cfg").c_str()), FileIOException);
    EXPECT_THROW(config.readFile(folder.c_str()), FileIOException) << "a folder";
    EXPECT_EQ("kept:2=1;", treeText(config.getRoot()));
}

TEST(ConfigFile, ReadsBytesUntranslatedAndNamesThePathInErrors)
{
    const std::string folder = freshFolder("read");
    const std::string empty = folder + "/empty.cfg";
    writeFileBytes(empty, "");
    Config config;
    config.readString("old = 1;", "t");
    config.readFile(empty.c_str());
    EXPECT_EQ("", treeText(config.getRoot()));

    const std::string crlf = folder + "/crlf.cfg";
    writeFileBytes(crlf, "a = 1;\r\ns = \"x\r\ny\";\r\n");
    try {
        config.readFile(crlf.c_str());
        FAIL() << "a raw line feed inside quotes must be refused";
    } catch (const libconfig::ParseException& error) {
        EXPECT_EQ(crlf, error.getFile());
        EXPECT_EQ(2, error.getLine());
        EXPECT_STREQ("Unterminated string literal before newline", error.getError());
    }
}

TEST(ConfigFile, NewFilesArePrivateAndExistingModesAreKept)
{
    const std::string folder = freshFolder("modes");
    Config config;
    fillTree(config);

    EXPECT_THROW(config.writeFile(nullptr), FileIOException);
    EXPECT_THROW(config.writeFile(""), FileIOException);
    const mode_t oldMask = ::umask(0);  // the most permissive umask there is
    const std::string created = folder + "/new.cfg";
    config.writeFile(created.c_str());
    ::umask(oldMask);
    EXPECT_EQ(0600u, modeOf(created));
    Config copy;
    copy.readFile(created.c_str());
    EXPECT_EQ(treeText(config.getRoot()), treeText(copy.getRoot()));

    for (const mode_t mode : {mode_t(0600), mode_t(0640), mode_t(0644), mode_t(0660)}) {
        const std::string path = folder + "/existing-" + std::to_string(mode) + ".cfg";
        writeFileBytes(path, kPreviousFile);
        ASSERT_EQ(0, ::chmod(path.c_str(), mode));
        config.writeFile(path.c_str());
        EXPECT_EQ(mode, modeOf(path)) << std::oct << mode;
        EXPECT_EQ(config.writeToString(), readFileBytes(path));
    }
    EXPECT_EQ(5u, folderEntries(folder).size()) << "no temporary files are left behind";

    if (runningAsRoot()) {
        // An administrator saving an operator's file leaves it the operator's.
        const std::string theirs = folder + "/theirs.cfg";
        writeFileBytes(theirs, kPreviousFile);
        ASSERT_EQ(0, ::chown(theirs.c_str(), 65534, 65534));
        ASSERT_EQ(0, ::chmod(theirs.c_str(), 0640));
        config.writeFile(theirs.c_str());
        struct stat info {};
        ASSERT_EQ(0, ::stat(theirs.c_str(), &info));
        EXPECT_EQ(65534u, info.st_uid);
        EXPECT_EQ(65534u, info.st_gid);
        EXPECT_EQ(0640u, info.st_mode & 07777);
    }
}

TEST(ConfigFile, WritingThroughASymbolicLinkKeepsTheLink)
{
    struct Case {
        const char* label;
        const char* linkText;  // "@" stands for the case folder
        const char* target;    // relative to the case folder
        bool targetExists;
    };
    const Case cases[] = {
        {"existing target", "@/real.cfg", "real.cfg", true},
        {"target not created yet", "@/real.cfg", "real.cfg", false},
        {"relative link to a file not created yet", "dotfiles/teleop.cfg", "dotfiles/teleop.cfg", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string folder = freshFolder("link");
        fs::create_directory(folder + "/dotfiles");
        const std::string target = folder + "/" + c.target;
        if (c.targetExists)
            writeFileBytes(target, kPreviousFile);
        std::string linkText = c.linkText;
        if (linkText[0] == '@')
            linkText.replace(0, 1, folder);
        const std::string link = folder + "/teleop.cfg";
        fs::create_symlink(linkText, link);
        Config config;
        fillTree(config);
        config.writeFile(link.c_str());
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(config.writeToString(), readFileBytes(target));
        EXPECT_EQ(c.targetExists ? 0644u : 0600u, modeOf(target));
    }
}

TEST(ConfigFile, AWritableFileInAFolderThatIsNotWritableIsRewrittenInPlace)
{
    Config longer;
    fillTree(longer);
    Config shorter;
    shorter.getRoot().add("a", Setting::TypeInt) = 1;
    struct Case {
        const char* label;
        Config* tree;
        bool diskFills;
    };
    const Case cases[] = {
        {"longer text", &longer, false},
        {"shorter text", &shorter, false},
        {"disk fills up", &longer, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string folder = freshFolder("in-place");
        const std::string file = folder + "/teleop.cfg";
        writeFileBytes(file, kPreviousFile);
        ASSERT_EQ(0, ::chmod(file.c_str(), 0640));
        giveToTestUser(file);
        // Root's folder is not the test user's to write; this user's is
        // closed for the write.
        if (!runningAsRoot()) {
            ASSERT_EQ(0, ::chmod(folder.c_str(), 0500));
        }
        const bool wrote = runAsTestUser([&] {
            if (c.diskFills) {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{64, 64};
                ::setrlimit(RLIMIT_FSIZE, &limit);
            }
            try {
                c.tree->writeFile(file.c_str());
            } catch (const FileIOException&) {
                return false;
            }
            return true;
        });
        ::chmod(folder.c_str(), 0700);
        EXPECT_EQ(!c.diskFills, wrote);
        EXPECT_EQ(c.diskFills ? std::string(kPreviousFile) : c.tree->writeToString(), readFileBytes(file));
        EXPECT_EQ(0640u, modeOf(file));
        EXPECT_EQ(std::vector<std::string>{"teleop.cfg"}, folderEntries(folder));
    }
}

TEST(ConfigFile, FailedWriteLeavesThePreviousFileByteForByte)
{
    struct Case {
        const char* label;
        bool diskFills;
        bool needsNonRoot;
        // Prepares the failure; returns the path to write.
        std::function<std::string(const std::string& folder, const std::string& file)> arrange;
        std::function<void(const std::string& folder, const std::string& file)> restore;
    };
    const auto nothing = [](const std::string&, const std::string&) {};
    const Case cases[] = {
        {"disk fills up", true, false, [](const std::string&, const std::string& file) { return file; }, nothing},
        {"target is a folder", false, false,
         [](const std::string& folder, const std::string&) {
             fs::create_directory(folder + "/teleop.dir");
             return folder + "/teleop.dir";
         },
         nothing},
        {"read-only file", false, true,
         [](const std::string&, const std::string& file) {
             ::chmod(file.c_str(), 0400);
             return file;
         },
         nothing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.needsNonRoot && runningAsRoot()) {
            std::cout << "[ NOTE ] skipping '" << c.label << "': permissions do not bind root\n";
            continue;
        }
        const std::string folder = freshFolder("failed-write");
        const std::string file = folder + "/teleop.cfg";
        writeFileBytes(file, kPreviousFile);
        const std::vector<std::string> before = folderEntries(folder);
        const std::string target = c.arrange(folder, file);

        bool threw = false;
        if (c.diskFills) {
            threw = writeFailsWhenDiskFills(target);
        } else {
            Config config;
            fillTree(config);
            try {
                config.writeFile(target.c_str());
            } catch (const FileIOException&) {
                threw = true;
            }
        }
        c.restore(folder, file);
        EXPECT_TRUE(threw);
        EXPECT_EQ(kPreviousFile, readFileBytes(file));
        std::vector<std::string> after = folderEntries(folder);
        after.erase(std::remove(after.begin(), after.end(), "teleop.dir"), after.end());
        EXPECT_EQ(before, after) << "no temporary file is left behind";
    }
}
