#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <system_error>

#include <sys/stat.h>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

void write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::errc codeOf(const std::function<void()>& read) {
    try {
        read();
    } catch (const fs::filesystem_error& error) {
        return static_cast<std::errc>(error.code().value());
    }
    ADD_FAILURE() << "no error was thrown";
    return std::errc{};
}

TEST(FileReading, CapIsInclusiveAndLargerFilesAreRefusedWithTheirPath) {
    test::TemporaryDirectory folder;
    const fs::path file = folder.path() / "manifest.json";
    write(file, "0123456789");
    EXPECT_EQ(files::readWholeText(file, 10), "0123456789");
    EXPECT_EQ(files::readWholeFile(file).size(), 10u);
    try {
        files::readWholeFile(file, 9);
        FAIL() << "a 10-byte file passed a 9-byte cap";
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::errc::file_too_large);
        EXPECT_EQ(error.path1(), file);
        EXPECT_NE(std::string(error.what()).find("9-byte limit"), std::string::npos) << error.what();
    }
}

TEST(FileReading, MissingDirectoriesAndSpecialFilesAreRefused) {
    test::TemporaryDirectory folder;
    const fs::path fifo = folder.path() / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(codeOf([&] { files::readWholeFile(folder.path() / "absent"); }),
              std::errc::no_such_file_or_directory);
    EXPECT_EQ(codeOf([&] { files::readWholeFile(folder.path()); }), std::errc::is_a_directory);
    EXPECT_EQ(codeOf([&] { files::readWholeFile(fifo, 100); }), std::errc::invalid_argument);
    EXPECT_EQ(codeOf([] { files::readWholeFile("/proc/self/status", 1); }), std::errc::file_too_large)
        << "a file whose measured size is 0 still stops at the cap";
}

TEST(JSONDecoding, UnusableDocumentsAreDecodingErrorsNeverLibraryExceptions) {
    for (const char* text : {"{\"a\": 1e999}", "[-1e400]", "{", "", "{\"a\": 1} x"}) {
        EXPECT_THROW(json_decoding::parse(text), JSONDecodingError) << text;
    }
    const nlohmann::json big = json_decoding::parse("{\"n\": 18446744073709551615, \"f\": 9.3e18}");
    const json_decoding::Object object(big, "");
    EXPECT_THROW(object.integer("n"), JSONDecodingError);
    EXPECT_THROW(object.integer("f"), JSONDecodingError);
}

std::string nested(std::size_t depth, const std::string& open = "[", const std::string& close = "]",
                   const std::string& inner = "0") {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += open;
    text += inner;
    for (std::size_t i = 0; i < depth; ++i) text += close;
    return text;
}

TEST(JSONDecoding, NestingPastTheBoundIsADecodingError) {
    const std::size_t bound = json_decoding::maximumDepth;
    EXPECT_NO_THROW(json_decoding::parse(nested(bound)));
    EXPECT_NO_THROW(json_decoding::parse(nested(bound - 1, "{\"a\":", "}", "[1]")));
    for (const std::string& deep :
         {nested(bound + 1), nested(bound, "{\"a\":", "}", "[1]"), nested(50000),
          nested(50000, "{\"k\":", "}"), "{\"ok\": 1, \"deep\": " + nested(50000) + "}"}) {
        try {
            json_decoding::parse(deep);
            ADD_FAILURE() << "parsed " << deep.size() << " bytes";
        } catch (const JSONDecodingError& error) {
            EXPECT_EQ(error.codingPath(), "");
            EXPECT_NE(std::string(error.what()).find("nested more than 256 levels"), std::string::npos)
                << error.what();
        }
    }
}

TEST(JSONDecoding, BracketsInsideStringsAreNotNesting) {
    const std::string brackets(100000, '[');
    EXPECT_EQ(json_decoding::parse("{\"a\": \"" + brackets + "\"}")["a"].get<std::string>().size(), 100000u);
    // An escaped quote does not end the string, an escaped backslash does not escape the quote.
    EXPECT_EQ(json_decoding::parse("[\"\\\"" + brackets + "\"]")[0].get<std::string>().size(), 100001u);
    EXPECT_EQ(json_decoding::nestingDepth("[\"\\\\\", [[1]]]"), 3u);
    EXPECT_EQ(json_decoding::nestingDepth("{\"a\": [1, {\"b\": []}], \"c\": {}}"), 4u);
    EXPECT_EQ(json_decoding::nestingDepth("1"), 0u);
    // Counting stops just past the limit.
    EXPECT_EQ(json_decoding::nestingDepth(nested(50000), 10), 11u);
}

} // namespace
} // namespace lumavane
