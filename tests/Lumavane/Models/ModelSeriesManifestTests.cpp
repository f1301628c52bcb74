#include "Lumavane/Models/ModelSeriesManifest.hpp"
#include "Lumavane/Models/ModelsTestSupport.hpp"

#include "EnhancementCore/EnhancementError.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include <gtest/gtest.h>

#include <functional>

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

TEST_F(SeriesFolder, EveryRuleOfTheManifest) {
    auto variant = [](Json fields) {
        Json v = seriesManifest()["variants"][0];
        v.update(fields);
        return v;
    };
    const Json coreml = variant({{"id", "ml"},
                                 {"role", nullptr},
                                 {"path", "Model.mlmodel"},
                                 {"format", "coreml"},
                                 {"outputScales", Json::array({2})},
                                 {"supportsOptimal", false}});
    const struct {
        const char* what;
        std::function<void(Json&)> change;
        const char* expected;
    } cases[] = {
        {"as written", [](Json&) {}, "ok"},
        {"schema 2", [](Json& m) { m["schemaVersion"] = 2; }, "invalid"},
        {"no description", [](Json& m) { m.erase("description"); }, "decoding"},
        {"id of spaces", [](Json& m) { m["id"] = "  "; }, "ok"},
        {"empty license", [](Json& m) { m["license"] = ""; }, "invalid"},
        {"empty author", [](Json& m) { m["author"]["name"] = ""; }, "invalid"},
        {"author URL not a URL", [](Json& m) { m["author"]["url"] = "not a url"; }, "decoding"},
        {"category", [](Json& m) { m["category"] = "cartoon"; }, "invalid"},
        {"no variants", [](Json& m) { m["variants"] = Json::array(); }, "invalid"},
        {"scale as text", [](Json& m) { m["variants"][0]["outputScales"] = Json::array({"2"}); }, "decoding"},
        {"same id twice",
         [&](Json& m) {
             m["variants"].push_back(variant({{"role", nullptr}}));
         },
         "invalid"},
        {"two fast roles",
         [&](Json& m) {
             m["variants"].push_back(variant({{"id", "b"}}));
         },
         "invalid"},
        {"two without role",
         [&](Json& m) {
             m["variants"][0].erase("role");
             m["variants"].push_back(variant({{"id", "b"}, {"role", nullptr}}));
         },
         "ok"},
        {"unknown role", [](Json& m) { m["variants"][0]["role"] = "turbo"; }, "invalid"},
        {"unknown format", [](Json& m) { m["variants"][0]["format"] = "onnx"; }, "invalid"},
        {"scales 4, 2",
         [](Json& m) {
             m["variants"][0]["outputScales"] = {4, 2};
         },
         "ok"},
        {"scales 2, 2",
         [](Json& m) {
             m["variants"][0]["outputScales"] = {2, 2};
         },
         "invalid"},
        {"scale 3", [](Json& m) { m["variants"][0]["outputScales"] = Json::array({3}); }, "invalid"},
        {"no scales", [](Json& m) { m["variants"][0]["outputScales"] = Json::array(); }, "invalid"},
        {"Core ML", [&](Json& m) { m["variants"].push_back(coreml); }, "ok"},
        {"Core ML at 4x",
         [&](Json& m) {
             m["variants"] = Json::array({coreml}), m["variants"][0]["outputScales"] = {2, 4};
         },
         "invalid"},
        {"Core ML optimal",
         [&](Json& m) { m["variants"] = Json::array({coreml}), m["variants"][0]["supportsOptimal"] = true; },
         "invalid"},
        {"Core ML naming a compact folder",
         [&](Json& m) { m["variants"] = Json::array({coreml}), m["variants"][0]["path"] = "Two"; },
         "invalid"},
        {"compact naming a Core ML model", [](Json& m) { m["variants"][0]["path"] = "Model.mlmodel"; },
         "invalid"},
        {"2x folder, 2 only",
         [](Json& m) {
             m["variants"][0].update(
                 {{"path", "Two"}, {"outputScales", Json::array({2})}, {"supportsOptimal", false}});
         },
         "ok"},
        {"2x folder offered at 4x",
         [](Json& m) {
             m["variants"][0].update({{"path", "Two"}, {"supportsOptimal", false}});
         },
         "invalid"},
        {"2x folder optimal",
         [](Json& m) {
             m["variants"][0].update({{"path", "Two"}, {"outputScales", Json::array({2})}});
         },
         "invalid"},
        {"3x folder", [](Json& m) { m["variants"][0]["path"] = "Three"; }, "invalid"},
        {"dot piece", [](Json& m) { m["variants"][0]["path"] = "./Fast"; }, "ok"},
        {"link inside", [](Json& m) { m["variants"][0]["path"] = "FastLink"; }, "ok"},
        {"absolute", [&](Json& m) { m["variants"][0]["path"] = (series_ / "Fast").string(); }, "invalidPath"},
        {"colon", [](Json& m) { m["variants"][0]["path"] = "Fast:1"; }, "invalidPath"},
        {"climbs out", [](Json& m) { m["variants"][0]["path"] = "../series/Fast"; }, "invalidPath"},
        {"link out", [](Json& m) { m["variants"][0]["path"] = "Escape"; }, "invalidPath"},
        {"nothing there", [](Json& m) { m["variants"][0]["path"] = "Missing"; }, "invalidPath"},
        {"the folder itself", [](Json& m) { m["variants"][0]["path"] = "."; }, "invalidPath"},
    };
    for (const auto& c : cases) {
        Json manifest = seriesManifest();
        c.change(manifest);
        EXPECT_EQ(outcome(manifest), c.expected) << c.what;
    }
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
