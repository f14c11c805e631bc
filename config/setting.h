#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace libconfig {

// One node of a settings tree. A node owns its children; there is no parent
// pointer, so a subtree is destroyed with its owner.
class Setting {
public:
    // The numbers are fixed: readers of the tree and the writer switch on them.
    enum Type {
        TypeNone = 0,
        TypeInt = 1,
        TypeInt64 = 2,
        TypeFloat = 3,
        TypeString = 4,
        TypeBoolean = 5,
        TypeGroup = 6,
        TypeArray = 7,
        TypeList = 8,
    };

    Setting(std::string name, Type type);
    ~Setting();

    Setting(const Setting&) = delete;
    Setting& operator=(const Setting&) = delete;
    // Moving lets a parsed tree replace an old one in a single step.
    Setting(Setting&&) noexcept;
    Setting& operator=(Setting&&) noexcept;

    Type getType() const { return m_type; }
    const std::string& getName() const { return m_name; }
    int getLength() const { return static_cast<int>(m_children.size()); }

    bool exists(const std::string& path) const;
    bool exists(const char* path) const;

    Setting& operator[](const std::string& path);
    Setting& operator[](const char* path);
    const Setting& operator[](const std::string& path) const;
    const Setting& operator[](const char* path) const;
    Setting& operator[](int index);
    const Setting& operator[](int index) const;

    bool lookupValue(const std::string& path, int& value) const;
    bool lookupValue(const std::string& path, long long& value) const;
    bool lookupValue(const std::string& path, float& value) const;
    bool lookupValue(const std::string& path, double& value) const;
    bool lookupValue(const std::string& path, bool& value) const;
    bool lookupValue(const std::string& path, std::string& value) const;
    bool lookupValue(const char* path, int& value) const;
    bool lookupValue(const char* path, long long& value) const;
    bool lookupValue(const char* path, float& value) const;
    bool lookupValue(const char* path, double& value) const;
    bool lookupValue(const char* path, bool& value) const;
    bool lookupValue(const char* path, std::string& value) const;

    Setting& operator=(int value);
    Setting& operator=(long long value);
    Setting& operator=(float value);
    Setting& operator=(double value);
    Setting& operator=(bool value);
    Setting& operator=(const std::string& value);
    Setting& operator=(const char* value);

    operator int() const;
    operator long long() const;
    operator float() const;
    operator double() const;
    operator bool() const;
    operator std::string() const;
    const char* c_str() const;

    Setting& add(const std::string& name, Type type);
    Setting& add(const char* name, Type type);
    void remove(const char* name);
    void clear();

private:
    friend class Parser;

    // The parser has already refused duplicate names with its own message, so
    // it appends without the linear duplicate scan that add() makes.
    Setting& appendChild(std::string name, Type type);
    const Setting* find(const std::string& path, std::string* missingPart) const;
    bool isInteger() const { return m_type == TypeInt || m_type == TypeInt64; }
    void requireType(bool accepted) const;

    std::string m_name;
    Type m_type;
    std::int64_t m_intValue = 0;
    double m_floatValue = 0.0;
    bool m_boolValue = false;
    std::string m_stringValue;
    std::vector<std::unique_ptr<Setting>> m_children;
};

} // namespace libconfig
