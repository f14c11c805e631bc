#include "config/config_writer.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <cstdio>
#include <locale>
#include <sstream>

namespace libconfig {

namespace {

// Floats round-trip to 7 significant digits, enough for every setting the
// application keeps (they are 32-bit floats) while keeping the file readable.
constexpr int kFloatPrecision = 7;

void writeLine(std::ostream& stream, const std::string& indent, const std::string& name, const std::string& value)
{
    stream << indent << name << " = " << value << ";\n";
}

} // namespace

std::string formatIntegerValue(long long value)
{
    std::string text = std::to_string(value);
    // Other libconfig-format readers take an unsuffixed integer as 32 bits
    // and silently wrap a larger one; the suffix makes them read 64 bits.
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
        text += 'L';
    return text;
}

std::string formatFloatValue(double value)
{
    if (!std::isfinite(value))
        return "0.0";
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(kFloatPrecision);
    out << value;
    std::string text = out.str();
    if (text.find_first_of(".eE") == std::string::npos)
        text += ".0";
    return text;
}

std::string escapeString(const std::string& text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '\t': escaped += "\\t"; break;
        case '\n': escaped += "\\n"; break;
        case '\f': escaped += "\\f"; break;
        case '\r': escaped += "\\r"; break;
        case '"': escaped += "\\\""; break;
        case '\\': escaped += "\\\\"; break;
        default:
            // Backspace goes out as "\x08" too: libconfig-format readers other
            // than ours do not know "\b" and would read a backslash and a 'b'.
            if (static_cast<unsigned char>(c) < 0x20) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
                escaped += hex;
            } else {
                escaped.push_back(c);
            }
            break;
        }
    }
    return escaped;
}

void writeSettingRecursive(std::ostream& stream, const Setting& group, int depth)
{
    const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
    for (int i = 0; i < group.getLength(); ++i) {
        const Setting& child = group[i];
        const std::string& name = child.getName();
        switch (child.getType()) {
        case Setting::TypeInt:
        case Setting::TypeInt64:
            writeLine(stream, indent, name, formatIntegerValue(static_cast<long long>(child)));
            break;
        case Setting::TypeFloat:
            writeLine(stream, indent, name, formatFloatValue(static_cast<double>(child)));
            break;
        case Setting::TypeString:
            writeLine(stream, indent, name, "\"" + escapeString(static_cast<std::string>(child)) + "\"");
            break;
        case Setting::TypeBoolean:
            writeLine(stream, indent, name, static_cast<bool>(child) ? "true" : "false");
            break;
        case Setting::TypeGroup:
            stream << indent << name << " :\n" << indent << "{\n";
            writeSettingRecursive(stream, child, depth + 1);
            stream << indent << "};\n";
            break;
        case Setting::TypeNone:
        case Setting::TypeArray:
        case Setting::TypeList:
            // Outside the grammar the reader accepts, so never written.
            break;
        }
    }
}

} // namespace libconfig
