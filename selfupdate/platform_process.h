#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The operating-system services the self-updater needs, behind plain
// functions so that the update logic stays portable (POSIX implementation in
// process_posix.cpp).
namespace selfupdate {

// Full path of the running executable; empty when it cannot be read.
std::string currentExecutablePath();

std::int64_t currentProcessId();

// $TMPDIR when set and not empty, else "/tmp".
std::string temporaryDirectory();

// Starts program with args as a process of its own: a new session, standard
// streams on /dev/null, no other descriptor inherited, not a child of ours
// (nothing to reap). True when the program was executed.
bool spawnDetachedProcess(const std::string& program, const std::vector<std::string>& args);

} // namespace selfupdate
