#include "Lumavane/Localization/AppLanguageStore.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Localization/LocalizationTestSupport.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace lumavane {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

TEST(AppLanguageStore, StartingChoiceCarriesTheOlderKeyOverOnce) {
    const struct {
        std::optional<std::string> preferred;
        std::optional<std::string> older;
        std::string expected;
    } cases[] = {
        {std::nullopt, std::nullopt, "system"},
        {std::nullopt, "en", "en"},
        {"ja", "en", "ja"},
        {"fr", std::nullopt, "fr"},
    };
    for (const auto& c : cases) {
        test::LocalizationWorld world;
        DefaultsStore defaults = world.defaults();
        if (c.preferred) defaults.set("LumavanePreferredLanguage", *c.preferred);
        if (c.older) defaults.set("player.language", *c.older);
        defaults.set("AppleLanguages", Strings{"de"});
        const AppLanguageStore store(defaults);
        EXPECT_EQ(store.selectedLanguageID(), c.expected);
        EXPECT_EQ(defaults.string("LumavanePreferredLanguage"), c.expected);
        EXPECT_EQ(defaults.string("player.language"), c.older); // read, not rewritten
        EXPECT_EQ(defaults.stringArray("AppleLanguages"), Strings{"de"});
    }
    test::LocalizationWorld world;
    world.defaults().set("LumavanePreferredLanguage", 3); // wrong type: absent
    EXPECT_EQ(AppLanguageStore(world.defaults()).selectedLanguageID(), "system");
}

TEST(AppLanguageStore, SelectWritesBothKeysAndTheLanguageListOnlyOnChange) {
    test::LocalizationWorld world;
    DefaultsStore defaults = world.defaults();
    AppLanguageStore store(defaults);
    int notified = 0;
    int writes = 0;
    Connection observer = store.changed().connect([&] { ++notified; });
    Connection counter = defaults.observeAll([&](const std::string&) { ++writes; });

    store.select("fr");
    EXPECT_EQ(defaults.string("LumavanePreferredLanguage"), "fr");
    EXPECT_EQ(defaults.string("player.language"), "fr");
    EXPECT_EQ(defaults.stringArray("AppleLanguages"), Strings{"fr"});
    const int writesAfterFirst = writes;
    store.setSelectedLanguageID("fr");
    EXPECT_EQ(writes, writesAfterFirst);
    store.select("system");
    EXPECT_FALSE(defaults.contains("AppleLanguages"));
    EXPECT_EQ(store.selectedLanguageID(), "system");
    EXPECT_EQ(notified, 2);
}

TEST(AppLocalization, SystemLanguageFollowsThePreferenceLists) {
    const Strings shipped{"en", "ja"};
    const struct {
        Strings available;
        Strings preferences;
        std::optional<std::string> expected;
    } cases[] = {
        {shipped, {"ja-JP", "en"}, "ja"},
        {shipped, {"fr", "EN-gb", "ja"}, "en"},
        {shipped, {"fr", "de"}, "en"}, // nothing matches: English
        {shipped, {}, "en"},
        {{"ja", "pt-BR"}, {"pt"}, "pt-BR"},
        {{"ja", "pt-BR"}, {"de"}, "ja"},
        {{}, {"ja"}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AppLocalization::systemLanguageID(c.available, c.preferences), c.expected)
            << (c.preferences.empty() ? "" : c.preferences.front());
    }
    EXPECT_EQ(AppLocalization::fallbackLanguageID("system", shipped, {"ja"}), "ja");
    EXPECT_EQ(AppLocalization::fallbackLanguageID("system", {}, {"ja"}), "en");
    EXPECT_EQ(AppLocalization::fallbackLanguageID("fr", shipped, {"ja"}), "en");
    EXPECT_EQ(AppLocalization::fallbackLanguageID("ja", shipped, {"en"}), "ja");
}

TEST(AppLocalization, LookupsFallBackToEnglishThenToTheKey) {
    test::LocalizationWorld world;
    test::writeFile(world.packs() / "fr.bundle/Contents/Resources/fr.lproj/Localizable.strings",
                    "\"閉じる\" = \"Fermer\";");
    // A table outside the packs folder that a crafted id would reach.
    for (const char* target : {"data/Lumavane/x.bundle/Contents/x.lproj", "data/x.bundle/x.lproj"}) {
        test::writeFile(world.path() / target / "Localizable.strings", "\"閉じる\" = \"escaped\";");
    }
    fs::create_directories(world.path() / "data/Lumavane/x.bundle/Contents/Resources");
    fs::create_directories(world.path() / "data/x.bundle/Contents/Resources");

    const struct {
        std::string id;
        Strings preferences;
        std::string key;
        std::string expected;
    } cases[] = {
        {"en", {}, "閉じる", "Close"},
        {"ja", {}, "閉じる", "閉じる"}, // ja lacks it: the key (the Japanese text)
        {"ja", {}, "view_mode.original", "元映像"},
        {"fr", {}, "閉じる", "Fermer"},
        {"fr", {}, "view_mode.original", "Original"}, // pack lacks it: English
        {"fr", {}, "nowhere", "nowhere"},
        {"JA", {}, "view_mode.original", "Original"}, // not built in: an absent pack
        {"de", {}, "閉じる", "Close"},                // pack removed but still selected: English
        {"../x", {}, "閉じる", "Close"},              // not a code: no path is made
        {"../../x", {}, "閉じる", "Close"},
        {"system", {"ja-JP"}, "view_mode.original", "元映像"},
        {"system", {"ja-JP"}, "閉じる", "閉じる"},
        {"system", {"fr"}, "閉じる", "Close"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AppLocalization::string(c.key, c.id, c.preferences), c.expected) << c.id << " " << c.key;
    }

    // A table changed on disk is read again; a broken one degrades to the fallback.
    test::writeFile(world.packs() / "fr.bundle/Contents/Resources/fr.lproj/Localizable.strings",
                    "\"閉じる\" = \"Fermer la fenêtre\";");
    EXPECT_EQ(AppLocalization::string("閉じる", "fr", {}), "Fermer la fenêtre");
    test::writeFile(world.packs() / "fr.bundle/Contents/Resources/fr.lproj/Localizable.strings",
                    "\"閉じる\" = ");
    EXPECT_EQ(AppLocalization::string("閉じる", "fr", {}), "Close");

    // No resources at all: "system" has nothing to choose from and gives the key.
    test::ResourcesOverride empty(world.path() / "none");
    EXPECT_EQ(AppLocalization::string("閉じる", "system", {"en"}), "閉じる");
    EXPECT_EQ(AppLocalization::string("閉じる", "fr", {}), "閉じる");
}

TEST(AppLocalization, FormatUsesTheSelectedLanguageAndItsLocale) {
    test::LocalizationWorld world;
    DefaultsStore defaults = world.defaults();
    test::ScopedEnv language("LANGUAGE", "en");
    test::ScopedEnv lcAll("LC_ALL", "de_DE.UTF-8");

    defaults.set("LumavanePreferredLanguage", "en");
    EXPECT_EQ(AppLocalization::format("%1$@ の %2$lld 件目", "list", 3), "item 3 of list");
    EXPECT_EQ(AppLocalization::format("%.1f fps", 29.97), "30.0 fps");
    defaults.set("LumavanePreferredLanguage", "system"); // the user's own locale: German
    EXPECT_EQ(AppLocalization::format("%.1f fps", 29.97), "30,0 fps");
    defaults.set("LumavanePreferredLanguage", "fr"); // no fr pack: English text, French locale
    EXPECT_EQ(AppLocalization::format("%.1f fps", 29.97), "30,0 fps");

    const struct {
        std::string format;
        std::vector<FormatArgument> arguments;
        std::string expected;
    } cases[] = {
        {"%2$@ / %1$@ / %2$@", {"a", "b"}, "b / a / b"},
        {"%@ %d %lld%% %05.2f %x",
         {"s", 42, std::int64_t(1) << 40, 3.14159, 255},
         "s 42 1099511627776% 03.14 ff"},
        {"%@ %@ %d", {"only"}, "only  "},              // missing arguments stay empty
        {"%d %@ %f", {"7", 2.5, 1}, "7 2.5 1.000000"}, // other kinds are converted
        {"100%! %q", {}, "100%! %q"},                  // not conversions: kept
        {"%0$@ %9$@ end %", {"x"}, "  end %"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AppLocalization::formatString(c.format, "ja", c.arguments), c.expected) << c.format;
    }
}

} // namespace
} // namespace lumavane
