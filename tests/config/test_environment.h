#pragma once

#include <functional>
#include <string>

namespace kestro::config::test {

// A private folder for this test process, removed at exit. HOME,
// XDG_CONFIG_HOME and KESTRO_CONFIG_PATH point inside it from before static
// initialisation, so the settings store never touches the real home folder.
std::string scratchFolder();

// A new, empty folder inside scratchFolder().
std::string freshFolder(const std::string& label);

// The settings path that the store saw while the test program started.
std::string startupConfigPath();

std::string readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::string& bytes);

// Permissions do not bind root, and the suite often runs as root. These run
// a check as an ordinary user: as "nobody" in a child process when this
// process is root, else as this user in a child process. giveToTestUser()
// hands a prepared file or folder to that user (nothing to do when not root).
// Returns what `body` returned in the child.
bool runAsTestUser(const std::function<bool()>& body);
void giveToTestUser(const std::string& path);

} // namespace kestro::config::test
