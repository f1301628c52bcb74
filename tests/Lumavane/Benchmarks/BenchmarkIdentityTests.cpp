#include "Lumavane/Benchmarks/BenchmarkIdentity.hpp"
#include "Platform/System/MachineFacts.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace lumavane {
namespace {

TEST(BenchmarkIdentity, ModelKeysEscapeBarsOnlyWhereAFieldHoldsOne) {
    const std::tuple<std::array<const char*, 4>, const char*> cases[] = {
        {{"Vendor X1", "org.example", "1.0", "fast"}, "Vendor X1|org.example|1.0|fast"},
        {{"m\\", "a", "1", "v"}, "m\\|a|1|v"}, // stored keys without a bar stay as they were
        {{"m", "a|b", "1", "v"}, "m|a\\|b|1|v"},
        {{"m", "a", "b|1", "v"}, "m|a|b\\|1|v"},
        {{"m\\", "a|b", "1", "v"}, "m\\\\|a\\|b|1|v"},
    };
    std::set<std::string> keys;
    for (const auto& [fields, expected] : cases) {
        const auto key = modelBenchmarkKey(fields[0], fields[1], fields[2], fields[3]);
        EXPECT_EQ(key, expected);
        keys.insert(key);
    }
    EXPECT_EQ(keys.size(), std::size(cases));
    EXPECT_EQ(hardwareModelIdentifier("no.such.name"), "unavailable");
    EXPECT_NE(hardwareModelIdentifier("kern.osversion"), "unavailable");
}

class DefaultBenchmarkIdentityTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeModel("Fast", std::string(64, 'a'));
        writeModel("Quality", std::string(64, 'b'));
        ModelSeriesManifest manifest;
        manifest.id = "lumavane.compact-4x";
        manifest.version = "1.0";
        manifest.variants = {variant("v-fast", "fast"), variant("v-other", std::nullopt),
                             variant("v-quality", "quality")};
        inputs = {"42",
                  "Vendor X1",
                  "Debian 12 6.1.0 #1",
                  "llvmpipe",
                  manifest,
                  {{BundledModelPreset::fast, folder.path() / "Fast"},
                   {BundledModelPreset::quality, folder.path() / "Quality"}}};
    }

    static ModelSeriesManifest::Variant variant(std::string id, std::optional<std::string> role) {
        ModelSeriesManifest::Variant variant;
        variant.id = std::move(id);
        variant.role = std::move(role);
        return variant;
    }

    void writeModel(const std::string& name, const std::string& checkpoint) {
        std::filesystem::create_directories(folder.path() / name);
        std::ofstream(folder.path() / name / "manifest.json")
            << nlohmann::json{{"architecture", "Compact"}, {"checkpoint_sha256", checkpoint}}.dump();
    }

    test::TemporaryDirectory folder;
    DefaultBenchmarkIdentityInputs inputs;
};

TEST_F(DefaultBenchmarkIdentityTest, ChangesWithTheMachineTheSystemTheBuildAndEachShippedModel) {
    const auto identity = defaultBenchmarkIdentity(inputs);
    ASSERT_TRUE(identity);
    EXPECT_EQ(
        identity->rfind(
            "default-benchmark-v2|42|Vendor X1|llvmpipe|Debian 12 6.1.0 #1|lumavane.compact-4x|1.0|5|30|"
            "fast|v-fast|" +
                std::string(64, 'a') + "|",
            0),
        0u)
        << *identity;
    EXPECT_EQ(std::count(identity->begin(), identity->end(), '|'), 16);
    // Ends with the SHA-256 of the quality model's manifest.json, as sha256sum prints it.
    EXPECT_EQ(identity->substr(identity->size() - 65),
              "|9a4da094680274b24adc829888edf59f0cb07ba54ea34b881473ccaf94e2168f");
    EXPECT_EQ(defaultBenchmarkIdentity(inputs), identity);

    const std::pair<const char*, std::function<void()>> changes[] = {
        {"machine", [&] { inputs.hardwareModel = "Vendor X2"; }},
        {"device", [&] { inputs.machine = "other"; }},
        {"system build", [&] { inputs.operatingSystemBuild = "Debian 12 6.1.0 #2"; }},
        {"app build", [&] { inputs.appBuild = "43"; }},
        {"quality checkpoint", [&] { writeModel("Quality", std::string(64, 'c')); }},
        {"fast manifest bytes",
         [&] { std::ofstream(folder.path() / "Fast" / "manifest.json", std::ios::app) << "\n"; }},
    };
    for (const auto& [what, change] : changes) {
        SetUp();
        change();
        const auto changed = defaultBenchmarkIdentity(inputs);
        ASSERT_TRUE(changed) << what;
        EXPECT_NE(*changed, *identity) << what;
    }

    SetUp();
    writeModel("Quality", std::string(64, 'B'));
    EXPECT_NE(defaultBenchmarkIdentity(inputs)->find("|v-quality|" + std::string(64, 'b') + "|"),
              std::string::npos);
}

TEST_F(DefaultBenchmarkIdentityTest, IsAbsentWithoutEverythingItNames) {
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"no manifest", [&] { inputs.manifest.reset(); }},
        {"no quality role", [&] { inputs.manifest->variants.pop_back(); }},
        {"no fast folder", [&] { inputs.modelURLs.erase(BundledModelPreset::fast); }},
        {"63 digits", [&] { writeModel("Fast", std::string(63, 'a')); }},
        {"not hexadecimal", [&] { writeModel("Fast", std::string(63, 'a') + "g"); }},
        {"unreadable", [&] { std::filesystem::remove(folder.path() / "Quality" / "manifest.json"); }},
        {"not JSON", [&] { std::ofstream(folder.path() / "Fast" / "manifest.json") << "{"; }},
    };
    for (const auto& [what, change] : cases) {
        SetUp();
        change();
        EXPECT_FALSE(defaultBenchmarkIdentity(inputs)) << what;
    }
}

} // namespace
} // namespace lumavane
