#pragma once

#include <map>
#include <string>

namespace kestro_test {

// A settings file as read back from disk after the dialog saved it: every
// scalar by its dotted path ("mqtt.robotId") with its libconfig kind. Read
// by Debian's libconfig++ (through the config tests' peer program) when it
// was built, else by our own reader.
class SavedSettingsFile
{
public:
    struct Value
    {
        std::string kind; // int, float, bool, string, group
        std::string text; // strings as their bytes, numbers as printed
    };

    // False with error() when the file could not be read or parsed.
    bool read(const std::string& path);
    const std::string& error() const { return m_error; }
    const char* readerName() const;

    bool has(const std::string& path) const { return m_values.count(path) != 0; }
    std::string kind(const std::string& path) const;
    int intAt(const std::string& path) const;
    float floatAt(const std::string& path) const;
    bool boolAt(const std::string& path) const;
    std::string stringAt(const std::string& path) const;

private:
    std::map<std::string, Value> m_values;
    std::string m_error;
};

} // namespace kestro_test
