#pragma once

#include <cstddef>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace lumavane {

// A strings file that cannot be read as one. The text names the line and what was wrong.
class StringsFileError : public std::runtime_error {
public:
    StringsFileError(std::size_t line, const std::string& problem);
    std::size_t line() const noexcept { return line_; }

private:
    std::size_t line_;
};

// The entries of a strings file: "key" = "value"; pairs (a lone "key"; maps the key to itself),
// quoted or bare words, with C-style escapes (\n, \", \\, \U20AC, octal) and comments, optionally
// inside one pair of braces. Text is UTF-8 (a byte-order mark is skipped) or UTF-16 with a
// byte-order mark. Arrays ( ... ), dictionaries { ... } and data < ... > are read as values
// too, so that a property list that is not a table of strings can be told apart.
struct StringsTable {
    std::map<std::string, std::string> strings; // the entries whose value is a string; later ones win
    bool onlyStrings = true;                    // false when some value was an array, dictionary or data
};

// Appends a Unicode scalar value as UTF-8; anything else (0, surrogates, beyond U+10FFFF) is dropped.
void appendUtf8(std::string& out, char32_t codePoint);

// Throws StringsFileError for text that is not a strings file (or not valid UTF-8 / UTF-16).
StringsTable parseStringsFile(std::string_view bytes);

} // namespace lumavane
