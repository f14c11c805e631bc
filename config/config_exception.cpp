#include "config/config_exception.h"

#include <utility>

namespace libconfig {

const char* ConfigException::what() const noexcept { return "ConfigException"; }

const char* FileIOException::what() const noexcept { return "FileIOException"; }

ParseException::ParseException(std::string file, int line, std::string error)
    : m_file(std::move(file)), m_line(line), m_error(std::move(error))
{
}

const char* ParseException::what() const noexcept { return m_error.c_str(); }

SettingException::SettingException(std::string path) : m_path(std::move(path)) {}

const char* SettingException::what() const noexcept { return "SettingException"; }

const char* SettingNameException::what() const noexcept { return "SettingNameException"; }

const char* SettingTypeException::what() const noexcept { return "SettingTypeException"; }

const char* SettingNotFoundException::what() const noexcept { return "SettingNotFoundException"; }

} // namespace libconfig
