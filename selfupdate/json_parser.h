#pragma once

#include <cstddef>
#include <string>

#include "selfupdate/json_value.h"

namespace selfupdate {

// Deepest array/object nesting the reader accepts. Catalogs are a few levels
// deep; the limit only exists so that hostile input cannot exhaust the stack
// of the worker thread through recursion.
constexpr int kMaxJsonNestingDepth = 256;

// Most values one document may hold. A catalog has a few hundred; without a
// limit a megabyte of "[],[],..." becomes hundreds of megabytes of nodes.
constexpr std::size_t kMaxJsonValues = 100000;
extern const char* const kJsonTooManyValuesMessage;

// Text of the error raised when kMaxJsonNestingDepth is exceeded (followed by
// the byte position of the bracket that went one level too deep).
extern const char* const kJsonTooDeepMessage;

// A small recursive-descent JSON reader over UTF-8 text. Every error is a
// std::invalid_argument whose text is shown to the operator, so positions are
// byte offsets into the catalog as downloaded.
class JsonParser {
public:
    explicit JsonParser(const std::string& text) : m_text(text) {}

    JsonValue parseValue();
    JsonValue parseString();

    std::size_t position() const { return m_pos; }
    void skipWhitespace();
    bool atEnd() const { return m_pos >= m_text.size(); }

private:
    JsonValue parseNumber();
    JsonValue parseArray();
    JsonValue parseObject();
    void appendUtf8(std::string& out, unsigned codeUnit) const;
    [[noreturn]] void fail(const std::string& message) const;
    [[noreturn]] void failAt(const std::string& message, std::size_t position) const;

    const std::string& m_text;
    std::size_t m_pos = 0;
    int m_depth = 0;
    std::size_t m_values = 0;
};

// The text without leading and trailing characters for which isspace holds.
std::string trim(const std::string& text);

} // namespace selfupdate
