#include "EnhancementCore/CompositeBackend.hpp"
#include "EnhancementCore/EnhancementError.hpp"
#include "EnhancementCore/EnhancementTimings.hpp"
#include "EnhancementCore/ModelFormat.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using namespace lumavane;

namespace {

class ModelFormatTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("lumavane-model-format-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path folder(const std::string& name, const std::string& manifest) {
        const fs::path dir = root / name;
        fs::create_directories(dir);
        std::ofstream(dir / "manifest.json") << manifest;
        return dir;
    }

    static std::string messageOf(const fs::path& url) {
        try {
            detect(url);
        } catch (const EnhancementError& error) {
            return error.message();
        }
        return "(no error)";
    }

    fs::path root;
};

const std::string validManifest =
    R"({"architecture": "Compact", "width": 64, "height": 64, "scale": 2, "layers": [], "checkpoint_sha256": "ab"})";

} // namespace

TEST_F(ModelFormatTest, CoreMLExtensionsAreDecidedWithoutTheDisk) {
    EXPECT_EQ(detect(root / "missing" / "Model.MLPackage"), ModelFormat::coreML);
    EXPECT_EQ(detect(root / "Model.mlmodel"), ModelFormat::coreML);
    EXPECT_EQ(detect(root / "Model.mlmodelc/"), ModelFormat::coreML);
    // Even a folder that holds a compact manifest counts as Core ML by its name.
    EXPECT_EQ(detect(folder("Both.mlpackage", validManifest)), ModelFormat::coreML);
}

TEST_F(ModelFormatTest, OnnxIsRefusedWhateverItsCase) {
    EXPECT_EQ(messageOf(root / "realcugan.ONNX"), EnhancementMessage::onnxUnsupported);
    EXPECT_EQ(messageOf(root / "realcugan.onnx"), EnhancementMessage::onnxUnsupported);
    // Refused by name even when it is a valid compact folder.
    EXPECT_EQ(messageOf(folder("net.onnx", validManifest)), EnhancementMessage::onnxUnsupported);
}

TEST_F(ModelFormatTest, CompactFolderIsFoundUnderAnyOtherName) {
    EXPECT_EQ(detect(folder("Compact2x.bundle", validManifest)), ModelFormat::compactMetal);
    EXPECT_EQ(detect(folder("plain", validManifest)), ModelFormat::compactMetal);
    EXPECT_EQ(detect(root / "plain/"), ModelFormat::compactMetal);
    // Values of the required keys are not examined here.
    EXPECT_EQ(detect(folder("nulls", R"({"architecture":"Compact","width":null,"height":"x","scale":[],
        "layers":0,"checkpoint_sha256":false})")),
              ModelFormat::compactMetal);
}

TEST_F(ModelFormatTest, AnythingElseAsksForAModel) {
    const std::string choose = EnhancementMessage::chooseModel;
    EXPECT_EQ(messageOf(folder("lower", R"({"architecture": "compact", "width": 1, "height": 1, "scale": 2,
        "layers": [], "checkpoint_sha256": ""})")),
              choose);
    EXPECT_EQ(messageOf(folder("nohash", R"({"architecture": "Compact", "width": 1, "height": 1, "scale": 2,
        "layers": []})")),
              choose);
    EXPECT_EQ(messageOf(folder("notstring", R"({"architecture": 1, "width": 1, "height": 1, "scale": 2,
        "layers": [], "checkpoint_sha256": ""})")),
              choose);
    EXPECT_EQ(messageOf(folder("array", "[" + validManifest + "]")), choose);
    EXPECT_EQ(messageOf(folder("broken", validManifest.substr(0, 20))), choose);
    EXPECT_EQ(messageOf(folder("empty", "")), choose);
    fs::create_directories(root / "nomanifest");
    EXPECT_EQ(messageOf(root / "nomanifest"), choose);
    EXPECT_EQ(messageOf(root / "does-not-exist"), choose);
    std::ofstream(root / "file.txt") << validManifest;
    EXPECT_EQ(messageOf(root / "file.txt"), choose);
}

TEST_F(ModelFormatTest, ManifestThatIsNotAPlainFileIsNotRead) {
    fs::create_directories(root / "fifo");
    ASSERT_EQ(::mkfifo((root / "fifo" / "manifest.json").c_str(), 0600), 0);
    // Opening a FIFO without a writer would block forever.
    EXPECT_EQ(messageOf(root / "fifo"), EnhancementMessage::chooseModel);
    fs::create_directories(root / "dir" / "manifest.json");
    EXPECT_EQ(messageOf(root / "dir"), EnhancementMessage::chooseModel);
}

TEST_F(ModelFormatTest, AManifestOverTheLimitIsRefusedUnread) {
    const fs::path dir = folder("huge", validManifest);
    fs::resize_file(dir / "manifest.json", std::uintmax_t(1) << 30);
    EXPECT_EQ(messageOf(dir), EnhancementMessage::manifestTooLarge);
}

TEST(EnhancementTypesTest, ValuesAndMessages) {
    EXPECT_EQ(fromRawValue<CompositeBackend>("metal"), CompositeBackend::metal);
    EXPECT_EQ(fromRawValue<CompositeBackend>("coreImage"), CompositeBackend::coreImage);
    EXPECT_EQ(fromRawValue<CompositeBackend>("Metal"), std::nullopt);
    EXPECT_EQ(fromRawValue<CompositeBackend>("coreimage"), std::nullopt);
    EXPECT_EQ(rawValue(CompositeBackend::coreImage), "coreImage");

    const EnhancementTimings timings;
    EXPECT_EQ(timings.setupMS + timings.prepareMS + timings.predictionMS + timings.compositeMS +
                  timings.compositeGPUMS,
              0.0);
    EXPECT_EQ(timings.outputBackingHits, 0);

    const auto error = EnhancementError::invalid(EnhancementMessage::imageMemory(-6662));
    EXPECT_EQ(error.errorDescription(), "画像用メモリを確保できませんでした（-6662）。");
    EXPECT_STREQ(error.what(), "画像用メモリを確保できませんでした（-6662）。");
    EXPECT_EQ(EnhancementMessage::fixedSizeOnly(1920, 1080),
              "このモデルは1920×1080入力専用です。動画と同じ解像度のモデルを使用してください。");
    EXPECT_EQ(EnhancementMessage::sharedTexture(0),
              "ピクセルバッファをMetalテクスチャとして共有できません（0）。");
}
