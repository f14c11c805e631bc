#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace selfupdate {

enum class JsonType : std::int32_t { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

// One node of a parsed release catalog. A plain value: copying it copies the
// whole subtree, which keeps the manifest code free of ownership questions.
struct JsonValue {
    JsonType type = JsonType::Null;
    bool boolValue = false;
    std::int64_t intValue = 0;
    double numberValue = 0.0;
    std::string stringValue;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    bool isObject() const { return type == JsonType::Object; }

    // The member `key` when this is an object holding a string under it;
    // anything else (wrong kind, missing key, not an object) gives the default.
    std::string getString(const std::string& key, const std::string& defaultValue = std::string()) const;

    // The member `key` of an object, or null when absent or not an object.
    const JsonValue* find(const std::string& key) const;
};

} // namespace selfupdate
