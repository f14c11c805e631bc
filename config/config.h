#pragma once

#include "config/config_exception.h"
#include "config/setting.h"

#include <string>

namespace libconfig {

// A document: one root group read from and written to libconfig-format text.
// Only groups and scalars are supported; see config_parser.h for the grammar.
class Config {
public:
    Config();
    ~Config();

    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;

    Setting& getRoot() { return m_root; }
    const Setting& getRoot() const { return m_root; }
    bool exists(const char* path) const;

    // Both replace the whole tree only once the text parsed completely; on any
    // exception the previous tree stays as it was.
    void readFile(const char* path);
    void readString(const std::string& text, const std::string& fileName);

    // The file is replaced atomically: the old content survives any failure.
    void writeFile(const char* path);
    std::string writeToString() const;

private:
    Setting m_root;
};

} // namespace libconfig
