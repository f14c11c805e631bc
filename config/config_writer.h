#pragma once

#include "config/setting.h"

#include <ostream>
#include <string>

namespace libconfig {

// Text forms of the writer, emitting exactly what the parser reads back.
std::string formatIntegerValue(long long value);
std::string formatFloatValue(double value);
std::string escapeString(const std::string& text);
void writeSettingRecursive(std::ostream& stream, const Setting& group, int depth);

} // namespace libconfig
