// libFuzzer target for the settings-file reader. Beyond "no crash, no hang",
// it checks the writer/reader contract on every accepted input: the written
// text parses again, and writing that gives the same text.
#include "config/config.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    libconfig::Config config;
    try {
        config.readString(text, "fuzz.cfg");
    } catch (const libconfig::ParseException& error) {
        if (error.getLine() < 1 || *error.getError() == '\0')
            std::abort();
        return 0;
    }

    const std::string written = config.writeToString();
    libconfig::Config again;
    try {
        again.readString(written, "rewritten.cfg");
    } catch (const libconfig::ParseException& error) {
        std::fprintf(stderr, "written text does not parse: line %d: %s\n", error.getLine(), error.getError());
        std::abort();
    }
    if (again.writeToString() != written) {
        std::fprintf(stderr, "writing is not stable\n");
        std::abort();
    }
    return 0;
}
