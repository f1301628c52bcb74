#include "EnhancementCore/EnhancementError.hpp"
#include "EnhancementCore/Enhancer.hpp"
#include "EnhancementCore/EnhancerTestModels.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace lumavane;
using namespace lumavane::testing;
namespace fixtures = lumavane::ml::fixtures;

namespace {

const std::string modelMessage =
    "対応モデルはRGB画像の1入力・1出力、固定タイル、等倍〜4倍です。この条件に合わせて変換したモデルを使用してください。";
const std::string wholeFrameMessage =
    "未対応の全画面モデルです。固定入力サイズと1〜4倍の出力倍率を変換時に指定してください。";
const std::string realCUGANMessage =
    "Real-CUGANは全画面処理が必要です。全画面処理用に変換したモデルを選択してください。";

const char* formName(ModelForm form) { return extensionOf(form); }

class EnhancerLoadingTest : public ::testing::Test {
protected:
    // Stems unique to this process, so compiled copies of other runs are never counted.
    std::string stem(const std::string& name) {
        return "Enh" + name + "-" + std::to_string(getpid()) + "-" + std::to_string(counter_++);
    }

    // The network computes the declared output when one whole scale can, so that the enhancer's
    // own rules are what refuse the model; no network of this kind makes the other shapes.
    NetworkWeights weightsFor(const ModelShape& shape) const {
        const bool whole = shape.inputWidth > 0 && shape.inputHeight > 0 &&
                           shape.outputWidth % shape.inputWidth == 0 &&
                           shape.outputHeight % shape.inputHeight == 0 &&
                           shape.outputWidth / shape.inputWidth == shape.outputHeight / shape.inputHeight;
        const int scale = whole ? shape.outputWidth / shape.inputWidth : 0;
        return scale >= 1 && scale <= 8 ? NetworkWeights(scale, 4, 10) : weights_;
    }

    fs::path write(ModelForm form, const ModelShape& shape, const std::string& name = "Model") {
        return writeModel(folder_.path(), stem(name), form, weightsFor(shape), shape);
    }

    // A shape no network makes is refused by the enhancer, or already by the model runtime.
    static void expectUnsupported(const std::string& error) {
        EXPECT_TRUE(error == modelMessage || error.starts_with("PlatformError Lumavane.Ml")) << error;
    }

    static std::unique_ptr<Enhancer> load(const fs::path& url, int padding = 16) {
        return std::make_unique<Enhancer>(url, padding, ml::ComputeUnits::cpuOnly, false);
    }

    static std::string loadError(const fs::path& url, int padding = 16) {
        return messageOf([&] { load(url, padding); });
    }

    static ModelShape tiled(int inW, int inH, int outW, int outH,
                            std::map<std::string, std::string> metadata = {}) {
        return ModelShape{.inputWidth = inW,
                          .inputHeight = inH,
                          .outputWidth = outW,
                          .outputHeight = outH,
                          .metadata = std::move(metadata)};
    }

    fixtures::TemporaryFolder folder_;
    NetworkWeights weights_{2, 4, 10};
    int counter_ = 0;
};

} // namespace

TEST_F(EnhancerLoadingTest, ATiledModelWithoutMetadataInEveryForm) {
    for (ModelForm form : allForms) {
        SCOPED_TRACE(formName(form));
        const fs::path url = write(form, tiled(256, 256, 512, 512), "Plain");
        const auto enhancer = load(url, 16);
        const ModelInfo& info = enhancer->info();
        EXPECT_EQ(std::tuple(info.name, info.inputWidth, info.inputHeight, info.scale, info.isWholeFrame),
                  std::tuple(url.stem().string(), 256, 256, 2, false));
        EXPECT_EQ(std::pair(info.license, info.source),
                  std::pair(std::string("未指定（配布元で確認）"), std::string("未指定")));
        EXPECT_FALSE(enhancer->usesWholeFrame() || EnhancerTestAccess::wholeFrameFixedSize(*enhancer));
        EXPECT_EQ(enhancer->padding(), 16);
        EXPECT_EQ(EnhancerTestAccess::inputBuffer(*enhancer).height(), 256u);
    }

    // Licence and source come from the creator metadata; other keys change nothing.
    const auto described = load(write(ModelForm::package, tiled(64, 32, 64, 32,
                                                                {{"coravel.license", "MIT"},
                                                                 {"coravel.source", "https://example.org/sr"},
                                                                 {"coravel.execution", "tiled"},
                                                                 {"coravel.scale", "3"}})),
                                8);
    EXPECT_EQ(described->info().license, "MIT");
    EXPECT_EQ(described->info().source, "https://example.org/sr");
    EXPECT_EQ(described->info().scale, 1); // a declared scale counts only with shape "fixed"
    EXPECT_FALSE(described->usesWholeFrame());

    // The extension decides, in any case, and a folder may end in a separator.
    const fs::path package = write(ModelForm::package, tiled(32, 32, 64, 64), "Upper");
    const fs::path upper = package.parent_path() / (package.stem().string() + ".MLPackage");
    fs::rename(package, upper);
    EXPECT_EQ(load(upper, 0)->info().name, package.stem().string());
    EXPECT_EQ(load(fs::path(upper.string() + "/"), 0)->info().name, package.stem().string());
}

TEST_F(EnhancerLoadingTest, RefusesOtherExtensionsWithoutReadingThem) {
    const std::string message =
        "Core ML（.mlpackage / .mlmodel / .mlmodelc）を選択してください。.pth は先にCore ML形式へ変換します。";
    EXPECT_EQ(loadError(folder_.path() / "model.pth"), message);
    EXPECT_EQ(loadError(folder_.path() / "model.onnx"), message);
    EXPECT_EQ(loadError(folder_.path() / "model"), message);
    // A real model under another name is refused too.
    const fs::path url = write(ModelForm::modelFile, tiled(32, 32, 64, 64));
    const fs::path renamed = folder_.path() / "renamed.bin";
    fs::rename(url, renamed);
    EXPECT_EQ(loadError(renamed), message);
}

TEST_F(EnhancerLoadingTest, RefusesModelsTheTiledPathsCannotDrive) {
    for (ModelForm form : allForms) {
        SCOPED_TRACE(formName(form));
        const fs::path plain = write(form, tiled(256, 256, 512, 512));
        EXPECT_EQ(loadError(plain, 128), modelMessage) << "2 × 128 is not below 256";
        EXPECT_EQ(loadError(plain, 127), "(no error)");
        expectUnsupported(loadError(write(form, tiled(256, 256, 768, 512))));
        EXPECT_EQ(loadError(write(form, tiled(256, 256, 1280, 1280))), modelMessage) << "ratio 5";
        expectUnsupported(loadError(write(form, tiled(256, 256, 128, 128)))); // ratio 0
        expectUnsupported(loadError(write(form, tiled(256, 128, 512, 384)))); // ratios 2 and 3
        EXPECT_EQ(loadError(write(form, tiled(64, 64, 256, 256))), "(no error)") << "ratio 4";

        ModelShape arrayInput = tiled(64, 64, 128, 128);
        arrayInput.arrayInput = true;
        EXPECT_EQ(loadError(write(form, arrayInput)), modelMessage) << "multi-array input";
        ModelShape twoOutputs = tiled(64, 64, 128, 128);
        twoOutputs.secondOutput = true;
        EXPECT_EQ(loadError(write(form, twoOutputs)), modelMessage) << "two outputs";
        const NetworkWeights gray(2, 4, 20, 1);
        EXPECT_EQ(loadError(writeModel(folder_.path(), stem("Gray"), form, gray, tiled(64, 64, 128, 128))),
                  modelMessage)
            << "one-component output";

        // A declared fixed shape must state the real ratio, for tiled models too.
        const auto declared = [&](const char* scale) {
            return write(form,
                         tiled(64, 64, 128, 128, {{"coravel.shape", "fixed"}, {"coravel.scale", scale}}));
        };
        EXPECT_EQ(loadError(declared("3")), modelMessage);
        EXPECT_EQ(load(declared("2"))->info().scale, 2);
        EXPECT_EQ(load(declared("7"))->info().scale, 2) << "outside 1...4 the declaration counts for nothing";
    }
}

TEST_F(EnhancerLoadingTest, WholeFrameModelsNeedAFixedShapeOrTheRealCUGANDeclaration) {
    const std::map<std::string, std::string> fixed2 = {
        {"coravel.execution", "whole-frame"}, {"coravel.shape", "fixed"}, {"coravel.scale", "2"}};
    const std::map<std::string, std::string> realCUGAN = {{"coravel.execution", "whole-frame"},
                                                          {"coravel.architecture", "RealCUGAN"},
                                                          {"coravel.variant", "2x-fast"},
                                                          {"coravel.scale", "2"}};
    for (ModelForm form : allForms) {
        SCOPED_TRACE(formName(form));
        const auto enhancer = load(write(form, tiled(1920, 1080, 3840, 2160, fixed2)), 16);
        EXPECT_TRUE(enhancer->usesWholeFrame());
        EXPECT_TRUE(enhancer->info().isWholeFrame);
        EXPECT_EQ(enhancer->padding(), 0);
        EXPECT_EQ(EnhancerTestAccess::wholeFrameFixedSize(*enhancer), (image::Size{1920, 1080}));
        EXPECT_EQ(enhancer->info().scale, 2);
        EXPECT_EQ(enhancer->info().inputWidth, 1920);

        auto declared3 = fixed2;
        declared3["coravel.scale"] = "3";
        EXPECT_EQ(loadError(write(form, tiled(1920, 1080, 3840, 2160, declared3))), modelMessage);

        for (const auto& [key, value] :
             {std::pair{"coravel.shape", "flexible"}, std::pair{"coravel.scale", "2x"},
              std::pair{"coravel.scale", "0"}, std::pair{"coravel.scale", "5"},
              std::pair{"coravel.execution", "Whole-Frame"}}) {
            auto metadata = fixed2;
            metadata[key] = value;
            const std::string error = loadError(write(form, tiled(64, 64, 128, 128, metadata)));
            if (std::string(key) == "coravel.execution")
                EXPECT_EQ(error, "(no error)") << "not whole-frame: an ordinary tiled model";
            else
                EXPECT_EQ(error, wholeFrameMessage) << key << " = " << value;
        }

        // The Real-CUGAN 2x-fast declaration stands in for the fixed shape; the size follows the frame.
        ModelShape flexible = tiled(64, 64, 128, 128, realCUGAN);
        flexible.flexible = true;
        const auto cugan = load(write(form, flexible));
        EXPECT_TRUE(cugan->usesWholeFrame());
        EXPECT_FALSE(EnhancerTestAccess::wholeFrameFixedSize(*cugan));
        EXPECT_EQ(cugan->info().scale, 2);
        EXPECT_EQ(cugan->padding(), 0);
        for (const auto& [key, value] : {std::pair{"coravel.variant", "4x"}, std::pair{"coravel.scale", "3"},
                                         std::pair{"coravel.architecture", "RealCugan"}}) {
            auto metadata = realCUGAN;
            metadata[key] = value;
            EXPECT_EQ(loadError(write(form, tiled(64, 64, 128, 128, metadata))), wholeFrameMessage) << key;
        }

        // Real-CUGAN must run on the whole frame, whatever else it declares.
        auto tiledCUGAN = realCUGAN;
        tiledCUGAN.erase("coravel.execution");
        EXPECT_EQ(loadError(write(form, tiled(64, 64, 128, 128, tiledCUGAN))), realCUGANMessage);
    }
}

TEST_F(EnhancerLoadingTest, WholeFrameOutputMustBeTheDeclaredScaleInBothDirections) {
    const std::map<std::string, std::string> fixed2 = {
        {"coravel.execution", "whole-frame"}, {"coravel.shape", "fixed"}, {"coravel.scale", "2"}};
    for (ModelForm form : allForms) {
        SCOPED_TRACE(formName(form));
        // 250 ÷ 100 is 2 in integer division, yet no frame could ever come out right.
        expectUnsupported(loadError(write(form, tiled(100, 100, 250, 200, fixed2))));
        expectUnsupported(loadError(write(form, tiled(100, 100, 200, 250, fixed2))));
        const std::map<std::string, std::string> cugan = {{"coravel.execution", "whole-frame"},
                                                          {"coravel.architecture", "RealCUGAN"},
                                                          {"coravel.variant", "2x-fast"},
                                                          {"coravel.scale", "2"}};
        EXPECT_EQ(loadError(write(form, tiled(64, 64, 192, 192, cugan))), modelMessage);
        EXPECT_EQ(loadError(write(form, tiled(64, 64, 128, 128, cugan))), "(no error)");
        // The padding rule holds for whole-frame models as well.
        EXPECT_EQ(loadError(write(form, tiled(64, 64, 128, 128, fixed2)), 32), modelMessage);
    }
}

TEST_F(EnhancerLoadingTest, MetadataRulesComeBeforeTheFeatureChecks) {
    ModelShape shape = tiled(64, 64, 128, 128, {{"coravel.execution", "whole-frame"}});
    shape.arrayInput = true;
    EXPECT_EQ(loadError(write(ModelForm::modelFile, shape)), wholeFrameMessage);
    shape.metadata = {{"coravel.architecture", "RealCUGAN"}};
    EXPECT_EQ(loadError(write(ModelForm::modelFile, shape)), realCUGANMessage);
}

TEST_F(EnhancerLoadingTest, NoCompiledCopyRemainsWhetherLoadingSucceedsOrNot) {
    for (ModelForm form : {ModelForm::modelFile, ModelForm::package}) {
        SCOPED_TRACE(formName(form));
        const std::string goodStem = stem("Kept"), badStem = stem("Refused");
        load(writeModel(folder_.path(), goodStem, form, weights_, tiled(32, 32, 64, 64)), 8);
        EXPECT_TRUE(compiledCopies(goodStem).empty());
        // Ratio 5: the runtime loads it, the enhancer refuses it.
        const ModelShape five = tiled(32, 32, 160, 160);
        EXPECT_EQ(loadError(writeModel(folder_.path(), badStem, form, weightsFor(five), five), 8),
                  modelMessage);
        EXPECT_TRUE(compiledCopies(badStem).empty());
    }

    // A model the runtime cannot load: its error passes through, and the copy is gone as well.
    coreml::Model pooling = fixtures::neuralNetworkModel();
    fixtures::addImage(pooling.mutable_description()->mutable_input(), "image", 32, 32);
    fixtures::addImage(pooling.mutable_description()->mutable_output(), "output", 32, 32);
    fixtures::addUnknownField(
        fixtures::addLayer(pooling.mutable_neuralnetwork(), "pool", {"image"}, "output"), 120);
    const std::string poolStem = stem("Pooling");
    fixtures::writeModelFile(folder_.path() / (poolStem + ".mlmodel"), pooling);
    const std::string error = loadError(folder_.path() / (poolStem + ".mlmodel"));
    EXPECT_TRUE(error.starts_with("PlatformError Lumavane.Ml")) << error;
    EXPECT_TRUE(compiledCopies(poolStem).empty());

    // A package that does not exist fails in compilation, before any copy exists.
    EXPECT_TRUE(loadError(folder_.path() / "Missing.mlpackage").starts_with("PlatformError Lumavane.Ml"));

    // A compiled model given by the caller is never removed.
    const fs::path compiled = write(ModelForm::compiled, tiled(32, 32, 64, 64));
    load(compiled, 8);
    EXPECT_TRUE(fs::is_directory(compiled));
    const fs::path refused = write(ModelForm::compiled, tiled(32, 32, 160, 160));
    EXPECT_EQ(loadError(refused, 8), modelMessage);
    EXPECT_TRUE(fs::is_directory(refused));
}
