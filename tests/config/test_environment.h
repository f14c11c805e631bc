#pragma once

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

} // namespace kestro::config::test
