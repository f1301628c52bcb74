#include "Lumavane/Localization/AppLanguageStore.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Localization/LanguagePackStore.hpp"
#include "Lumavane/Localization/LocalizationTestSupport.hpp"
#include "Lumavane/Localization/StringsFile.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace lumavane {
namespace {

namespace fs = std::filesystem;
using Code = LanguagePackStore::PackError::Code;

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<Code> packErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const LanguagePackStore::PackError& error) {
        return error.code();
    }
    return std::nullopt;
}

class LanguagePackStoreTest : public ::testing::Test {
protected:
    fs::path source(const std::string& relative, const std::string& bytes = "\"閉じる\" = \"Schließen\";\n") {
        const fs::path path = world.path() / "picked" / relative;
        test::writeFile(path, bytes);
        return path;
    }
    std::vector<std::string> ids() const {
        std::vector<std::string> result;
        for (const AppLanguage& language : packs.installedLanguages()) result.push_back(language.id);
        return result;
    }

    test::LocalizationWorld world;
    AppLanguageStore languages{world.defaults()};
    LanguagePackStore packs{languages};
};

TEST_F(LanguagePackStoreTest, InstallWritesTheBundleWithTheFileBytesUnchanged) {
    const std::string bytes = "/* German */\n\"閉じる\" = \"Schließen\";\r\n";
    const AppLanguage de = packs.install(source("de.strings", bytes));
    EXPECT_EQ(de, (AppLanguage{"de", "Deutsch", false}));
    const fs::path bundle = world.packs() / "de.bundle";
    EXPECT_EQ(LanguagePackStore::bundleURL("de"), bundle);
    EXPECT_EQ(contentsOf(bundle / "Contents/Resources/de.lproj/Localizable.strings"), bytes);
    const std::string plist = contentsOf(bundle / "Contents/Info.plist");
    for (const char* entry :
         {"<key>CFBundleDevelopmentRegion</key>\n\t<string>de</string>",
          "<key>CFBundleIdentifier</key>\n\t<string>com.tallowby.lumavane.LanguagePack.de</string>",
          "<key>CFBundleName</key>\n\t<string>Lumavane de Language Pack</string>",
          "<key>CFBundlePackageType</key>\n\t<string>BNDL</string>",
          "<key>CFBundleShortVersionString</key>\n\t<string>1.0</string>",
          "<key>CFBundleVersion</key>\n\t<string>1</string>"}) {
        EXPECT_NE(plist.find(entry), std::string::npos) << entry;
    }
    EXPECT_EQ(AppLocalization::string("閉じる", "de", {}), "Schließen");
    EXPECT_EQ(packs.install(source("ko.lproj/Localizable.strings")).id, "ko");
    EXPECT_EQ(packs.install(source("pt-BR.LPROJ/Localizable.strings")).id, "pt-BR");
}

TEST_F(LanguagePackStoreTest, FileNamesAndContentsAreCheckedBeforeAnythingIsWritten) {
    const std::string valid = "\"a\" = \"b\";";
    const struct {
        std::string name;
        std::string bytes;
        std::optional<Code> expected;
    } cases[] = {
        {"Localizable.strings", valid, Code::invalidFileName}, // eleven letters
        {"e.strings", valid, Code::invalidFileName},
        {"english.strings", valid, Code::invalidFileName},
        {"pt_BR.strings", valid, Code::invalidFileName},
        {"..strings", valid, Code::invalidFileName},
        {"ja.strings", valid, Code::builtInLanguage},
        {"en.lproj/Localizable.strings", valid, Code::builtInLanguage},
        {"x/en.strings", "not even read", Code::builtInLanguage},
        {"fr.strings", "/* empty */", Code::invalidStringsFile},
        {"it.strings", "\"a\" = (\"b\");", Code::invalidStringsFile},
        {"JA.strings", valid, std::nullopt},
        {"en-GB.strings", valid, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(packErrorOf([&] { packs.install(source(c.name, c.bytes)); }), c.expected) << c.name;
    }
    EXPECT_THROW(packs.install(source("es.strings", "\x89PNG\r\n\x1a\n\xff\xfe")), StringsFileError);
    EXPECT_THROW(packs.install(source("nl.strings", "\"a\" = \"\xC0\xAF\";")), StringsFileError);
    try {
        packs.install(source(
            "sv.strings", "\"a\" = \"" + std::string(LanguagePackStore::maxStringsFileBytes, 'x') + "\";"));
        ADD_FAILURE() << "an oversized file was installed";
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::errc::file_too_large);
    }
    EXPECT_THROW(packs.install(world.path() / "picked" / "absent" / "da.strings"), fs::filesystem_error);
    EXPECT_EQ(ids(), (std::vector<std::string>{"en-GB", "JA"}));
    EXPECT_EQ(packErrorOf([&] { throw LanguagePackStore::PackError(Code::builtInLanguage); }),
              Code::builtInLanguage);
}

// The pack's folder is named code + ".bundle": a code whose folder name would pass a file
// system's 255 bytes is refused by its name, before anything is written (it failed to install).
TEST_F(LanguagePackStoreTest, ACodeMustLeaveRoomForThePacksFolderName) {
    std::string code = "de";
    for (int i = 0; i < 27; ++i) code += "-abcdefgh";
    const std::string longest = code + "-ab", tooLong = code + "-abc"; // 248 and 249 bytes
    EXPECT_EQ(packErrorOf([&] { packs.install(source(tooLong + ".lproj/Localizable.strings")); }),
              Code::invalidFileName);
    EXPECT_EQ(ids(), std::vector<std::string>{});
    EXPECT_EQ(packs.install(source(longest + ".lproj/Localizable.strings")).id, longest);
    EXPECT_TRUE(fs::is_directory(world.packs() / (longest + ".bundle")));
}

TEST_F(LanguagePackStoreTest, ACodeTakenInAnyCaseOrByAnyEntryIsAlreadyInstalled) {
    packs.install(source("fr.strings"));
    fs::create_directories(world.packs());
    fs::create_symlink(world.path() / "nowhere", world.packs() / "ko.bundle"); // dangling
    fs::create_symlink(world.path() / "picked", world.packs() / "it.bundle");
    for (const char* name :
         {"fr.strings", "FR.strings", "fr.lproj/Localizable.strings", "ko.strings", "it.strings"}) {
        EXPECT_EQ(packErrorOf([&] { packs.install(source(name)); }), Code::alreadyInstalled) << name;
    }
    EXPECT_FALSE(fs::exists(world.path() / "nowhere")) << "nothing is written through a link";
}

TEST_F(LanguagePackStoreTest, ListingKeepsOnlyPackFoldersSortedByOwnName) {
    packs.install(source("fr.strings"));
    packs.install(source("de.strings"));
    fs::create_directories(world.packs() / "notes");
    fs::create_directories(world.packs() / "bad code.bundle");
    fs::create_directories(world.packs() / ".hidden.bundle");
    test::writeFile(world.packs() / "zz.bundle", "a file, not a folder");
    int notified = 0;
    Connection observer = packs.changed().connect([&] { ++notified; });
    packs.reload();
    EXPECT_EQ(notified, 0) << "an unchanged list notifies nobody";
    ASSERT_EQ(packs.installedLanguages().size(), 2u);
    EXPECT_EQ(packs.installedLanguages()[0], (AppLanguage{"de", "Deutsch", false}));
    EXPECT_EQ(packs.installedLanguages()[1], (AppLanguage{"fr", "français", false}));
}

TEST_F(LanguagePackStoreTest, RemovingThePackInUseGoesBackToSystem) {
    const AppLanguage fr = packs.install(source("fr.strings"));
    packs.install(source("de.strings"));
    languages.select("fr");
    packs.remove(AppLanguage{"ja", "日本語", true}); // built in: nothing
    packs.remove(fr);
    EXPECT_FALSE(fs::exists(world.packs() / "fr.bundle"));
    EXPECT_EQ(ids(), std::vector<std::string>{"de"});
    EXPECT_EQ(languages.selectedLanguageID(), "system");
    EXPECT_EQ(world.defaults().string("LumavanePreferredLanguage"), "system");
    EXPECT_THROW(packs.remove(fr), fs::filesystem_error);
    EXPECT_THROW(packs.remove(AppLanguage{"../picked", "x", false}), fs::filesystem_error);
    EXPECT_TRUE(fs::exists(world.path() / "picked" / "fr.strings"));

    // A linked pack: only the link goes.
    fs::create_symlink(world.path() / "picked", world.packs() / "ko.bundle");
    packs.remove(AppLanguage{"ko", "한국어", false});
    EXPECT_TRUE(fs::exists(world.path() / "picked" / "de.strings"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(world.packs() / "ko.bundle")));
}

} // namespace
} // namespace lumavane
