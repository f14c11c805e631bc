#include "tests/ui/settings_saved_file.h"

#include "config/config.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>

namespace kestro_test {

namespace {

#ifdef KESTRO_LIBCONFIG_PEER
std::string fromHex(const std::string& hex)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}
#else
void collect(const libconfig::Setting& group, const std::string& prefix,
             std::map<std::string, SavedSettingsFile::Value>& values)
{
    for (int i = 0; i < group.getLength(); ++i) {
        const libconfig::Setting& child = group[i];
        const std::string path = prefix + child.getName();
        SavedSettingsFile::Value value;
        switch (child.getType()) {
        case libconfig::Setting::TypeGroup:
            values[path] = {"group", std::to_string(child.getLength())};
            collect(child, path + ".", values);
            continue;
        case libconfig::Setting::TypeInt:
        case libconfig::Setting::TypeInt64:
            value = {"int", std::to_string(static_cast<long long>(child))};
            break;
        case libconfig::Setting::TypeFloat: {
            char text[64];
            std::snprintf(text, sizeof text, "%.17g", static_cast<double>(child));
            value = {"float", text};
            break;
        }
        case libconfig::Setting::TypeBoolean:
            value = {"bool", static_cast<bool>(child) ? "1" : "0"};
            break;
        case libconfig::Setting::TypeString:
            value = {"string", static_cast<std::string>(child)};
            break;
        default:
            value = {"other", std::to_string(child.getLength())};
            break;
        }
        values[path] = value;
    }
}
#endif

} // namespace

const char* SavedSettingsFile::readerName() const
{
#ifdef KESTRO_LIBCONFIG_PEER
    return "libconfig++";
#else
    return "kestro_config";
#endif
}

bool SavedSettingsFile::read(const std::string& path)
{
    m_values.clear();
    m_error.clear();
#ifdef KESTRO_LIBCONFIG_PEER
    const std::string command = std::string("'") + KESTRO_LIBCONFIG_PEER + "' dump '" + path + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        m_error = "cannot run the libconfig++ peer";
        return false;
    }
    std::string output;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, got);
    const int status = ::pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        m_error = "libconfig++ could not read " + path + ": " + output;
        return false;
    }
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name;
        Value value;
        std::getline(fields, name, '\t');
        std::getline(fields, value.kind, '\t');
        std::getline(fields, value.text);
        if (value.kind == "int64")
            value.kind = "int";
        if (value.kind == "string")
            value.text = fromHex(value.text);
        m_values[name] = value;
    }
    return true;
#else
    try {
        libconfig::Config config;
        config.readFile(path.c_str());
        collect(config.getRoot(), "", m_values);
        return true;
    } catch (const std::exception& error) {
        m_error = std::string("cannot read ") + path + ": " + error.what();
        return false;
    }
#endif
}

std::string SavedSettingsFile::kind(const std::string& path) const
{
    const auto found = m_values.find(path);
    return found == m_values.end() ? std::string("missing") : found->second.kind;
}

int SavedSettingsFile::intAt(const std::string& path) const
{
    return has(path) ? std::stoi(m_values.at(path).text) : -999999;
}

float SavedSettingsFile::floatAt(const std::string& path) const
{
    return has(path) ? static_cast<float>(std::strtod(m_values.at(path).text.c_str(), nullptr)) : -999999.0f;
}

bool SavedSettingsFile::boolAt(const std::string& path) const
{
    return has(path) && m_values.at(path).text == "1";
}

std::string SavedSettingsFile::stringAt(const std::string& path) const
{
    return has(path) ? m_values.at(path).text : std::string("<missing>");
}

} // namespace kestro_test
