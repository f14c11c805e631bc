#pragma once

#include "config/setting.h"

#include <cstdio>
#include <string>

namespace kestro::config::test {

// A compact, exact picture of a tree for comparisons in tests:
// `name:type=value;` per scalar and `name{...}` per group, where the type is
// the Setting::Type number and floats carry 17 significant digits.
inline std::string treeText(const libconfig::Setting& group)
{
    std::string text;
    for (int i = 0; i < group.getLength(); ++i) {
        const libconfig::Setting& child = group[i];
        text += child.getName();
        switch (child.getType()) {
        case libconfig::Setting::TypeGroup:
            text += "{" + treeText(child) + "}";
            continue;
        case libconfig::Setting::TypeInt:
        case libconfig::Setting::TypeInt64:
            text += ":" + std::to_string(child.getType()) + "=" + std::to_string(static_cast<long long>(child));
            break;
        case libconfig::Setting::TypeFloat: {
            char number[40];
            std::snprintf(number, sizeof number, "%.17g", static_cast<double>(child));
            text += ":3=" + std::string(number);
            break;
        }
        case libconfig::Setting::TypeBoolean:
            text += std::string(":5=") + (static_cast<bool>(child) ? "true" : "false");
            break;
        case libconfig::Setting::TypeString:
            text += ":4=" + static_cast<std::string>(child);
            break;
        default:
            text += ":" + std::to_string(child.getType());
            break;
        }
        text += ";";
    }
    return text;
}

} // namespace kestro::config::test
