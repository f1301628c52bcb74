#include "DirectPlayback/SubtitleText.hpp"

#include "DirectPlayback/DirectPlaybackEngine.hpp"

#include <charconv>
#include <cstdint>
#include <optional>
#include <vector>

namespace lumavane {

namespace detail {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct Decoded {
    char32_t scalar = 0;
    std::size_t length = 0;   // bytes of a well-formed sequence; 0 when ill-formed
    std::size_t consumed = 0; // bytes of the maximal ill-formed subpart to replace (at least 1)
};

// Decodes one scalar at the front of `text` (not empty), following the well-formed byte sequences of
// the Unicode standard (no overlongs, no surrogates, nothing above U+10FFFF).
Decoded decodeOne(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {lead, 1, 1};
    std::size_t need = 0;
    unsigned char low = 0x80, high = 0xBF;
    char32_t scalar = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        scalar = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        scalar = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        scalar = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {0, 0, 1};
    }
    for (std::size_t i = 1; i <= need; ++i) {
        if (i >= text.size()) return {0, 0, i};
        const unsigned char b = byte(i);
        if (b < low || b > high) return {0, 0, i};
        low = 0x80;
        high = 0xBF;
        scalar = (scalar << 6) | (b & 0x3F);
    }
    return {scalar, need + 1, need + 1};
}

bool isWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Complete decimal integer: optional sign, at least one digit, nothing else, within 64 bits.
bool isInteger(std::string_view text) {
    const bool plus = !text.empty() && text.front() == '+';
    if (plus) text.remove_prefix(1);
    // One sign at most: "+-1" and "++1" are not integers.
    if (text.empty() || text.front() == '+' || (plus && text.front() == '-')) return false;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size();
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    for (std::size_t found; (found = text.find(from, at)) != std::string::npos; at = found + from.size()) {
        out.append(text, at, found - at);
        out.append(to);
    }
    out.append(text, at, std::string::npos);
    text.swap(out);
}

} // namespace

std::string validUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const Decoded d = decodeOne(text);
        if (d.length > 0) {
            out.append(text.substr(0, d.length));
        } else {
            out.append(kReplacement);
        }
        text.remove_prefix(d.consumed);
    }
    return out;
}

std::string_view trimWhiteSpace(std::string_view text) {
    while (!text.empty()) {
        const Decoded d = decodeOne(text);
        if (d.length == 0 || !isWhiteSpace(d.scalar)) break;
        text.remove_prefix(d.length);
    }
    while (!text.empty()) {
        // Step back to the start of the last scalar.
        std::size_t start = text.size() - 1;
        while (start > 0 && text.size() - start < 4 &&
               (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
            --start;
        const Decoded d = decodeOne(text.substr(start));
        if (d.length != text.size() - start || !isWhiteSpace(d.scalar)) break;
        text.remove_suffix(d.length);
    }
    return text;
}

} // namespace detail

std::string DirectPlaybackEngine::plainSubtitleText(std::string_view text) {
    // An ASS event as FFmpeg passes it: read order, layer, style, name, three margins, effect, text.
    std::vector<std::string_view> pieces;
    std::string_view rest = text;
    while (pieces.size() < 8) {
        const std::size_t comma = rest.find(',');
        if (comma == std::string_view::npos) break;
        pieces.push_back(rest.substr(0, comma));
        rest.remove_prefix(comma + 1);
    }
    pieces.push_back(rest);
    std::string result(text);
    if (pieces.size() == 9 && detail::isInteger(pieces[0]) && detail::isInteger(pieces[1]))
        result = std::string(pieces[8]);

    // Override blocks: a '{' up to the next '}'. Without a closing brace nothing further can match.
    std::string stripped;
    stripped.reserve(result.size());
    std::size_t at = 0;
    for (;;) {
        const std::size_t open = result.find('{', at);
        const std::size_t close = open == std::string::npos ? open : result.find('}', open + 1);
        if (close == std::string::npos) break;
        stripped.append(result, at, open - at);
        at = close + 1;
    }
    stripped.append(result, at, std::string::npos);

    detail::replaceAll(stripped, "\\N", "\n");
    detail::replaceAll(stripped, "\\n", "\n");
    detail::replaceAll(stripped, "\\h", " ");
    return std::string(detail::trimWhiteSpace(stripped));
}

} // namespace lumavane
