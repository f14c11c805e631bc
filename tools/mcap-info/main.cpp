// kestro-mcap-info FILE: what a recording holds, for scripts and people.
#include "record/recording_info.h"

#include <iostream>

int main(int argc, char* argv[])
{
    if (argc != 2 || argv[1][0] == '-') {
        std::cerr << "Usage: kestro-mcap-info FILE\n"
                     "Prints a recording's channels, message counts, duration and events.\n"
                     "Exit status: 0 intact, 1 damaged or cut off, 2 unreadable.\n";
        return 2;
    }
    return printRecordingInfo(argv[1], std::cout, std::cerr);
}
