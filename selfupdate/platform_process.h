#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The operating-system services the self-updater needs, behind plain
// functions so that the update logic stays portable (POSIX implementation in
// process_posix.cpp).
namespace selfupdate {

// Full path of the running executable; empty when it cannot be read, or
// when the file at that path is no longer the one running (replaced or
// removed since the start: updating it would install over someone else's).
std::string currentExecutablePath();
// The path the system reports for the running executable, without the
// " (deleted)" mark it carries once that file was replaced; for messages.
std::string reportedExecutablePath();

std::int64_t currentProcessId();

// Starts program with args as a process of its own: a new session, standard
// streams on /dev/null, no other descriptor inherited, not a child of ours
// (nothing to reap). True when the program was executed.
bool spawnDetachedProcess(const std::string& program, const std::vector<std::string>& args);

// Runs program with args (standard streams on /dev/null) and waits for it:
// its exit status, or -1 when it could not be run or ended by a signal.
int runProcess(const std::string& program, const std::vector<std::string>& args);

} // namespace selfupdate
