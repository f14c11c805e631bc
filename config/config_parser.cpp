#include "config/config_parser.h"

#include "config/config_exception.h"

#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <stdlib.h>
#include <unordered_set>
#include <utility>

namespace libconfig {

namespace {

// 64 nested groups are accepted; the bound also bounds the parser's recursion.
constexpr int kMaxGroupDepth = 65;

bool isSkipWhitespace(char c)
{
    return c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == ' ';
}

bool isAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isAsciiDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isNameStart(char c)
{
    return isAsciiLetter(c) || c == '_' || c == '*';
}

bool isNamePart(char c)
{
    return isNameStart(c) || isAsciiDigit(c) || c == '-';
}

bool endsScalarToken(char c)
{
    return isSkipWhitespace(c) || c == '#' || c == ',' || c == '/' || c == ';' || c == '{' || c == '}';
}

int hexDigitValue(char c)
{
    if (isAsciiDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string asciiLower(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Qt applications switch LC_NUMERIC to the user's locale at start-up; a
// decimal comma there must not make "0.5" unreadable, so numbers are always
// converted in the C locale.
locale_t cLocale()
{
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

} // namespace

Parser::Parser(const std::string& source, std::string fileName)
    : m_source(source), m_fileName(std::move(fileName))
{
}

void Parser::fail(int line, const std::string& message) const
{
    throw ParseException(m_fileName, line, message);
}

char Parser::advance()
{
    const char c = m_source[m_pos++];
    if (c == '\n')
        ++m_line;
    return c;
}

void Parser::parseDocument(Setting& root)
{
    parseSettingList(root, false, 0);
    skipWhitespaceAndComments();
    if (!atEnd())
        fail(m_line, "Unexpected trailing characters");
}

void Parser::skipWhitespaceAndComments()
{
    while (!atEnd()) {
        const char c = peek();
        const char next = m_pos + 1 < m_source.size() ? m_source[m_pos + 1] : '\0';
        if (isSkipWhitespace(c)) {
            advance();
        } else if (c == '#' || (c == '/' && next == '/')) {
            while (!atEnd() && peek() != '\n')
                advance();
        } else if (c == '/' && next == '*') {
            const int startLine = m_line;
            m_pos += 2;
            while (true) {
                if (atEnd())
                    fail(startLine, "Unterminated block comment");
                if (peek() == '*' && m_pos + 1 < m_source.size() && m_source[m_pos + 1] == '/') {
                    m_pos += 2;
                    break;
                }
                advance();
            }
        } else {
            return;
        }
    }
}

void Parser::parseSettingList(Setting& group, bool insideGroup, int depth)
{
    if (depth >= kMaxGroupDepth)
        fail(m_line, "Maximum group nesting depth exceeded");
    // Same answer as group.exists(name) for a group this parser fills, without
    // a linear scan per setting on large inputs.
    std::unordered_set<std::string> names;
    while (true) {
        skipWhitespaceAndComments();
        if (atEnd()) {
            if (insideGroup)
                fail(m_line, "Unexpected end of file inside group");
            return;
        }
        if (insideGroup && peek() == '}')
            return;

        const int nameLine = m_line;
        std::string name = parseName();
        if (!names.insert(name).second)
            fail(nameLine, "Duplicate setting name: " + name);

        skipWhitespaceAndComments();
        if (peekIs('=') || peekIs(':'))
            advance();
        else if (!peekIs('{'))
            fail(m_line, "Expected '=' or ':' after setting name '" + name + "'");

        skipWhitespaceAndComments();
        if (atEnd())
            fail(m_line, "Unexpected end of file while expecting value");
        parseValue(group, name, depth);

        skipWhitespaceAndComments();
        if (peekIs(';') || peekIs(','))
            advance();
    }
}

void Parser::parseValue(Setting& group, const std::string& name, int depth)
{
    if (peek() == '{') {
        const int braceLine = m_line;
        advance();
        Setting& child = group.appendChild(name, Setting::TypeGroup);
        parseSettingList(child, true, depth + 1);
        skipWhitespaceAndComments();
        if (!peekIs('}'))
            fail(braceLine, "Unterminated group '{'");
        advance();
    } else if (peek() == '"') {
        std::string text = parseStringLiteral();
        group.appendChild(name, Setting::TypeString) = text;
    } else {
        parseScalar(group, name);
    }
}

std::string Parser::parseName()
{
    if (atEnd() || !isNameStart(peek()))
        fail(m_line, "Expected setting name identifier");
    const std::size_t start = m_pos;
    while (!atEnd() && isNamePart(peek()))
        advance();
    return m_source.substr(start, m_pos - start);
}

std::string Parser::parseStringLiteral()
{
    std::string text;
    do {
        readOneLiteral(text);
        skipWhitespaceAndComments();
    } while (peekIs('"'));
    return text;
}

void Parser::readOneLiteral(std::string& out)
{
    const int quoteLine = m_line;
    advance();
    while (true) {
        if (atEnd())
            fail(quoteLine, "Unterminated string literal");
        const char c = advance();
        if (c == '"')
            return;
        if (c == '\n')
            fail(quoteLine, "Unterminated string literal before newline");
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (atEnd())
            fail(quoteLine, "Unterminated escape sequence in string");
        const char escape = advance();
        switch (escape) {
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'x': {
            if (m_source.size() - m_pos < 2)
                fail(m_line, "Invalid hex escape in string");
            const int high = hexDigitValue(m_source[m_pos]);
            const int low = hexDigitValue(m_source[m_pos + 1]);
            if (high < 0 || low < 0)
                fail(m_line, "Invalid hex digit in string escape");
            m_pos += 2;
            out.push_back(static_cast<char>(high * 16 + low));
            break;
        }
        default:
            // '"', '/', '\\', an escaped line feed and any unknown letter stand
            // for themselves.
            out.push_back(escape);
            break;
        }
    }
}

void Parser::parseScalar(Setting& group, const std::string& name)
{
    const int valueLine = m_line;
    const std::size_t start = m_pos;
    while (!atEnd() && !endsScalarToken(peek()))
        advance();
    const std::string token = m_source.substr(start, m_pos - start);
    if (token.empty())
        fail(valueLine, "Expected setting value");

    const std::string lower = asciiLower(token);
    if (lower == "true" || lower == "false") {
        group.appendChild(name, Setting::TypeBoolean) = (lower == "true");
        return;
    }

    const bool hexPrefix = token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
    if (!hexPrefix && token.find_first_of(".eE") != std::string::npos) {
        char* end = nullptr;
        const double value = strtod_l(token.c_str(), &end, cLocale());
        if (end == token.c_str() || end != token.c_str() + token.size() || !std::isfinite(value))
            fail(valueLine, "Invalid floating-point value: " + token);
        group.appendChild(name, Setting::TypeFloat) = value;
        return;
    }

    std::string digits = token;
    if (digits.back() == 'L' || digits.back() == 'l')
        digits.pop_back();
    char* end = nullptr;
    const long long value = strtoll_l(digits.c_str(), &end, 0, cLocale());
    if (digits.empty() || end == digits.c_str() || end != digits.c_str() + digits.size())
        fail(valueLine, "Invalid setting value: " + token);
    group.appendChild(name, Setting::TypeInt64) = value;
}

} // namespace libconfig
