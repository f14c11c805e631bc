#pragma once

#include <string>

namespace kestro::config {

// The per-user folder for application settings ("$XDG_CONFIG_HOME" when set
// and not empty, else "$HOME/.config"); empty when the environment names none.
std::string userSettingsFolder();

// Creates `folder` and any missing parents, private to the owner. Returns
// whether the folder exists afterwards.
bool createFolders(const std::string& folder);

// The platform's separator between a folder and a file name.
constexpr char kPathSeparator = '/';

} // namespace kestro::config
