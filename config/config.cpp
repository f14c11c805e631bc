#include "config/config.h"

#include "config/atomic_file.h"
#include "config/config_parser.h"
#include "config/config_writer.h"

#include <locale>
#include <sstream>

namespace libconfig {

Config::Config() : m_root(std::string(), Setting::TypeGroup) {}

Config::~Config() = default;

bool Config::exists(const char* path) const
{
    return m_root.exists(path);
}

void Config::readFile(const char* path)
{
    if (!path || !*path)
        throw FileIOException();
    std::string content;
    if (!kestro::config::readWholeFile(path, content))
        throw FileIOException();
    readString(content, path);
}

void Config::readString(const std::string& text, const std::string& fileName)
{
    Setting root(std::string(), Setting::TypeGroup);
    Parser parser(text, fileName);
    parser.parseDocument(root);
    m_root = std::move(root);
}

void Config::writeFile(const char* path)
{
    if (!path || !*path)
        throw FileIOException();
    // The text is complete before the file is touched, and the file is
    // replaced in one step, so a failure never leaves a half-written file.
    if (!kestro::config::replaceFileAtomically(path, writeToString()))
        throw FileIOException();
}

std::string Config::writeToString() const
{
    std::ostringstream stream;
    stream.imbue(std::locale::classic());
    writeSettingRecursive(stream, m_root, 0);
    return stream.str();
}

} // namespace libconfig
