// Every key the application passes to the lookup as a literal must be in the English table, and
// every key that is not Japanese text (dotted keys) in the Japanese table too: Japanese users
// would otherwise see "language_pack.add_button". A key looked up through another function must
// add that function to lookupCalls.
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Localization/LanguagePackStore.hpp"
#include "Lumavane/Localization/StringsFile.hpp"
#include "Platform/Foundation/FileReading.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

const char* const lookupCalls[] = {"AppLocalization::string", "AppLocalization::format"};

std::string unescaped(const std::string& literal) {
    std::string out;
    for (std::size_t i = 0; i < literal.size(); ++i) {
        if (literal[i] != '\\' || i + 1 == literal.size()) {
            out += literal[i];
            continue;
        }
        const char e = literal[++i];
        out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
    }
    return out;
}

// key -> the first file that looks it up.
std::map<std::string, std::string> keysUsedInSources() {
    std::map<std::string, std::string> keys;
    const fs::path root = fs::path(LUMAVANE_SOURCE_DIR) / "src";
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string extension = entry.path().extension().string();
        if (!entry.is_regular_file() || (extension != ".cpp" && extension != ".hpp" && extension != ".h"))
            continue;
        const std::string text = files::readWholeText(entry.path());
        for (const char* call : lookupCalls) {
            const std::regex pattern(std::regex_replace(std::string(call), std::regex(":"), "\\:") +
                                     R"(\s*\(\s*"((?:[^"\\]|\\.)*)\")");
            for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
                 it != std::sregex_iterator(); ++it) {
                keys.emplace(unescaped((*it)[1].str()), fs::relative(entry.path(), root).string());
            }
        }
    }
    return keys;
}

std::map<std::string, std::string> shippedTable(const std::string& language) {
    const fs::path file = fs::path(LUMAVANE_SOURCE_DIR) / "resources" / AppLocalization::bundleName /
                          (language + ".lproj") / "Localizable.strings";
    return parseStringsFile(files::readWholeText(file)).strings;
}

bool isAscii(const std::string& key) {
    return std::all_of(key.begin(), key.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

TEST(LocalizationKeys, EveryLookedUpKeyIsInTheShippedTables) {
    const std::map<std::string, std::string> en = shippedTable("en");
    const std::map<std::string, std::string> ja = shippedTable("ja");
    std::map<std::string, std::string> used = keysUsedInSources();
    for (auto code : {LanguagePackStore::PackError::Code::invalidFileName,
                      LanguagePackStore::PackError::Code::builtInLanguage,
                      LanguagePackStore::PackError::Code::invalidStringsFile,
                      LanguagePackStore::PackError::Code::alreadyInstalled,
                      LanguagePackStore::PackError::Code::installationFailed}) {
        used.emplace(LanguagePackStore::PackError(code).messageKey(),
                     "Lumavane/Localization/LanguagePackStore.cpp");
    }
    for (const auto& [key, file] : used) {
        EXPECT_TRUE(en.count(key)) << "en.lproj lacks \"" << key << "\" (looked up in " << file << ")";
        if (isAscii(key)) {
            EXPECT_TRUE(ja.count(key)) << "ja.lproj lacks \"" << key << "\" (looked up in " << file << ")";
        }
    }
    for (const auto& [key, value] : en) EXPECT_FALSE(value.empty()) << key;
}

} // namespace
} // namespace lumavane
