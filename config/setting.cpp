#include "config/setting.h"

#include "config/config_exception.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

namespace libconfig {

namespace {

// Casting a double outside the 64-bit range (or NaN) is undefined behaviour,
// and both the parser and operator=(double) can meet such values; saturate.
std::int64_t truncateToInt64(double value)
{
    if (std::isnan(value))
        return 0;
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (value >= kTwoTo63)
        return std::numeric_limits<std::int64_t>::max();
    if (value < -kTwoTo63)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

// Same reason for narrowing to float: out of range is undefined, not infinity.
float narrowToFloat(double value)
{
    constexpr double kFloatMax = std::numeric_limits<float>::max();
    if (value > kFloatMax)
        return std::numeric_limits<float>::infinity();
    if (value < -kFloatMax)
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

int low32Bits(std::int64_t value)
{
    return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

} // namespace

Setting::Setting(std::string name, Type type) : m_name(std::move(name)), m_type(type) {}

Setting::~Setting() = default;
Setting::Setting(Setting&&) noexcept = default;
Setting& Setting::operator=(Setting&&) noexcept = default;

const Setting* Setting::find(const std::string& path, std::string* missingPart) const
{
    const Setting* node = this;
    std::string::size_type start = 0;
    while (true) {
        const std::string::size_type dot = path.find('.', start);
        const std::string part = path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        const auto it = std::find_if(node->m_children.begin(), node->m_children.end(),
                                     [&part](const std::unique_ptr<Setting>& child) { return child->m_name == part; });
        if (part.empty() || it == node->m_children.end()) {
            if (missingPart)
                *missingPart = part;
            return nullptr;
        }
        node = it->get();
        if (dot == std::string::npos)
            return node;
        start = dot + 1;
    }
}

bool Setting::exists(const std::string& path) const
{
    return find(path, nullptr) != nullptr;
}

bool Setting::exists(const char* path) const
{
    return path != nullptr && exists(std::string(path));
}

const Setting& Setting::operator[](const std::string& path) const
{
    std::string missing;
    const Setting* found = find(path, &missing);
    if (!found)
        throw SettingNotFoundException(missing);
    return *found;
}

const Setting& Setting::operator[](const char* path) const
{
    if (!path)
        throw SettingNotFoundException(std::string());
    return (*this)[std::string(path)];
}

Setting& Setting::operator[](const std::string& path)
{
    return const_cast<Setting&>(static_cast<const Setting&>(*this)[path]);
}

Setting& Setting::operator[](const char* path)
{
    return const_cast<Setting&>(static_cast<const Setting&>(*this)[path]);
}

const Setting& Setting::operator[](int index) const
{
    if (index < 0 || index >= getLength())
        throw SettingNotFoundException(std::to_string(index));
    return *m_children[static_cast<std::size_t>(index)];
}

Setting& Setting::operator[](int index)
{
    return const_cast<Setting&>(static_cast<const Setting&>(*this)[index]);
}

bool Setting::lookupValue(const std::string& path, int& value) const
{
    const Setting* found = find(path, nullptr);
    if (!found || !found->isInteger())
        return false;
    value = low32Bits(found->m_intValue);
    return true;
}

bool Setting::lookupValue(const std::string& path, long long& value) const
{
    const Setting* found = find(path, nullptr);
    if (!found || !found->isInteger())
        return false;
    value = found->m_intValue;
    return true;
}

bool Setting::lookupValue(const std::string& path, double& value) const
{
    const Setting* found = find(path, nullptr);
    if (!found)
        return false;
    if (found->m_type == TypeFloat)
        value = found->m_floatValue;
    else if (found->isInteger())
        value = static_cast<double>(found->m_intValue);
    else
        return false;
    return true;
}

bool Setting::lookupValue(const std::string& path, float& value) const
{
    double wide = 0.0;
    if (!lookupValue(path, wide))
        return false;
    value = narrowToFloat(wide);
    return true;
}

bool Setting::lookupValue(const std::string& path, bool& value) const
{
    const Setting* found = find(path, nullptr);
    if (!found || found->m_type != TypeBoolean)
        return false;
    value = found->m_boolValue;
    return true;
}

bool Setting::lookupValue(const std::string& path, std::string& value) const
{
    const Setting* found = find(path, nullptr);
    if (!found || found->m_type != TypeString)
        return false;
    value = found->m_stringValue;
    return true;
}

bool Setting::lookupValue(const char* path, int& value) const
{
    return path != nullptr && lookupValue(std::string(path), value);
}

bool Setting::lookupValue(const char* path, long long& value) const
{
    return path != nullptr && lookupValue(std::string(path), value);
}

bool Setting::lookupValue(const char* path, float& value) const
{
    return path != nullptr && lookupValue(std::string(path), value);
}

bool Setting::lookupValue(const char* path, double& value) const
{
    return path != nullptr && lookupValue(std::string(path), value);
}

bool Setting::lookupValue(const char* path, bool& value) const
{
    return path != nullptr && lookupValue(std::string(path), value);
}

bool Setting::lookupValue(const char* path, std::string& value) const
{
    return path != nullptr && lookupValue(std::string(path), value);
}

Setting& Setting::operator=(int value)
{
    m_type = TypeInt;
    m_intValue = value;
    m_floatValue = value;
    return *this;
}

Setting& Setting::operator=(long long value)
{
    m_type = TypeInt64;
    m_intValue = value;
    m_floatValue = static_cast<double>(value);
    return *this;
}

Setting& Setting::operator=(float value)
{
    return *this = static_cast<double>(value);
}

Setting& Setting::operator=(double value)
{
    m_type = TypeFloat;
    m_floatValue = value;
    m_intValue = truncateToInt64(value);
    return *this;
}

Setting& Setting::operator=(bool value)
{
    m_type = TypeBoolean;
    m_boolValue = value;
    return *this;
}

Setting& Setting::operator=(const std::string& value)
{
    m_type = TypeString;
    m_stringValue = value;
    return *this;
}

Setting& Setting::operator=(const char* value)
{
    return *this = std::string(value ? value : "");
}

void Setting::requireType(bool accepted) const
{
    if (!accepted)
        throw SettingTypeException(m_name);
}

Setting::operator int() const
{
    requireType(isInteger());
    return low32Bits(m_intValue);
}

Setting::operator long long() const
{
    requireType(isInteger());
    return m_intValue;
}

Setting::operator double() const
{
    requireType(isInteger() || m_type == TypeFloat);
    return m_type == TypeFloat ? m_floatValue : static_cast<double>(m_intValue);
}

Setting::operator float() const
{
    return narrowToFloat(static_cast<double>(*this));
}

Setting::operator bool() const
{
    requireType(m_type == TypeBoolean);
    return m_boolValue;
}

Setting::operator std::string() const
{
    requireType(m_type == TypeString);
    return m_stringValue;
}

const char* Setting::c_str() const
{
    requireType(m_type == TypeString);
    return m_stringValue.c_str();
}

Setting& Setting::add(const std::string& name, Type type)
{
    requireType(m_type == TypeGroup || m_type == TypeArray || m_type == TypeList);
    if (name.empty() || exists(name))
        throw SettingNameException(name);
    m_children.push_back(std::make_unique<Setting>(name, type));
    return *m_children.back();
}

Setting& Setting::add(const char* name, Type type)
{
    return add(std::string(name ? name : ""), type);
}

Setting& Setting::appendChild(std::string name, Type type)
{
    m_children.push_back(std::make_unique<Setting>(std::move(name), type));
    return *m_children.back();
}

void Setting::remove(const char* name)
{
    if (!name)
        return;
    const auto named = [name](const std::unique_ptr<Setting>& child) { return child->m_name == name; };
    const auto firstRemoved = std::remove_if(m_children.begin(), m_children.end(), named);
    if (firstRemoved == m_children.end())
        throw SettingNotFoundException(name);
    m_children.erase(firstRemoved, m_children.end());
}

void Setting::clear()
{
    m_children.clear();
}

} // namespace libconfig
