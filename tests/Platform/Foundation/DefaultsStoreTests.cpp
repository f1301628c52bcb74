#include "Platform/Foundation/DefaultsStore.hpp"

#include "support/ScopedEnv.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(DefaultsStore, EveryTypeRoundTripsThroughTheFileAndWrongTypesReadAsAbsent) {
    test::TemporaryDirectory folder;
    const fs::path file = folder.path() / "nested" / "defaults.json";
    const DefaultsValue::Dictionary tagged{{"$type", "data"}, {"value", "AAEC"}};
    const DefaultsValue::Array mixed{true, std::int64_t{-7}, 0.5, "text"};
    {
        DefaultsStore store(file);
        store.set("bool", false);
        store.set("int", std::int64_t{1} << 62);
        store.set("whole double", 2.0);
        store.set("infinity", HUGE_VAL);
        store.set("string", "日本語");
        store.set("data", DefaultsValue::Data{0, 1, 2, 255, 254});
        store.set("date", DefaultsDate{-978307200.25});
        store.set("languages", std::vector<std::string>{"fr", "en"});
        store.set("mixed", mixed);
        store.set("looks tagged", tagged);
        store.set("gone", 1);
        store.remove("gone");
        store.synchronize();
    }
    // A copy has no live store yet, so it is read from the file.
    const fs::path copy = folder.path() / "copy.json";
    fs::copy_file(file, copy);
    DefaultsStore store(copy);
    EXPECT_EQ(store.boolean("bool"), false);
    EXPECT_EQ(store.integer("int"), std::int64_t{1} << 62);
    EXPECT_EQ(store.real("whole double"), 2.0);
    EXPECT_EQ(store.real("infinity"), HUGE_VAL);
    EXPECT_EQ(store.string("string"), "日本語");
    EXPECT_EQ(store.data("data"), (DefaultsValue::Data{0, 1, 2, 255, 254}));
    EXPECT_EQ(store.date("date"), DefaultsDate{-978307200.25});
    EXPECT_EQ(store.stringArray("languages"), (std::vector<std::string>{"fr", "en"}));
    EXPECT_EQ(store.array("mixed"), mixed);
    EXPECT_EQ(store.dictionary("looks tagged"), tagged);
    EXPECT_FALSE(store.contains("gone"));
    EXPECT_EQ(store.keys().size(), 10u);
    EXPECT_EQ(store.dictionaryRepresentation().at("int"), DefaultsValue(std::int64_t{1} << 62));

    // Wrong types are absent, not converted.
    EXPECT_FALSE(store.integer("whole double"));
    EXPECT_FALSE(store.real("int"));
    EXPECT_FALSE(store.string("data"));
    EXPECT_FALSE(store.boolean("int"));
    EXPECT_FALSE(store.stringArray("mixed"));
    EXPECT_FALSE(store.data("looks tagged"));
}

TEST(DefaultsStore, HandWrittenAndBrokenFilesReadSafely) {
    test::TemporaryDirectory folder;
    const fs::path file = folder.path() / "defaults.json";
    std::ofstream(file)
        << R"({"n": null, "big": 18446744073709551615, "badData": {"$type": "data", "value": "*"},
                            "player.language": "en"})";
    {
        DefaultsStore store(file);
        EXPECT_FALSE(store.contains("n"));
        EXPECT_EQ(store.real("big"), 18446744073709551615.0);
        EXPECT_FALSE(store.data("badData"));
        EXPECT_EQ(store.string("player.language"), "en");
    }
    // An unusable file reads as empty and is kept beside the new one, which holds what was set;
    // an earlier kept copy is not replaced. One nested 50,000 deep overflowed the stack at every
    // launch, before it could be set aside.
    const std::string deep = "{\"a\": " + std::string(50000, '[') + std::string(50000, ']') + "}";
    for (const std::string& broken :
         {std::string("{\"a\": 1e999}"), std::string("[1, 2]"), std::string("{\"a\": tru"), deep}) {
        SCOPED_TRACE(broken.substr(0, 20));
        const fs::path other = folder.path() / "broken" / "defaults.json";
        fs::create_directories(other.parent_path());
        // The previous store's queued write holds its values until it has run; only then does a
        // new store read the file.
        for (int attempt = 0; attempt < 500; ++attempt) {
            fs::remove(other);
            if (DefaultsStore(other).keys().empty()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::ofstream(other) << broken;
        DefaultsStore store(other);
        EXPECT_TRUE(store.keys().empty());
        store.set("volume", 0.5);
        store.synchronize();
        EXPECT_EQ(nlohmann::json::parse(contentsOf(other)), nlohmann::json({{"volume", 0.5}}));
        store.set("volume", 0.25);
        store.synchronize();
    }
    std::vector<std::string> kept;
    for (const auto& entry : fs::directory_iterator(folder.path() / "broken")) {
        if (entry.path().filename() != "defaults.json") kept.push_back(contentsOf(entry.path()));
        EXPECT_TRUE(entry.path().filename().string().starts_with("defaults.json")) << entry.path();
    }
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{"[1, 2]", "{\"a\": 1e999}", deep, "{\"a\": tru"}));
}

// Data is strict base64: padding only at the end, no whitespace, nothing outside the alphabet;
// anything else reads as absent. Every byte value and every padding length round-trips.
TEST(DefaultsStore, DataDecodesStrictBase64AndEveryByteRoundTrips) {
    test::TemporaryDirectory folder;
    const fs::path file = folder.path() / "defaults.json";
    const std::pair<const char*, std::optional<DefaultsValue::Data>> rows[] = {
        {"", DefaultsValue::Data{}},
        {"AA==", DefaultsValue::Data{0}},
        {"AAE=", DefaultsValue::Data{0, 1}},
        {"AAEC", DefaultsValue::Data{0, 1, 2}},
        {"+/+/", DefaultsValue::Data{0xfb, 0xff, 0xbf}},
        {"AB==", DefaultsValue::Data{0}}, // bits past the end are ignored
        {"AAECAw==", DefaultsValue::Data{0, 1, 2, 3}},
        {"AAE", std::nullopt},
        {"AAECA", std::nullopt},
        {"A===", std::nullopt},
        {"====", std::nullopt},
        {"AA=A", std::nullopt},
        {"A=A=", std::nullopt},
        {"AA==AAAA", std::nullopt},
        {"AAE*", std::nullopt},
        {"-_AA", std::nullopt},
        {"AAé", std::nullopt},
        {" AAE", std::nullopt},
        {"AAAA\\nAAAA", std::nullopt}, // escaped in the file: the value holds a line break
        {"AA\\tA", std::nullopt},
        {"AA\\u0000A", std::nullopt},
    };
    {
        std::ofstream out(file, std::ios::binary);
        for (std::size_t i = 0; i < std::size(rows); ++i)
            out << (i ? ",\n" : "{") << "\"" << i << "\": {\"$type\": \"data\", \"value\": \""
                << rows[i].first << "\"}";
        out << "}";
    }
    {
        DefaultsStore store(file);
        for (std::size_t i = 0; i < std::size(rows); ++i)
            EXPECT_EQ(store.data(std::to_string(i)), rows[i].second) << rows[i].first;
    }
    DefaultsValue::Data everyByte;
    for (int i = 0; i < 256; ++i) everyByte.push_back(std::uint8_t(i));
    const fs::path written = folder.path() / "written.json";
    {
        DefaultsStore store(written);
        for (std::size_t n = 0; n < 4; ++n)
            store.set(std::to_string(n), DefaultsValue::Data(everyByte.begin() + n, everyByte.end()));
        store.synchronize();
    }
    fs::copy_file(written, folder.path() / "copy.json");
    DefaultsStore store(folder.path() / "copy.json");
    for (std::size_t n = 0; n < 4; ++n)
        EXPECT_EQ(store.data(std::to_string(n)), DefaultsValue::Data(everyByte.begin() + n, everyByte.end()));
}

// Loading costs memory and time with the file's size and its number of values: a file of millions
// of small objects took gigabytes and half a minute before the window came, and 15.6 MB holding one
// array of 3.9 million strings 560 MB. One past either limit is set aside whole, as a malformed one
// is; the items of arrays count as values; the largest file the player itself writes loads.
TEST(DefaultsStore, FilesPastTheSizeOrValueLimitAreSetAsideWholeAndLargeRealOnesLoad) {
    test::TemporaryDirectory folder;
    std::string manyValues = "{\"player.language\": \"en\", \"player.autoModes.v2\": {";
    for (int i = 0; i < 120000; ++i) manyValues += (i ? ", \"" : "\"") + std::to_string(i) + "\": 1";
    manyValues += "}}";
    std::string manyItems = "{\"player.language\": \"en\", \"player.history\": [\"a\"";
    for (int i = 1; i < 3900000; ++i) manyItems += ",\"a\"";
    manyItems += "]}";
    ASSERT_LT(manyItems.size(), 16u << 20);
    const std::string hugeText =
        "{\"player.language\": \"en\", \"blob\": \"" + std::string(17 << 20, 'a') + "\"}";
    for (const std::string* hostile :
         std::initializer_list<const std::string*>{&manyValues, &manyItems, &hugeText}) {
        const fs::path file = folder.path() / std::to_string(hostile->size()) / "defaults.json";
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << *hostile;
        DefaultsStore store(file);
        EXPECT_TRUE(store.keys().empty());
        store.set("volume", 0.5);
        store.synchronize();
        EXPECT_TRUE(nlohmann::json::parse(contentsOf(file)) == nlohmann::json({{"volume", 0.5}}));
        // Everything the user had is in the copy set aside, byte for byte.
        std::vector<fs::path> aside;
        for (const auto& entry : fs::directory_iterator(file.parent_path()))
            if (entry.path() != file) aside.push_back(entry.path());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_TRUE(aside[0].filename().string().starts_with("defaults.json.corrupt-")) << aside[0];
        EXPECT_TRUE(contentsOf(aside[0]) == *hostile);
    }

    // A long-used player's file: a full history and hundreds of benchmark reports as data,
    // thousands of remembered automatic choices, imported series, window frames and settings.
    const fs::path file = folder.path() / "real" / "defaults.json";
    DefaultsValue::Dictionary autoModes;
    for (int i = 0; i < 5000; ++i) autoModes.emplace("v2|pocl|" + std::to_string(i) + "x1080|24|最適", "高速");
    const DefaultsValue::Data history(50 * 400, 'h'), reports(500 * 700, 'r');
    std::vector<std::string> series;
    for (int i = 0; i < 300; ++i) series.push_back("/home/someone/.local/share/Lumavane/ImportedModels/s" +
                                                   std::to_string(i) + "/model-series.json");
    {
        DefaultsStore store(file);
        store.set("player.history", history);
        store.set("player.modelBenchmarks", reports);
        store.set("player.autoModes.v2", autoModes);
        store.set("player.modelSeries", series);
        for (int i = 0; i < 100; ++i) store.set("window.frame." + std::to_string(i), "10 20 1240 780");
        store.set("LumavanePreferredLanguage", "en");
        store.synchronize();
    }
    const fs::path copy = folder.path() / "real" / "copy.json";
    fs::copy_file(file, copy);
    DefaultsStore store(copy);
    EXPECT_EQ(store.data("player.history"), history);
    EXPECT_EQ(store.data("player.modelBenchmarks"), reports);
    EXPECT_EQ(store.dictionary("player.autoModes.v2"), autoModes);
    EXPECT_EQ(store.stringArray("player.modelSeries"), series);
    EXPECT_EQ(store.string("LumavanePreferredLanguage"), "en");
    EXPECT_EQ(store.keys().size(), 105u);
}

// The failure to keep an unusable file is reported as it is: the checks after link() used to
// overwrite errno, so a folder the user may not write to read "No such file or directory".
TEST(DefaultsStore, AFileThatCannotBeSetAsideReportsWhy) {
    test::TemporaryDirectory folder;
    fs::permissions(folder.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec);
    const fs::path file = folder.path() / "defaults.json";
    std::ofstream(file) << "{\"a\": tru";
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Another user, who may read the folder but not write to it (root writes anywhere).
        if (::geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(98);
        if (::geteuid() == 0) _exit(98);
        DefaultsStore store(file);
        store.set("volume", 0.5);
        try {
            store.synchronize();
        } catch (const fs::filesystem_error& error) {
            _exit(error.code() == std::errc::permission_denied ? 0 : 10 + error.code().value());
        }
        _exit(97);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 + errno reported: ENOENT is 12";
    EXPECT_EQ(contentsOf(file), "{\"a\": tru");
}

// Indenting every level made a file of 5,000 levels grow from 10 KB to 50 MB at the next write.
TEST(DefaultsStore, TheFileGrowsWithWhatItHoldsNotWithTheSquareOfItsDepth) {
    test::TemporaryDirectory folder;
    const fs::path file = folder.path() / "defaults.json";
    DefaultsValue value = DefaultsValue::Array{};
    for (int depth = 0; depth < 200; ++depth) value = DefaultsValue::Array{std::move(value), depth};
    {
        DefaultsStore store(file);
        store.set("deep", value);
        store.set("player.language", "ja");
        store.synchronize();
    }
    const std::string text = contentsOf(file);
    EXPECT_LT(text.size(), 2000u); // about 1,300 bytes of values; indented, over 80,000
    // Still one key a line, and a file that reads back.
    EXPECT_NE(text.find("\n  \"player.language\": \"ja\"\n"), std::string::npos) << text;
    const fs::path copy = folder.path() / "copy.json";
    fs::copy_file(file, copy);
    EXPECT_EQ(DefaultsStore(copy).value("deep"), value);
}

TEST(DefaultsStore, TwoStoresOfOneFileShareValuesAndObserversHearOnlyRealChangesOfTheirKey) {
    test::TemporaryDirectory folder;
    DefaultsStore first(folder.path() / "defaults.json");
    DefaultsStore second(folder.path() / "." / "defaults.json");
    int languageChanges = 0;
    std::vector<std::string> anyChanges;
    Connection language = first.observe("language", [&] { ++languageChanges; });
    Connection any = first.observeAll([&](const std::string& key) { anyChanges.push_back(key); });

    second.set("language", "en");
    EXPECT_EQ(first.string("language"), "en");
    second.set("language", "en"); // same value: no change
    second.set("volume", 0.5);
    first.remove("language");
    first.remove("language"); // already absent: no change
    EXPECT_FALSE(second.contains("language"));
    EXPECT_EQ(languageChanges, 2);
    EXPECT_EQ(anyChanges, (std::vector<std::string>{"language", "volume", "language"}));

    language.disconnect();
    second.set("language", "ja");
    EXPECT_EQ(languageChanges, 2);
}

TEST(DefaultsStore, CoalescedBackgroundWritesReachTheFileAndSynchronizeFlushes) {
    test::TemporaryDirectory folder;
    const fs::path file = folder.path() / "defaults.json";
    DefaultsStore store(file);
    for (int i = 0; i < 200; ++i) store.set("counter", i);
    store.synchronize();
    EXPECT_EQ(nlohmann::json::parse(contentsOf(file)).at("counter"), 199);
    // Nothing else is left in the folder (no temporary files).
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);
}

TEST(DefaultsStore, AWriterKilledAtAnyMomentLeavesAWholeFile) {
    test::TemporaryDirectory folder;
    const fs::path file = folder.path() / "defaults.json";
    for (int round = 0; round < 6; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            DefaultsStore store(file);
            for (int i = 0;; ++i) {
                // Each value is long enough that a write takes several system calls.
                const int length = 200000 + (i % 7) * 1000;
                store.set("record", DefaultsValue::Dictionary{
                                        {"blob", std::string(length, static_cast<char>('a' + i % 26))},
                                        {"length", length}});
                store.synchronize();
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(15 + 7 * round));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        if (!fs::exists(file)) continue; // killed before the first rename
        const nlohmann::json document = nlohmann::json::parse(contentsOf(file));
        const std::string blob = document.at("record").at("blob").get<std::string>();
        EXPECT_EQ(static_cast<std::int64_t>(blob.size()),
                  document.at("record").at("length").get<std::int64_t>());
        EXPECT_EQ(blob.find_first_not_of(blob[0]), std::string::npos);
    }
}

TEST(DefaultsStore, PreferredLanguagesFollowTheLocaleEnvironment) {
    struct Case {
        const char* language;
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"fr_CA:fr:en", nullptr, nullptr, "de_DE.UTF-8", {"fr-CA", "fr", "en", "de-DE"}},
        {nullptr, "", "pt_BR.UTF-8@euro", "ja_JP.UTF-8", {"pt-BR"}},
        {"", "C.UTF-8", "ja_JP", "en_US", {}},
        {"en::en_GB", "en_GB.UTF-8", nullptr, nullptr, {"en", "en-GB"}},
        {nullptr, nullptr, nullptr, nullptr, {}},
    };
    for (const Case& c : cases) {
        test::ScopedEnv language("LANGUAGE", c.language);
        test::ScopedEnv lcAll("LC_ALL", c.lcAll);
        test::ScopedEnv lcMessages("LC_MESSAGES", c.lcMessages);
        test::ScopedEnv lang("LANG", c.lang);
        EXPECT_EQ(preferredLanguages(), c.expected) << (c.language ? c.language : "-");
    }
}

} // namespace
} // namespace lumavane
