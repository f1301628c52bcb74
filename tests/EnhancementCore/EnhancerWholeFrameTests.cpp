#include "EnhancementCore/EnhancementError.hpp"
#include "EnhancementCore/Enhancer.hpp"
#include "EnhancementCore/EnhancerTestModels.hpp"
#include "Platform/Image/Context.hpp"

#include <gtest/gtest.h>

using namespace lumavane;
using namespace lumavane::testing;
namespace fixtures = lumavane::ml::fixtures;

namespace {

const std::string sizeMessage = "全画面モデルの入力は各辺1〜2048pxの整数サイズに対応します。";

const std::map<std::string, std::string> realCUGAN = {{"coravel.execution", "whole-frame"},
                                                      {"coravel.architecture", "RealCUGAN"},
                                                      {"coravel.variant", "2x-fast"},
                                                      {"coravel.scale", "2"}};

class EnhancerWholeFrameTest : public ::testing::Test {
protected:
    // A whole-frame model that takes any frame up to 2048 per side.
    std::unique_ptr<Enhancer> flexible(ModelForm form, const NetworkWeights& weights) {
        const ModelShape shape{.inputWidth = 64,
                               .inputHeight = 64,
                               .outputWidth = 128,
                               .outputHeight = 128,
                               .metadata = realCUGAN,
                               .flexible = true};
        return std::make_unique<Enhancer>(
            writeModel(folder_.path(), "Flexible" + std::to_string(counter_++), form, weights, shape), 16,
            ml::ComputeUnits::cpuAndGPU, false);
    }

    // The result's pixels, rendered as the player would take them.
    PixelBuffer pixels(const image::Image& image) {
        const image::Rect extent = image.extent();
        PixelBuffer out = PixelBuffer::create(std::size_t(extent.width), std::size_t(extent.height),
                                              LV_PIXEL_FORMAT_32BGRA);
        context_->render(image, out, extent);
        return out;
    }

    static image::Image frameOf(image::Rect extent) {
        return image::Image::constantColor({0.2, 0.5, 0.8, 1}).cropped(extent);
    }

    fixtures::TemporaryFolder folder_;
    std::shared_ptr<image::Context> context_ = image::Context::make();
    NetworkWeights weights_{2, 8, 30};
    int counter_ = 0;
};

} // namespace

TEST_F(EnhancerWholeFrameTest, EnhancesTheFrameUprightLikeTheNetwork) {
    const auto reference = referenceModel(folder_.path(), weights_);
    const PixelBuffer frame = randomImage(37, 23, 5);
    const PixelBuffer expected = predict(*reference, frame);
    for (ModelForm form : {ModelForm::modelFile, ModelForm::package}) {
        SCOPED_TRACE(extensionOf(form));
        const auto enhancer = flexible(form, weights_);
        const EnhancementResult result = enhancer->enhance(image::Image::fromPixelBuffer(frame));
        EXPECT_EQ(result.tileCount, 1);
        EXPECT_EQ(result.image.extent(), (image::Rect{0, 0, 74, 46}));
        EXPECT_LE(largestDifference(pixels(result.image), expected), 2);

        // The pipelined path hands whole-frame models over unchanged, whatever maxInFlight says.
        for (int maxInFlight : {0, 3, 7}) {
            const EnhancementResult piped = enhancer->enhancePipelined(image::Image::fromPixelBuffer(frame),
                                                                       maxInFlight, CompositeBackend::metal);
            EXPECT_EQ(piped.tileCount, 1);
            EXPECT_LE(largestDifference(pixels(piped.image), expected), 2);
        }

        const EnhancementTimings& t = enhancer->lastTimings();
        EXPECT_TRUE(t.setupMS >= 0 && t.prepareMS > 0 && t.predictionMS > 0);
        EXPECT_EQ(t.compositeMS + t.compositeGPUMS + t.outputBackingHits, 0);
    }
}

TEST_F(EnhancerWholeFrameTest, InputBufferFollowsTheFrameSize) {
    const auto enhancer = flexible(ModelForm::package, NetworkWeights(2, 2, 40));
    enhancer->enhance(frameOf({0, 0, 30, 20}));
    const PixelBuffer first = EnhancerTestAccess::wholeFrameBuffer(*enhancer);
    EXPECT_EQ(enhancer->info().inputWidth, 30);
    EXPECT_EQ(enhancer->info().inputHeight, 20);
    EXPECT_TRUE(enhancer->info().isWholeFrame);
    enhancer->enhance(frameOf({0, 0, 30, 20}));
    EXPECT_TRUE(EnhancerTestAccess::wholeFrameBuffer(*enhancer) == first);

    const EnhancementResult other = enhancer->enhance(frameOf({0, 0, 12, 40}));
    EXPECT_FALSE(EnhancerTestAccess::wholeFrameBuffer(*enhancer) == first);
    EXPECT_EQ(EnhancerTestAccess::wholeFrameBuffer(*enhancer).width(), 12u);
    EXPECT_EQ(enhancer->info().inputWidth, 12);
    EXPECT_EQ(enhancer->info().inputHeight, 40);
    EXPECT_EQ(other.image.extent(), (image::Rect{0, 0, 24, 80}));
}

TEST_F(EnhancerWholeFrameTest, AcceptsWholeSidesFrom1To2048AtTheOrigin) {
    const auto enhancer = flexible(ModelForm::modelFile, NetworkWeights(2, 2, 41));
    EXPECT_EQ(enhancer->enhance(frameOf({0, 0, 2048, 2048})).image.extent(), (image::Rect{0, 0, 4096, 4096}));
    EXPECT_EQ(enhancer->enhance(frameOf({0, 0, 1, 1})).image.extent(), (image::Rect{0, 0, 2, 2}));
    const EnhancementTimings before = enhancer->lastTimings();

    for (const image::Rect& extent :
         {image::Rect{0, 0, 2049, 16}, image::Rect{0, 0, 16, 2049}, image::Rect{0, 0, 16, 0},
          image::Rect{0, 0, 1280.5, 720}, image::Rect{1, 0, 16, 16}, image::Rect{0, -1, 16, 16}})
        EXPECT_EQ(messageOf([&] { enhancer->enhance(frameOf(extent)); }), sizeMessage)
            << extent.x << "," << extent.y << " " << extent.width << "x" << extent.height;
    EXPECT_EQ(messageOf([&] { enhancer->enhance(image::Image::constantColor({})); }), sizeMessage)
        << "infinite";
    EXPECT_EQ(messageOf([&] { enhancer->enhance(frameOf(image::Rect::null())); }), sizeMessage) << "empty";
    EXPECT_EQ(messageOf([&] {
                  enhancer->enhancePipelined(frameOf({0, 0, 2049, 16}), 3, CompositeBackend::metal);
              }),
              sizeMessage);
    // A refused frame leaves the last timings alone.
    EXPECT_EQ(enhancer->lastTimings().predictionMS, before.predictionMS);
    EXPECT_EQ(enhancer->lastTimings().prepareMS, before.prepareMS);
}

TEST_F(EnhancerWholeFrameTest, AFixedSizeModelTakesOnlyItsOwnSize) {
    const ModelShape shape{.inputWidth = 24,
                           .inputHeight = 16,
                           .outputWidth = 48,
                           .outputHeight = 32,
                           .metadata = {{"coravel.execution", "whole-frame"},
                                        {"coravel.shape", "fixed"},
                                        {"coravel.scale", "2"}}};
    Enhancer enhancer(writeModel(folder_.path(), "Fixed", ModelForm::package, weights_, shape), 4,
                      ml::ComputeUnits::cpuAndGPU, false);
    const auto reference = referenceModel(folder_.path(), weights_);
    const PixelBuffer frame = randomImage(24, 16, 9);
    EXPECT_LE(largestDifference(pixels(enhancer.enhance(image::Image::fromPixelBuffer(frame)).image),
                                predict(*reference, frame)),
              2);
    for (const image::Rect& extent : {image::Rect{0, 0, 20, 16}, image::Rect{0, 0, 24, 15}})
        EXPECT_EQ(messageOf([&] { enhancer.enhance(frameOf(extent)); }),
                  "このモデルは24×16入力専用です。動画と同じ解像度のモデルを使用してください。");
}

TEST_F(EnhancerWholeFrameTest, AnOutputThatIsNotTheDeclaredScaleIsRefused) {
    // Described as 2x, but the network keeps the size.
    const ModelShape shape{.inputWidth = 16,
                           .inputHeight = 16,
                           .outputWidth = 32,
                           .outputHeight = 32,
                           .metadata = realCUGAN,
                           .flexible = true};
    Enhancer enhancer(
        writeModel(folder_.path(), "Liar", ModelForm::modelFile, NetworkWeights(1, 2, 50), shape), 0,
        ml::ComputeUnits::cpuAndGPU, false);
    EXPECT_EQ(enhancer.info().scale, 2);
    EXPECT_EQ(messageOf([&] {
                  enhancer.enhance(frameOf({0, 0, 20, 10}));
              }),
              "モデルの出力サイズが宣言された倍率と一致しません。");
    // The new input buffer and the frame size it describes stay; the timings do not change.
    EXPECT_EQ(EnhancerTestAccess::wholeFrameBuffer(enhancer).width(), 20u);
    EXPECT_EQ(enhancer.info().inputWidth, 20);
    EXPECT_EQ(enhancer.lastTimings().predictionMS, 0);
}

TEST_F(EnhancerWholeFrameTest, PipelinedCallChecksForCancellation) {
    const auto enhancer = flexible(ModelForm::modelFile, NetworkWeights(2, 2, 42));
    CancellationToken token;
    token.cancel();
    EXPECT_EQ(messageOf([&] {
                  enhancer->enhancePipelined(frameOf({0, 0, 16, 16}), 3, CompositeBackend::metal, token);
              }),
              "(cancelled)");
    EXPECT_FALSE(EnhancerTestAccess::wholeFrameBuffer(*enhancer)) << "nothing ran";
}
