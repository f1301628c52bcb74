// What a person reads when a model cannot be chosen, imported or run: every message of the
// enhancement pipeline and the model packages in the interface's language, whole (numbers filled
// in), never a library's or a developer's own text, and never about tools this system lacks.
#include "SessionTestSupport.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "EnhancementCore/EnhancementError.hpp"
#include "Lumavane/Benchmarks/PerformanceBenchmark.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Localization/StringsFile.hpp"
#include "Lumavane/Models/ModelArchiveImporter.hpp"
#include "Lumavane/Models/ModelSeriesManifest.hpp"
#include "Lumavane/Models/ModelsTestSupport.hpp"
#include "Lumavane/Session/PlaybackEnhancer.hpp"
#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"
#include "Platform/Gpu/Device.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

Localize in(const std::string& language) {
    return [language](const std::string& key) { return AppLocalization::string(key, language, {}); };
}

std::map<std::string, std::string> shippedTable(const std::string& language) {
    const fs::path file = fs::path(LUMAVANE_SOURCE_DIR) / "resources" / AppLocalization::bundleName /
                          (language + ".lproj") / "Localizable.strings";
    return parseStringsFile(files::readWholeText(file)).strings;
}

// The conversions of a format, in order ("%lld", "%@").
std::vector<std::string> conversions(const std::string& text) {
    static const std::regex conversion("%(?:%|[0-9]*\\$?l{0,2}[@dif])");
    std::vector<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), conversion); it != std::sregex_iterator();
         ++it)
        found.push_back(it->str());
    return found;
}

// Kana, kanji or full-width forms anywhere in a UTF-8 text.
bool hasJapanese(const std::string& text) {
    for (std::size_t i = 0; i + 2 < text.size(); ++i) {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
        if ((byte(0) & 0xF0) != 0xE0) continue;
        const char32_t c = char32_t(byte(0) & 0x0F) << 12 | char32_t(byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
        if ((c >= 0x3000 && c <= 0x9FFF) || (c >= 0xFF00 && c <= 0xFFEF)) return true;
    }
    return false;
}

TEST(ModelMessages, EveryMessageHasAnEnglishEntryAndNamesOnlyWhatIsHere) {
    std::vector<std::string> vocabulary(EnhancementMessage::all.begin(), EnhancementMessage::all.end());
    for (const char* general : {ModelFailureMessage::unreadable, ModelFailureMessage::enhancement,
                                ModelFailureMessage::installation})
        vocabulary.push_back(general);
    using Archive = ModelArchiveImporter::ArchiveError;
    for (auto c : {Archive::tooLarge, Archive::tooManyEntries, Archive::unsafeEntry, Archive::unsupported,
                   Archive::extractionFailed, Archive::manifestNotFound})
        vocabulary.push_back(Archive(c).what());
    using Manifest = ModelSeriesManifest::ManifestError;
    for (auto c : {Manifest::invalid, Manifest::invalidPath, Manifest::tooLarge})
        vocabulary.push_back(Manifest(c).what());
    vocabulary.push_back(CompactMetalError::outputLimitMessage);

    const std::map<std::string, std::string> en = shippedTable("en");
    const std::map<std::string, std::string> ja = shippedTable("ja");
    // Names of things a Linux user of this player does not have.
    const std::regex untrue("Metal|Scripts/|export_compact|convert_|PoC|macOS|Finder");
    for (const std::string& message : vocabulary) {
        SCOPED_TRACE(message);
        EXPECT_FALSE(std::regex_search(message, untrue));
        const auto english = en.find(message);
        ASSERT_NE(english, en.end()) << "no English entry";
        EXPECT_FALSE(std::regex_search(english->second, untrue)) << english->second;
        // A translation fills in the same numbers and names, or the message comes out half empty.
        EXPECT_EQ(conversions(english->second), conversions(message)) << english->second;
        EXPECT_FALSE(hasJapanese(english->second)) << english->second;
        // The packages' messages are written in English: the Japanese table translates them.
        if (!hasJapanese(message)) {
            const auto japanese = ja.find(message);
            ASSERT_NE(japanese, ja.end()) << "no Japanese entry";
            EXPECT_TRUE(hasJapanese(japanese->second)) << japanese->second;
        }
    }
}

// Each kind of error the model road meets, as the user reads it in each language.
TEST(ModelMessages, ErrorsAreShownInTheInterfaceLanguage) {
    const std::string general = "GENERAL";
    struct Case {
        const char* name;
        std::exception_ptr error;
        std::string en, ja;
    };
    const std::vector<Case> cases = {
        {"plain", std::make_exception_ptr(EnhancementError::invalid(EnhancementMessage::wholeFrameSize)),
         "Whole-frame models take inputs of whole-number sizes from 1 to 2048 px per side.",
         "全画面モデルの入力は各辺1〜2048pxの整数サイズに対応します。"},
        {"with numbers",
         std::make_exception_ptr(EnhancementError::invalid(EnhancementMessage::fixedSizeOnly, {1920, 1080})),
         "This model only takes 1920×1080 input. Use a model of the same resolution as the video.",
         "このモデルは1920×1080入力専用です。動画と同じ解像度のモデルを使用してください。"},
        {"negative status",
         std::make_exception_ptr(EnhancementError::invalid(EnhancementMessage::imageMemory, {-6662})),
         "Memory for the image could not be allocated (-6662).",
         "画像用メモリを確保できませんでした（-6662）。"},
        {"no device", std::make_exception_ptr(CompactMetalError::metalUnavailable()),
         "No OpenCL device was found.", "OpenCL対応のデバイスが見つかりません。"},
        {"engine's output limit",
         std::make_exception_ptr(CompactMetalError::check(CompactMetalError::outputLimitMessage)),
         "The output exceeds the limit (8192 px per side, about 33 MP).",
         "出力上限（各辺8192px・約33MP）を超えています。"},
        {"engine check",
         std::make_exception_ptr(CompactMetalError::check("Rectangular tail exceeds device limits: 9 > 4")),
         general, general},
        {"rectangular allocation", std::make_exception_ptr(CompactMetalError::rectangularAllocation()),
         general, general},
        {"GPU layer", std::make_exception_ptr(PlatformError(gpu::errorDomain, 1, "clBuildProgram failed")),
         general, general},
        {"JSON", std::make_exception_ptr(JSONDecodingError("variants[0].path", "expected a string")), general,
         general},
        {"file system",
         std::make_exception_ptr(
             fs::filesystem_error("read", "/tmp/x", std::make_error_code(std::errc::io_error))),
         general, general},
        {"library", std::make_exception_ptr(std::out_of_range("vector::_M_range_check")), general, general},
        {"not an exception", std::make_exception_ptr(42), general, general},
        // The packages' own texts are English, translated for the Japanese interface.
        {"manifest",
         std::make_exception_ptr(
             ModelSeriesManifest::ManifestError(ModelSeriesManifest::ManifestError::invalid)),
         "Invalid or unsupported model-series manifest.",
         "model-series.jsonの内容が正しくないか、対応していない形式です。"},
        {"large manifest",
         std::make_exception_ptr(
             ModelSeriesManifest::ManifestError(ModelSeriesManifest::ManifestError::tooLarge)),
         "The model-series.json file is larger than 4 MiB.", "model-series.jsonが4MiBを超えています。"},
        {"archive",
         std::make_exception_ptr(
             ModelArchiveImporter::ArchiveError(ModelArchiveImporter::ArchiveError::unsafeEntry)),
         "The model ZIP contains an unsafe path or symbolic link.",
         "モデルZIPに安全でないパスまたはシンボリックリンクが含まれています。"},
        {"benchmark", std::make_exception_ptr(BenchmarkError::sourceBuffer()),
         "The benchmark input cannot be created.", "ベンチマーク用の入力を作成できません。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(errorDescription(c.error, in("en"), general), c.en);
        EXPECT_EQ(errorDescription(c.error, in("ja"), general), c.ja);
    }
    // The general texts name what failed, whole in either language.
    EXPECT_EQ(failureText(in("en"), ModelFailureMessage::unreadable, displayName("/m/Anime 4x.mlpackage/")),
              "“Anime 4x.mlpackage” could not be read.");
    EXPECT_EQ(failureText(in("ja"), ModelFailureMessage::enhancement, "Fast"),
              "「Fast」で高画質化できませんでした。");
    EXPECT_EQ(failureText(in("en"), ModelFailureMessage::installation, "Anime"),
              "“Anime” could not be imported.");
}

// Choosing something that is no model, on the real enhancer factory: the message in the
// interface's language, and a folder the engine refuses named rather than explained in its terms.
TEST(ModelMessages, ChoosingWhatIsNoModelIsSaidInTheInterfaceLanguage) {
    test::SessionHarness harness;
    const fs::path root = harness.directory.path();
    test::writeText(root / "checkpoint.pth", "PK\x03\x04 not a model");
    test::writeText(root / "model.onnx", "onnx");
    fs::create_directories(root / "Unreadable" / "manifest.json"); // a folder where the file should be
    fs::create_directories(root / "Empty");
    // Recognised as a compact folder, refused by the engine (no layers).
    test::writeText(root / "Broken" / "manifest.json", test::compactFolderManifest(4));

    const std::string chooseEn =
        "Choose a Core ML model (.mlpackage / .mlmodel / .mlmodelc) or a compact model "
        "folder made with tools/models/export.py.";
    struct Case {
        fs::path url;
        std::string en, ja;
    };
    const std::vector<Case> cases = {
        {root / "checkpoint.pth", chooseEn, EnhancementMessage::chooseModel},
        {root / "Unreadable", chooseEn, EnhancementMessage::chooseModel},
        {root / "Empty", chooseEn, EnhancementMessage::chooseModel},
        {root / "model.onnx",
         "ONNX models cannot be loaded directly. Convert the model to Core ML format (.mlpackage / .mlmodel) first, "
         "then choose it.",
         EnhancementMessage::onnxUnsupported},
        {root / "Broken", "“Broken” could not be read.", "「Broken」を読み込めませんでした。"},
    };
    for (const std::string language : {"en", "ja"}) {
        SCOPED_TRACE(language);
        auto options = harness.options();
        options.localize = in(language);
        options.enhancerFactory = std::make_shared<ModelPlaybackEnhancerFactory>();
        PlayerSession session(std::move(options));
        for (const Case& c : cases) {
            SCOPED_TRACE(c.url.filename().string());
            session.requestModelLoad(c.url);
            ASSERT_TRUE(harness.loop.runUntil([&] { return !session.loadingModel(); }, 60));
            EXPECT_EQ(session.message(), language == "en" ? c.en : c.ja);
            EXPECT_EQ(session.status(), language == "en" ? "No model selected" : "モデル未選択");
        }
    }
}

} // namespace
} // namespace lumavane
