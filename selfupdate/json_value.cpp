#include "selfupdate/json_value.h"

namespace selfupdate {

std::string JsonValue::getString(const std::string& key, const std::string& defaultValue) const
{
    const JsonValue* member = find(key);
    if (member == nullptr || member->type != JsonType::String)
        return defaultValue;
    return member->stringValue;
}

const JsonValue* JsonValue::find(const std::string& key) const
{
    if (type != JsonType::Object)
        return nullptr;
    const auto it = members.find(key);
    return it == members.end() ? nullptr : &it->second;
}

} // namespace selfupdate
