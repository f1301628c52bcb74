#include "DirectPlayback/DirectPlaybackEngine.hpp"
#include "DirectPlayback/SubtitleText.hpp"

#include <gtest/gtest.h>

using lumavane::DirectPlaybackEngine;

namespace {

std::string plain(std::string_view text) { return DirectPlaybackEngine::plainSubtitleText(text); }

} // namespace

TEST(PlainSubtitleText, TakesTheTextFieldOfAnAssEventLine) {
    EXPECT_EQ(plain("12,0,Default,,0,0,0,,{\\i1}Hello{\\i0}\\Nworld"), "Hello\nworld");
    // The text field keeps its own commas.
    EXPECT_EQ(plain("3,-1,Default,Name,0,0,0,,one, two, three"), "one, two, three");
    EXPECT_EQ(plain("+3,0,Default,,0,0,0,,signed"), "signed");
}

TEST(PlainSubtitleText, KeepsTextThatIsNotAnEventLine) {
    EXPECT_EQ(plain("Hello, world"), "Hello, world");
    // Nine fields, but the first is a word: only codes and override blocks are cleaned.
    EXPECT_EQ(plain("Dialogue,0,Default,,0,0,0,,{\\b1}bold"), "Dialogue,0,Default,,0,0,0,,bold");
    // Integers must be complete: sign alone, spaces, or a value beyond 64 bits do not count.
    EXPECT_EQ(plain("+,0,a,b,c,d,e,f,g"), "+,0,a,b,c,d,e,f,g");
    EXPECT_EQ(plain("+-1,0,a,b,c,d,e,f,g"), "+-1,0,a,b,c,d,e,f,g");
    EXPECT_EQ(plain(" 1,0,a,b,c,d,e,f,g"), "1,0,a,b,c,d,e,f,g");
    EXPECT_EQ(plain("99999999999999999999,0,a,b,c,d,e,f,g"), "99999999999999999999,0,a,b,c,d,e,f,g");
    // Eight fields are not an event line.
    EXPECT_EQ(plain("1,0,a,b,c,d,e,f"), "1,0,a,b,c,d,e,f");
    EXPECT_EQ(plain("1,0,a,b,c,d,e,,"), "");
}

TEST(PlainSubtitleText, RemovesOverrideBlocksAndTurnsCodesIntoBreaksAndSpaces) {
    EXPECT_EQ(plain("{\\an8}Top"), "Top");
    EXPECT_EQ(plain("a\\hb"), "a b");
    EXPECT_EQ(plain("one\\ntwo\\Nthree"), "one\ntwo\nthree");
    // A brace block runs to the first closing brace; an unclosed one stays.
    EXPECT_EQ(plain("x{a{b}c}y"), "xc}y");
    EXPECT_EQ(plain("open {brace"), "open {brace");
    EXPECT_EQ(plain("{\\pos(1,2)}{\\c&HFF&}"), "");
}

TEST(PlainSubtitleText, TrimsUnicodeWhiteSpaceAtBothEndsOnly) {
    // U+3000 ideographic space, U+00A0 no-break space, U+2028 line separator, U+0085 next line.
    EXPECT_EQ(plain("\u3000\u00A0 \t\n字幕\u3000です\u00A0\u2028\u0085\r"), "字幕\u3000です");
    EXPECT_EQ(plain("\\h\\Nword\\N\\h"), "word");
    EXPECT_EQ(plain("\u3000"), "");
    // Not white space: zero-width space and the byte-order mark.
    EXPECT_EQ(plain("\u200Bx\uFEFF"), "\u200Bx\uFEFF");
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
