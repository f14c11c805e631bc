#pragma once

#include <exception>
#include <string>

namespace libconfig {

// The whole family lives in one header: callers catch the base classes, and
// the classes differ only in their payload and what() text.

class ConfigException : public std::exception {
public:
    const char* what() const noexcept override;
};

class FileIOException : public ConfigException {
public:
    const char* what() const noexcept override;
};

class ParseException : public ConfigException {
public:
    ParseException(std::string file, int line, std::string error);

    const char* getFile() const noexcept { return m_file.c_str(); }
    int getLine() const noexcept { return m_line; }
    const char* getError() const noexcept { return m_error.c_str(); }
    const char* what() const noexcept override;

private:
    std::string m_file;
    int m_line;
    std::string m_error;
};

class SettingException : public ConfigException {
public:
    explicit SettingException(std::string path);

    const char* getPath() const noexcept { return m_path.c_str(); }
    const char* what() const noexcept override;

private:
    std::string m_path;
};

class SettingNameException : public SettingException {
public:
    using SettingException::SettingException;
    const char* what() const noexcept override;
};

class SettingTypeException : public SettingException {
public:
    using SettingException::SettingException;
    const char* what() const noexcept override;
};

class SettingNotFoundException : public SettingException {
public:
    using SettingException::SettingException;
    const char* what() const noexcept override;
};

} // namespace libconfig
