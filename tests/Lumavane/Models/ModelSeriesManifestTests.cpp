#include "Lumavane/Models/ModelSeriesManifest.hpp"
#include "Lumavane/Models/ModelsTestSupport.hpp"

#include "Lumavane/Localization/StringsFile.hpp"
#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include <gtest/gtest.h>

namespace lumavane::test {
namespace {
namespace fs = std::filesystem;
using Json = nlohmann::json;
using ManifestError = ModelSeriesManifest::ManifestError;

TEST(ModelSeriesManifest, ShippedSeriesLoads) {
    const fs::path url = fs::path(LUMAVANE_SOURCE_DIR) / "resources/Models/model-series.json";
    const ModelSeriesManifest manifest = ModelSeriesManifest::load(url);
    EXPECT_EQ(manifest.id, "lumavane.compact-4x");
    ASSERT_EQ(manifest.variants.size(), 2u);
    EXPECT_EQ(manifest.variants[0].preset(), BundledModelPreset::fast);
    EXPECT_EQ(manifest.variants[1].preset(), BundledModelPreset::quality);
    EXPECT_EQ(ModelSeriesManifest::modelURL(manifest.variants[1], url),
              fs::canonical(url.parent_path() / "Lumavane-Quality-4x"));
}

// A series folder with compact models of scale 4, 2 and 3, a Core ML model, a link that leads out
// of the folder and one that stays inside.
class SeriesFolder : public ScratchFolder {
protected:
    void SetUp() override {
        series_ = folder_ / "series";
        writeText(series_ / "Fast/manifest.json", compactFolderManifest(4));
        writeText(series_ / "Two/manifest.json", compactFolderManifest(2));
        writeText(series_ / "Three/manifest.json", compactFolderManifest(3));
        writeText(series_ / "Model.mlmodel", "model");
        writeText(folder_ / "Outside/manifest.json", compactFolderManifest(4));
        fs::create_directory_symlink(folder_ / "Outside", series_ / "Escape");
        fs::create_directory_symlink(series_ / "Fast", series_ / "FastLink");
    }

    // "ok", "invalid", "invalidPath", "decoding" or another exception's text.
    std::string outcome(const Json& manifest) {
        writeText(series_ / "model-series.json", manifest.dump());
        try {
            ModelSeriesManifest::load(series_ / "model-series.json");
            return "ok";
        } catch (const ManifestError& e) {
            return e.errorCase() == ManifestError::invalid ? "invalid" : "invalidPath";
        } catch (const JSONDecodingError&) {
            return "decoding";
        } catch (const std::exception& e) {
            return e.what();
        }
    }

    fs::path series_;
};

// Each case merge-patches the manifest, its first variant and, when given, a copy of that variant
// added as a second one.
TEST_F(SeriesFolder, EveryRuleOfTheManifest) {
    const char* coreml = R"({"role":null,"path":"Model.mlmodel","format":"coreml","outputScales":[2],)"
                         R"("supportsOptimal":false})";
    const struct {
        const char* what;
        std::string manifest, first, second;
        const char* expected;
    } cases[] = {
        {"as written", "{}", "{}", "", "ok"},
        {"schema 2", R"({"schemaVersion":2})", "{}", "", "invalid"},
        {"no description", R"({"description":null})", "{}", "", "decoding"},
        {"id of spaces", R"({"id":"  "})", "{}", "", "ok"},
        {"empty license", R"({"license":""})", "{}", "", "invalid"},
        {"author URL not a URL", R"({"author":{"url":"not a url"}})", "{}", "", "decoding"},
        {"category", R"({"category":"cartoon"})", "{}", "", "invalid"},
        {"no variants", R"({"variants":[]})", "{}", "", "invalid"},
        {"same id twice", "{}", "{}", R"({"role":null})", "invalid"},
        {"two fast roles", "{}", "{}", R"({"id":"b"})", "invalid"},
        {"two without role", "{}", R"({"role":null})", R"({"id":"b"})", "ok"},
        {"unknown role", "{}", R"({"role":"turbo"})", "", "invalid"},
        {"unknown format", "{}", R"({"format":"onnx"})", "", "invalid"},
        {"scales 4, 2", "{}", R"({"outputScales":[4,2]})", "", "ok"},
        {"scales 2, 2", "{}", R"({"outputScales":[2,2]})", "", "invalid"},
        {"scale 3", "{}", R"({"outputScales":[3]})", "", "invalid"},
        {"no scales", "{}", R"({"outputScales":[]})", "", "invalid"},
        {"Core ML", "{}", coreml, "", "ok"},
        {"Core ML at 4x", "{}", coreml, R"({"id":"b","outputScales":[2,4]})", "invalid"},
        {"Core ML optimal", "{}", coreml, R"({"id":"b","supportsOptimal":true})", "invalid"},
        {"Core ML naming a compact folder", "{}", coreml, R"({"id":"b","path":"Two"})", "invalid"},
        {"compact naming a Core ML model", "{}", R"({"path":"Model.mlmodel"})", "", "invalid"},
        {"2x folder, 2 only", "{}", R"({"path":"Two","outputScales":[2],"supportsOptimal":false})", "", "ok"},
        {"2x folder offered at 4x", "{}", R"({"path":"Two","supportsOptimal":false})", "", "invalid"},
        {"2x folder optimal", "{}", R"({"path":"Two","outputScales":[2]})", "", "invalid"},
        {"3x folder", "{}", R"({"path":"Three"})", "", "invalid"},
        {"dot piece", "{}", R"({"path":"./Fast"})", "", "ok"},
        {"absolute", "{}", R"({"path":"/etc"})", "", "invalidPath"},
        {"colon", "{}", R"({"path":"Fast:1"})", "", "invalidPath"},
        {"climbs out", "{}", R"({"path":"../series/Fast"})", "", "invalidPath"},
        {"link out", "{}", R"({"path":"Escape"})", "", "invalidPath"},
        {"nothing there", "{}", R"({"path":"Missing"})", "", "invalidPath"},
        {"the folder itself", "{}", R"({"path":"."})", "", "invalidPath"}};
    for (const auto& c : cases) {
        Json manifest = seriesManifest();
        manifest["variants"][0].merge_patch(Json::parse(c.first));
        if (!c.second.empty()) {
            Json second = manifest["variants"][0];
            second.merge_patch(Json::parse(c.second));
            manifest["variants"].push_back(second);
        }
        manifest.merge_patch(Json::parse(c.manifest));
        EXPECT_EQ(outcome(manifest), c.expected) << c.what;
    }
}

// A package may hold a huge file under the manifest's name; it is refused before it is read, with
// a message of its own (a file-system error would name the private staging path).
TEST_F(SeriesFolder, OversizedManifestIsNotRead) {
    writeText(series_ / "model-series.json", std::string(4 * 1024 * 1024 + 1, ' '));
    try {
        ModelSeriesManifest::load(series_ / "model-series.json");
        ADD_FAILURE() << "loaded";
    } catch (const ModelSeriesManifest::ManifestError& e) {
        EXPECT_EQ(e.errorCase(), ModelSeriesManifest::ManifestError::tooLarge);
    }
    // The message is in both shipped tables.
    for (const char* language : {"en", "ja"}) {
        const auto table = parseStringsFile(
            files::readWholeText(fs::path(LUMAVANE_SOURCE_DIR) / "resources/Lumavane_Lumavane.bundle" /
                                 (std::string(language) + ".lproj") / "Localizable.strings"));
        EXPECT_TRUE(table.strings.count(
            ModelSeriesManifest::ManifestError(ModelSeriesManifest::ManifestError::tooLarge).what()))
            << language;
    }
}

// Nesting past the bound is a decoding error, even under a key the manifest does not read.
TEST_F(SeriesFolder, ADeeplyNestedManifestIsADecodingError) {
    Json manifest = seriesManifest();
    std::string deep = std::string(50000, '[') + std::string(50000, ']');
    std::string text = manifest.dump();
    text.insert(1, "\"extra\": " + deep + ", ");
    writeText(series_ / "model-series.json", text);
    EXPECT_THROW(ModelSeriesManifest::load(series_ / "model-series.json"), JSONDecodingError);
}

TEST_F(SeriesFolder, ContainsComparesResolvedModelLocations) {
    Json json = seriesManifest();
    json["variants"][0]["path"] = "FastLink";
    writeText(series_ / "model-series.json", json.dump());
    const ImportedModelSeries imported{series_ / "model-series.json",
                                       ModelSeriesManifest::load(series_ / "model-series.json")};
    EXPECT_EQ(imported.id(), "org.example.anime");
    EXPECT_TRUE(imported.contains(series_ / "Fast"));
    EXPECT_TRUE(imported.contains(series_ / "FastLink"));
    EXPECT_FALSE(imported.contains(series_ / "model-series.json"));
    EXPECT_FALSE(imported.contains(series_ / "Two"));
    EXPECT_FALSE(imported.contains(std::nullopt));
}

} // namespace
} // namespace lumavane::test
