// Stand-in for the relaunched application: writes its own arguments, one per
// line, to the file named by the first one, then exits. With
// "--report-descriptors" as the second argument it writes the numbers of its
// open file descriptors instead (to show what a detached start inherits).
// With "--report-executable" it waits for the file named by the first
// argument plus ".go", then writes the path of its own executable as the
// updater sees it and the path the system reports, one per line.
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <chrono>
#include <thread>
#include <unistd.h>
#include <vector>

#include "selfupdate/platform_process.h"

namespace {

std::vector<int> openDescriptors()
{
    std::vector<int> descriptors;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return descriptors;
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != own)
            descriptors.push_back(fd);
    }
    closedir(dir);
    std::sort(descriptors.begin(), descriptors.end());
    return descriptors;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const bool reportDescriptors = argc > 2 && std::strcmp(argv[2], "--report-descriptors") == 0;
    const bool reportExecutable = argc > 2 && std::strcmp(argv[2], "--report-executable") == 0;
    if (reportExecutable) {
        const std::string go = std::string(argv[1]) + ".go";
        for (int wait = 0; wait < 3000 && ::access(go.c_str(), F_OK) != 0; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::vector<int> descriptors = openDescriptors(); // before opening our own file
    // Written under a temporary name and renamed, so a reader never sees a
    // half-written record.
    char temporary[4096];
    std::snprintf(temporary, sizeof temporary, "%s.tmp", argv[1]);
    std::FILE* out = std::fopen(temporary, "w");
    if (out == nullptr)
        return 1;
    if (reportExecutable) {
        std::fprintf(out, "%s\n%s\n", selfupdate::currentExecutablePath().c_str(),
                     selfupdate::reportedExecutablePath().c_str());
    } else if (reportDescriptors) {
        for (int fd : descriptors)
            std::fprintf(out, "%d ", fd);
        std::fprintf(out, "\n");
    } else {
        for (int i = 1; i < argc; ++i)
            std::fprintf(out, "%s\n", argv[i]);
    }
    std::fclose(out);
    return std::rename(temporary, argv[1]) == 0 ? 0 : 1;
}
