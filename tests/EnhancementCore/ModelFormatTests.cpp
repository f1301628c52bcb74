#include "EnhancementCore/CompositeBackend.hpp"
#include "EnhancementCore/EnhancementError.hpp"
#include "EnhancementCore/ModelFormat.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using namespace lumavane;

namespace {

const std::string validManifest =
    R"({"architecture": "Compact", "width": 64, "height": 64, "scale": 2, "layers": [], "checkpoint_sha256": "ab"})";

// detect's answer as text: the format, or the message it refuses with.
std::string outcome(const fs::path& url) {
    try {
        return detect(url) == ModelFormat::coreML ? "coreML" : "compactMetal";
    } catch (const EnhancementError& error) {
        return error.message();
    }
}

TEST(ModelFormatTest, ExtensionsFirstThenACompactManifest) {
    test::TemporaryDirectory root;
    const auto folder = [&](const std::string& name, const std::string& manifest) {
        fs::create_directories(root.path() / name);
        std::ofstream(root.path() / name / "manifest.json") << manifest;
        return root.path() / name;
    };
    const std::string choose = EnhancementMessage::chooseModel, onnx = EnhancementMessage::onnxUnsupported;
    fs::create_directories(root.path() / "nomanifest");
    fs::create_directories(root.path() / "dir" / "manifest.json");
    fs::create_directories(root.path() / "fifo");
    ASSERT_EQ(::mkfifo((root.path() / "fifo" / "manifest.json").c_str(), 0600), 0);
    std::ofstream(root.path() / "file.txt") << validManifest;
    const std::vector<std::pair<fs::path, std::string>> cases = {
        // Core ML extensions are decided without the disk, even over a compact folder.
        {root.path() / "missing" / "Model.MLPackage", "coreML"},
        {root.path() / "Model.mlmodelc/", "coreML"},
        {folder("Both.mlpackage", validManifest), "coreML"},
        {root.path() / "realcugan.ONNX", onnx},
        {folder("net.onnx", validManifest), onnx},
        {folder("Compact2x.bundle", validManifest), "compactMetal"},
        {root.path() / "Compact2x.bundle/", "compactMetal"},
        // Values of the required keys are not examined here.
        {folder("nulls", R"({"architecture":"Compact","width":null,"height":"x","scale":[],"layers":0,
                             "checkpoint_sha256":false})"),
         "compactMetal"},
        {folder("lower", R"({"architecture":"compact","width":1,"height":1,"scale":2,"layers":[],
                             "checkpoint_sha256":""})"),
         choose},
        {folder("nohash", R"({"architecture":"Compact","width":1,"height":1,"scale":2,"layers":[]})"),
         choose},
        {folder("array", "[" + validManifest + "]"), choose},
        {folder("broken", validManifest.substr(0, 20)), choose},
        {root.path() / "nomanifest", choose},
        {root.path() / "does-not-exist", choose},
        {root.path() / "file.txt", choose},
        // A FIFO without a writer would block forever; a directory is no manifest either.
        {root.path() / "fifo", choose},
        {root.path() / "dir", choose},
    };
    for (const auto& [url, expected] : cases) EXPECT_EQ(outcome(url), expected) << url;

    // A sparse gigabyte manifest is refused unread, and said so.
    fs::resize_file(folder("huge", validManifest) / "manifest.json", std::uintmax_t(1) << 30);
    EXPECT_EQ(outcome(root.path() / "huge"), EnhancementMessage::manifestTooLarge);
}

TEST(EnhancementTypesTest, ValuesAndMessages) {
    EXPECT_EQ(fromRawValue<CompositeBackend>("coreImage"), CompositeBackend::coreImage);
    EXPECT_EQ(fromRawValue<CompositeBackend>("Metal"), std::nullopt);
    EXPECT_EQ(rawValue(CompositeBackend::metal), "metal");
    // A message with numbers keeps its format and numbers, for a lookup in another language.
    const EnhancementError memory = EnhancementError::invalid(EnhancementMessage::imageMemory, {-6662});
    EXPECT_STREQ(memory.what(), "画像用メモリを確保できませんでした（-6662）。");
    EXPECT_EQ(memory.format(), EnhancementMessage::imageMemory);
    EXPECT_EQ(memory.numbers(), std::vector<long long>{-6662});
    EXPECT_EQ(EnhancementError::invalid(EnhancementMessage::fixedSizeOnly, {1920, 1080}).message(),
              "このモデルは1920×1080入力専用です。動画と同じ解像度のモデルを使用してください。");
    const EnhancementError plain = EnhancementError::invalid(EnhancementMessage::tileGeometry);
    EXPECT_EQ(plain.format(), plain.message());
    EXPECT_TRUE(plain.numbers().empty());
}

} // namespace
