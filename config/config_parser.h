#pragma once

#include "config/setting.h"

#include <cstddef>
#include <string>

namespace libconfig {

// Recursive-descent reader for the subset of the libconfig grammar that the
// application writes: groups and scalars with comments; no arrays, lists or
// includes. Internal to the library; Config::readString is the way in.
class Parser {
public:
    Parser(const std::string& source, std::string fileName);

    // Fills `root` (an empty group) or throws ParseException.
    void parseDocument(Setting& root);

private:
    void parseSettingList(Setting& group, bool insideGroup, int depth);
    void parseValue(Setting& group, const std::string& name, int depth);
    std::string parseName();
    std::string parseStringLiteral();
    void readOneLiteral(std::string& out);
    void parseScalar(Setting& group, const std::string& name);
    void skipWhitespaceAndComments();

    bool atEnd() const { return m_pos >= m_source.size(); }
    char peek() const { return m_source[m_pos]; }
    bool peekIs(char c) const { return !atEnd() && peek() == c; }
    char advance();
    [[noreturn]] void fail(int line, const std::string& message) const;

    const std::string& m_source;
    std::string m_fileName;
    std::size_t m_pos = 0;
    int m_line = 1;
};

} // namespace libconfig
