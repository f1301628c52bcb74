#include "Lumavane/Localization/StringsFile.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace lumavane {
namespace {

using Table = std::map<std::string, std::string>;

TEST(StringsFile, ReadsTheFormatsEscapesAndComments) {
    const struct {
        std::string text;
        Table expected;
    } cases[] = {
        {"/* c */ \"a\" = \"b\"; // end\n\"a\" = \"later wins\";", {{"a", "later wins"}}},
        {R"("q" = "\"\\\n\t\U00e9\U65e5\ud83d\ude00\101";)", {{"q", "\"\\\n\té日😀A"}}},
        {"{ bare_key = bare.value-1; \"lone\"; }", {{"bare_key", "bare.value-1"}, {"lone", "lone"}}},
        {"\xEF\xBB\xBF\"é\" = \"日本\";", {{"é", "日本"}}},
        {std::string("\xFF\xFE\"\0a\0\"\0=\0\"\0\xE5\x65\"\0;\0", 18), {{"a", "日"}}},
        {std::string("\xFE\xFF\0\"\0b\0\"\0;", 10), {{"b", "b"}}},
        {"  \n/* only a comment */\n", {}},
    };
    for (const auto& c : cases) {
        const StringsTable table = parseStringsFile(c.text);
        EXPECT_EQ(table.strings, c.expected) << c.text;
        EXPECT_TRUE(table.onlyStrings);
    }
    const StringsTable mixed =
        parseStringsFile("\"a\" = (\"x\", y); \"b\" = { c = d; }; \"e\" = <0fA1>; \"f\" = \"g\";");
    EXPECT_FALSE(mixed.onlyStrings);
    EXPECT_EQ(mixed.strings, (Table{{"f", "g"}}));
}

TEST(StringsFile, MalformedTextIsAClearErrorWithItsLine) {
    const struct {
        std::string text;
        std::size_t line;
    } cases[] = {
        {"\"a\" = \"b\"", 1},                         // no semicolon
        {"\"a\" = \"b\";\n\"c\" = \"d", 2},           // string not closed
        {"\n\n/* open", 3},                           // comment not closed
        {"\"a\" \"b\";", 1},                          // no equals sign
        {"\"a\" = \"\\U12\";", 1},                    // short \U
        {"\"a\" = \"\\ud800\";", 1},                  // lone surrogate
        {"\"a\" = \"b\";\n\"\xC3\x28\" = \"x\";", 2}, // not UTF-8
        {"\"a\" = \"\xED\xA0\x80\";", 1},             // UTF-8 encoded surrogate
        {std::string("\"a\" = \"b\0\";", 10), 1},
        {"{ \"a\" = \"b\"; } }", 1},
        {std::string(100000, '('), 1},       // nesting, not a stack overflow
        {std::string("\xFF\xFE\x3D", 3), 1}, // odd UTF-16
    };
    for (const auto& c : cases) {
        try {
            parseStringsFile(c.text);
            ADD_FAILURE() << "accepted: " << c.text.substr(0, 40);
        } catch (const StringsFileError& error) {
            EXPECT_EQ(error.line(), c.line) << c.text.substr(0, 40) << ": " << error.what();
        }
    }
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::string bytes(1 + random() % 300, '\0');
        for (char& b : bytes) b = static_cast<char>(random());
        try {
            parseStringsFile(bytes);
        } catch (const StringsFileError&) {}
    }
}

} // namespace
} // namespace lumavane
