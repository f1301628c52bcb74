#pragma once

#include <string>
#include <string_view>

namespace lumavane::detail {

// The text with every ill-formed UTF-8 sequence replaced by U+FFFD, as the platform's string conversion
// does, so clients always receive valid UTF-8.
std::string validUtf8(std::string_view text);

// The text without Unicode White_Space characters (spaces, line breaks, U+00A0, U+3000, ...) at either end.
std::string_view trimWhiteSpace(std::string_view text);

} // namespace lumavane::detail
