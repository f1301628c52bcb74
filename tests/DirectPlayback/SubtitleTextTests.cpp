#include "DirectPlayback/DirectPlaybackEngine.hpp"
#include "DirectPlayback/SubtitleText.hpp"

#include <gtest/gtest.h>

#include <string_view>
#include <utility>

using lumavane::DirectPlaybackEngine;

namespace {

std::string plain(std::string_view text) { return DirectPlaybackEngine::plainSubtitleText(text); }

} // namespace

TEST(PlainSubtitleText, TakesTheTextOfAnEventLineStripsOverridesAndTrimsUnicodeWhiteSpace) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        // ASS event lines as FFmpeg passes them: the text follows the eighth comma and keeps its own.
        {"12,0,Default,,0,0,0,,{\\i1}Hello{\\i0}\\Nworld", "Hello\nworld"},
        {"3,-1,Default,Name,0,0,0,,one, two, three", "one, two, three"},
        {"+3,0,Default,,0,0,0,,signed", "signed"},
        // Not event lines: a word, a sign alone or twice, a space, 64 bits exceeded, eight fields.
        {"Dialogue,0,Default,,0,0,0,,{\\b1}bold", "Dialogue,0,Default,,0,0,0,,bold"},
        {"+,0,a,b,c,d,e,f,g", "+,0,a,b,c,d,e,f,g"},
        {"+-1,0,a,b,c,d,e,f,g", "+-1,0,a,b,c,d,e,f,g"},
        {" 1,0,a,b,c,d,e,f,g", "1,0,a,b,c,d,e,f,g"},
        {"99999999999999999999,0,a,b,c,d,e,f,g", "99999999999999999999,0,a,b,c,d,e,f,g"},
        {"1,0,a,b,c,d,e,f", "1,0,a,b,c,d,e,f"},
        {"1,0,a,b,c,d,e,,", ""},
        // Override blocks run to the first closing brace; an unclosed one stays.
        {"{\\an8}Top", "Top"},
        {"x{a{b}c}y", "xc}y"},
        {"open {brace", "open {brace"},
        {"{\\pos(1,2)}{\\c&HFF&}", ""},
        {"a\\hb", "a b"},
        {"one\\ntwo\\Nthree", "one\ntwo\nthree"},
        // U+3000, U+00A0, U+2028 and U+0085 are white space at both ends only; U+200B and U+FEFF are not.
        {"\u3000\u00A0 \t\n字幕\u3000です\u00A0\u2028\u0085\r", "字幕\u3000です"},
        {"\\h\\Nword\\N\\h", "word"},
        {"\u3000", ""},
        {"\u200Bx\uFEFF", "\u200Bx\uFEFF"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(plain(text), expected) << text;
}

TEST(SubtitleTextEncoding, ReplacesIllFormedUtf8) {
    using lumavane::detail::validUtf8;
    EXPECT_EQ(validUtf8("plain é 字 😀"), "plain é 字 😀");
    EXPECT_EQ(validUtf8("a\xFF"
                        "b"),
              "a\uFFFD"
              "b");
    // A truncated sequence is one replacement; the byte that broke it starts afresh.
    EXPECT_EQ(validUtf8("\xE5\xAD"
                        "b"),
              "\uFFFD"
              "b");
    // Overlong forms and surrogates are ill-formed.
    EXPECT_EQ(validUtf8("\xC0\xAF"), "\uFFFD\uFFFD");
    EXPECT_EQ(validUtf8("\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(validUtf8("\xF4\x90\x80\x80"), "\uFFFD\uFFFD\uFFFD\uFFFD");
}
