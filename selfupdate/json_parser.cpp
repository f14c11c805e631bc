#include "selfupdate/json_parser.h"

#include <cctype>
#include <charconv>
#include <stdexcept>
#include <system_error>

namespace selfupdate {

const char* const kJsonTooDeepMessage = "JSON nesting deeper than 256 levels at position ";
static_assert(kMaxJsonNestingDepth == 256, "kJsonTooDeepMessage names the limit");
const char* const kJsonTooManyValuesMessage = "JSON document holds more than 100000 values at position ";
static_assert(kMaxJsonValues == 100000, "kJsonTooManyValuesMessage names the limit");

namespace {

bool isJsonWhitespace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool startsWithAt(const std::string& text, std::size_t pos, const char* word)
{
    return text.compare(pos, std::char_traits<char>::length(word), word) == 0;
}

// Keeps the depth counter honest on every exit path, exceptions included.
class DepthGuard {
public:
    explicit DepthGuard(int& depth) : m_depth(depth) { ++m_depth; }
    ~DepthGuard() { --m_depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

private:
    int& m_depth;
};

} // namespace

std::string trim(const std::string& text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

void JsonParser::fail(const std::string& message) const
{
    throw std::invalid_argument(message);
}

void JsonParser::failAt(const std::string& message, std::size_t position) const
{
    throw std::invalid_argument(message + std::to_string(position));
}

void JsonParser::skipWhitespace()
{
    while (m_pos < m_text.size() && isJsonWhitespace(m_text[m_pos]))
        ++m_pos;
}

JsonValue JsonParser::parseValue()
{
    skipWhitespace();
    if (atEnd())
        failAt("Unexpected token parsing JSON at position ", m_text.size());

    if (++m_values > kMaxJsonValues)
        failAt(kJsonTooManyValuesMessage, m_pos);
    const char c = m_text[m_pos];
    if (c == '"')
        return parseString();
    if (c == '-' || isDigit(c))
        return parseNumber();
    if (c == '[' || c == '{') {
        if (m_depth >= kMaxJsonNestingDepth)
            failAt(kJsonTooDeepMessage, m_pos);
        DepthGuard guard(m_depth);
        return c == '[' ? parseArray() : parseObject();
    }
    if (c == 't' || c == 'f') {
        JsonValue value;
        value.type = JsonType::Bool;
        if (startsWithAt(m_text, m_pos, "true")) {
            value.boolValue = true;
            m_pos += 4;
        } else if (startsWithAt(m_text, m_pos, "false")) {
            m_pos += 5;
        } else {
            fail("Invalid boolean value in JSON");
        }
        return value;
    }
    if (c == 'n') {
        if (!startsWithAt(m_text, m_pos, "null"))
            fail("Invalid null literal in JSON");
        m_pos += 4;
        return JsonValue();
    }
    failAt("Unexpected token parsing JSON at position ", m_pos);
}

JsonValue JsonParser::parseNumber()
{
    const std::size_t start = m_pos;
    bool isFloating = false;
    auto readDigits = [this](const char* message) {
        if (atEnd() || !isDigit(m_text[m_pos]))
            failAt(message, m_pos);
        while (!atEnd() && isDigit(m_text[m_pos]))
            ++m_pos;
    };

    if (m_text[m_pos] == '-')
        ++m_pos;
    readDigits("Expected digit in number at position ");
    if (!atEnd() && m_text[m_pos] == '.') {
        isFloating = true;
        ++m_pos;
        readDigits("Expected digit after decimal point at position ");
    }
    if (!atEnd() && (m_text[m_pos] == 'e' || m_text[m_pos] == 'E')) {
        isFloating = true;
        ++m_pos;
        if (!atEnd() && (m_text[m_pos] == '+' || m_text[m_pos] == '-'))
            ++m_pos;
        readDigits("Expected digit in exponent at position ");
    }

    // from_chars rather than stoll/stod: the C conversions follow the process
    // locale, which Qt sets from the environment, and would misread "1.5"
    // under a locale whose decimal separator is a comma.
    const char* first = m_text.data() + start;
    const char* last = m_text.data() + m_pos;
    JsonValue value;
    value.type = JsonType::Number;
    if (!isFloating) {
        std::int64_t integer = 0;
        const auto result = std::from_chars(first, last, integer);
        if (result.ec != std::errc() || result.ptr != last)
            throw std::out_of_range("stoll");
        value.intValue = integer;
        value.numberValue = static_cast<double>(integer);
    } else {
        double floating = 0.0;
        const auto result = std::from_chars(first, last, floating);
        if (result.ec != std::errc() || result.ptr != last)
            throw std::out_of_range("stod");
        value.numberValue = floating;
        // Truncation toward zero; values beyond the 64-bit range saturate
        // instead of invoking undefined behaviour in the cast.
        if (floating >= 9223372036854775807.0)
            value.intValue = INT64_MAX;
        else if (floating <= -9223372036854775808.0)
            value.intValue = INT64_MIN;
        else
            value.intValue = static_cast<std::int64_t>(floating);
    }
    return value;
}

void JsonParser::appendUtf8(std::string& out, unsigned codeUnit) const
{
    if (codeUnit < 0x80) {
        out.push_back(static_cast<char>(codeUnit));
    } else if (codeUnit < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codeUnit >> 6)));
        out.push_back(static_cast<char>(0x80 | (codeUnit & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (codeUnit >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codeUnit >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codeUnit & 0x3F)));
    }
}

JsonValue JsonParser::parseString()
{
    ++m_pos; // the opening quotation mark
    JsonValue value;
    value.type = JsonType::String;
    std::string& out = value.stringValue;
    for (;;) {
        if (atEnd())
            fail("Unterminated string in JSON");
        const char c = m_text[m_pos++];
        if (c == '"')
            return value;
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (atEnd())
            fail("Unterminated escape sequence in string");
        const char escape = m_text[m_pos++];
        switch (escape) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
            if (m_text.size() - m_pos < 4)
                fail("Truncated \\u unicode escape");
            unsigned codeUnit = 0;
            for (int i = 0; i < 4; ++i) {
                const int digit = hexValue(m_text[m_pos++]);
                if (digit < 0)
                    fail("Invalid hex in \\u unicode escape");
                codeUnit = (codeUnit << 4) | static_cast<unsigned>(digit);
            }
            appendUtf8(out, codeUnit);
            break;
        }
        default:
            fail(std::string("Unknown escape character in string: \\") + escape);
        }
    }
}

JsonValue JsonParser::parseArray()
{
    ++m_pos; // '['
    JsonValue array;
    array.type = JsonType::Array;
    skipWhitespace();
    if (atEnd())
        fail("Unterminated array in JSON");
    if (m_text[m_pos] == ']') {
        ++m_pos;
        return array;
    }
    for (;;) {
        array.items.push_back(parseValue());
        skipWhitespace();
        if (atEnd())
            failAt("Expected ',' or ']' in array at position ", m_text.size());
        const char c = m_text[m_pos++];
        if (c == ']')
            return array;
        if (c != ',')
            failAt("Expected ',' or ']' in array at position ", m_pos);
        skipWhitespace();
        if (atEnd())
            fail("Unterminated array in JSON");
    }
}

JsonValue JsonParser::parseObject()
{
    ++m_pos; // '{'
    JsonValue object;
    object.type = JsonType::Object;
    skipWhitespace();
    if (atEnd())
        fail("Unterminated object in JSON");
    if (m_text[m_pos] == '}') {
        ++m_pos;
        return object;
    }
    for (;;) {
        skipWhitespace();
        if (atEnd() || m_text[m_pos] != '"')
            failAt("Expected string key in object at position ", m_pos);
        std::string key = parseString().stringValue;
        skipWhitespace();
        if (atEnd())
            failAt("Expected ':' after key in object at position ", m_text.size());
        if (m_text[m_pos++] != ':')
            failAt("Expected ':' after key in object at position ", m_pos);
        object.members[std::move(key)] = parseValue();
        skipWhitespace();
        if (atEnd())
            failAt("Expected ',' or '}' in object at position ", m_text.size());
        const char c = m_text[m_pos++];
        if (c == '}')
            return object;
        if (c != ',')
            failAt("Expected ',' or '}' in object at position ", m_pos);
        skipWhitespace();
        if (atEnd())
            fail("Unterminated object in JSON");
    }
}

} // namespace selfupdate
