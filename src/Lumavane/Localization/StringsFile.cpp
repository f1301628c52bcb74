#include "Lumavane/Localization/StringsFile.hpp"

#include <cstdint>
#include <optional>

namespace lumavane {

namespace {

// Nesting deeper than this is refused rather than recursed into.
constexpr int maxDepth = 32;

// The index of the first byte that is not part of well-formed UTF-8, if any.
std::optional<std::size_t> invalidUtf8At(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t minimum = 0;
        std::uint32_t codePoint = 0;
        if (byte < 0x80) {
            ++i;
            continue;
        } else if ((byte & 0xE0) == 0xC0) {
            length = 2, minimum = 0x80, codePoint = byte & 0x1F;
        } else if ((byte & 0xF0) == 0xE0) {
            length = 3, minimum = 0x800, codePoint = byte & 0x0F;
        } else if ((byte & 0xF8) == 0xF0) {
            length = 4, minimum = 0x10000, codePoint = byte & 0x07;
        } else {
            return i;
        }
        if (i + length > text.size()) return i;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return i;
            codePoint = codePoint << 6 | (next & 0x3F);
        }
        if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return i;
        i += length;
    }
    return std::nullopt;
}

std::size_t lineAt(std::string_view text, std::size_t offset) {
    std::size_t line = 1;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) line += text[i] == '\n';
    return line;
}

// UTF-16 with a byte-order mark to UTF-8.
std::string fromUtf16(std::string_view bytes, bool bigEndian) {
    if (bytes.size() % 2 != 0) throw StringsFileError(1, "the UTF-16 text has an odd number of bytes");
    std::string out;
    const auto unitAt = [&](std::size_t i) {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<std::uint32_t>(bigEndian ? a << 8 | b : b << 8 | a);
    };
    std::size_t line = 1;
    for (std::size_t i = 2; i < bytes.size(); i += 2) {
        std::uint32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
            const std::uint32_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF)
            throw StringsFileError(line, "the UTF-16 text has a lone surrogate");
        line += unit == '\n';
        appendUtf8(out, unit);
    }
    return out;
}

bool isBareCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c == '+' || c == '/' || c == ':' || c == '.' || c == '-';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    StringsTable parseDocument() {
        StringsTable table;
        skipSpace();
        const bool braced = peek() == '{';
        if (braced) ++at_;
        parseEntries(table, braced ? '}' : '\0', 0);
        if (braced) {
            expect('}');
            skipSpace();
        }
        if (at_ != text_.size()) fail("unexpected text after the end");
        return table;
    }

private:
    [[noreturn]] void fail(const std::string& problem) const {
        throw StringsFileError(lineAt(text_, at_), problem);
    }

    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    bool atEnd() const { return at_ >= text_.size(); }

    void expect(char c) {
        skipSpace();
        if (atEnd() || text_[at_] != c) fail(std::string("expected '") + c + "'");
        ++at_;
    }

    void skipSpace() {
        while (!atEnd()) {
            const char c = text_[at_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++at_;
            } else if (c == '/' && at_ + 1 < text_.size() && text_[at_ + 1] == '/') {
                while (!atEnd() && text_[at_] != '\n') ++at_;
            } else if (c == '/' && at_ + 1 < text_.size() && text_[at_ + 1] == '*') {
                const std::size_t end = text_.find("*/", at_ + 2);
                if (end == std::string_view::npos) fail("a comment is not closed");
                at_ = end + 2;
            } else {
                return;
            }
        }
    }

    // Entries up to `closing` ('\0': the end of the text).
    void parseEntries(StringsTable& table, char closing, int depth) {
        for (;;) {
            skipSpace();
            if (atEnd() || peek() == closing) return;
            std::string key = parseString();
            skipSpace();
            if (peek() == ';') {
                ++at_;
                table.strings.insert_or_assign(key, key);
                continue;
            }
            expect('=');
            skipSpace();
            std::optional<std::string> value = parseValue(depth);
            expect(';');
            if (value) {
                table.strings.insert_or_assign(std::move(key), std::move(*value));
            } else {
                table.strings.erase(key);
                table.onlyStrings = false;
            }
        }
    }

    // A string, or nullopt for an array, dictionary or data value (which are checked and skipped).
    std::optional<std::string> parseValue(int depth) {
        if (depth >= maxDepth) fail("values are nested too deeply");
        const char c = peek();
        if (c == '(') {
            ++at_;
            skipSpace();
            while (peek() != ')') {
                parseValue(depth + 1);
                skipSpace();
                if (peek() == ',') {
                    ++at_;
                    skipSpace();
                } else if (peek() != ')') {
                    fail("expected ',' or ')' in an array");
                }
            }
            ++at_;
            return std::nullopt;
        }
        if (c == '{') {
            ++at_;
            StringsTable nested;
            parseEntries(nested, '}', depth + 1);
            expect('}');
            return std::nullopt;
        }
        if (c == '<') {
            ++at_;
            for (;;) {
                skipSpace();
                if (peek() == '>') break;
                if (hexValue(peek()) < 0) fail("data holds a character that is not a hex digit");
                ++at_;
            }
            ++at_;
            return std::nullopt;
        }
        return parseString();
    }

    std::string parseString() {
        const char c = peek();
        if (c == '"' || c == '\'') return parseQuoted(c);
        if (!isBareCharacter(c)) fail(atEnd() ? "unexpected end of the text" : "expected a string");
        const std::size_t start = at_;
        while (!atEnd() && isBareCharacter(text_[at_])) ++at_;
        return std::string(text_.substr(start, at_ - start));
    }

    std::string parseQuoted(char quote) {
        ++at_;
        std::string out;
        std::uint32_t pendingHigh = 0; // a high surrogate from \U waiting for its low half
        const auto flushPending = [&] {
            if (pendingHigh) fail("an escaped surrogate is not paired");
        };
        for (;;) {
            if (atEnd()) fail("a quoted string is not closed");
            const char c = text_[at_++];
            if (c == quote) {
                flushPending();
                return out;
            }
            if (c != '\\') {
                flushPending();
                out += c;
                continue;
            }
            if (atEnd()) fail("a quoted string is not closed");
            const char e = text_[at_++];
            if (e == 'U' || e == 'u') {
                std::uint32_t unit = 0;
                for (int k = 0; k < 4; ++k) {
                    const int digit = atEnd() ? -1 : hexValue(text_[at_]);
                    if (digit < 0) fail("\\U needs four hex digits");
                    unit = unit << 4 | static_cast<std::uint32_t>(digit);
                    ++at_;
                }
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    flushPending();
                    pendingHigh = unit;
                } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
                    if (!pendingHigh) fail("an escaped surrogate is not paired");
                    appendUtf8(out, 0x10000 + ((pendingHigh - 0xD800) << 10) + (unit - 0xDC00));
                    pendingHigh = 0;
                } else {
                    flushPending();
                    if (unit == 0) fail("a string holds a NUL character");
                    appendUtf8(out, unit);
                }
                continue;
            }
            flushPending();
            if (e >= '0' && e <= '7') {
                std::uint32_t value = static_cast<std::uint32_t>(e - '0');
                for (int k = 0; k < 2 && !atEnd() && text_[at_] >= '0' && text_[at_] <= '7'; ++k) {
                    value = value * 8 + static_cast<std::uint32_t>(text_[at_++] - '0');
                }
                if (value == 0) fail("a string holds a NUL character");
                appendUtf8(out, value);
                continue;
            }
            switch (e) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'a':
                out += '\a';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'v':
                out += '\v';
                break;
            default:
                out += e;
                break; // \" \' \\ and any other character stand for themselves
            }
        }
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

} // namespace

void appendUtf8(std::string& out, char32_t codePoint) {
    if (codePoint == 0 || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return;
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | codePoint >> 6);
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | codePoint >> 12);
        out += static_cast<char>(0x80 | (codePoint >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | codePoint >> 18);
        out += static_cast<char>(0x80 | (codePoint >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (codePoint >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

StringsFileError::StringsFileError(std::size_t line, const std::string& problem)
    : std::runtime_error("The strings file is not valid (line " + std::to_string(line) + "): " + problem),
      line_(line) {}

StringsTable parseStringsFile(std::string_view bytes) {
    std::string converted;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        converted = fromUtf16(bytes, false);
    } else if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
               static_cast<unsigned char>(bytes[1]) == 0xFF) {
        converted = fromUtf16(bytes, true);
    } else {
        if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
        if (const std::optional<std::size_t> bad = invalidUtf8At(bytes)) {
            throw StringsFileError(lineAt(bytes, *bad), "the text is not valid UTF-8");
        }
        if (bytes.find('\0') != std::string_view::npos) {
            throw StringsFileError(lineAt(bytes, bytes.find('\0')), "the text holds a NUL character");
        }
        return Parser(bytes).parseDocument();
    }
    if (converted.find('\0') != std::string::npos) {
        throw StringsFileError(lineAt(converted, converted.find('\0')), "the text holds a NUL character");
    }
    return Parser(converted).parseDocument();
}

} // namespace lumavane
