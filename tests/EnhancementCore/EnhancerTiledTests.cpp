#include "EnhancementCore/EnhancementError.hpp"
#include "EnhancementCore/Enhancer.hpp"
#include "EnhancementCore/EnhancerTestModels.hpp"
#include "Platform/Image/Context.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

using namespace lumavane;
using namespace lumavane::testing;
namespace fixtures = lumavane::ml::fixtures;

namespace {

// The model's input is 32 × 32 and the network reaches 2 pixels, so padding 8 keeps every
// content pixel clear of the tile input's own borders.
constexpr int tileSide = 32, padding = 8;

class EnhancerTiledTest : public ::testing::Test {
protected:
    std::unique_ptr<Enhancer> tiled(ModelForm form, ml::ComputeUnits units = ml::ComputeUnits::cpuAndGPU,
                                    int tilePadding = padding) {
        const ModelShape shape{.inputWidth = tileSide,
                               .inputHeight = tileSide,
                               .outputWidth = 2 * tileSide,
                               .outputHeight = 2 * tileSide,
                               .metadata = {}};
        return std::make_unique<Enhancer>(
            writeModel(folder_.path(), "Tiled" + std::to_string(counter_++), form, weights_, shape),
            tilePadding, units, false);
    }

    PixelBuffer pixels(const image::Image& image) {
        const image::Rect extent = image.extent();
        PixelBuffer out = PixelBuffer::create(std::size_t(extent.width), std::size_t(extent.height),
                                              LV_PIXEL_FORMAT_32BGRA);
        context_->render(image, out, extent);
        return out;
    }

    // The network on the whole frame with its edges repeated, as tiles see them beyond the frame.
    PixelBuffer expectedFor(const PixelBuffer& frame) {
        if (!reference_) reference_ = referenceModel(folder_.path(), weights_);
        return predict(*reference_, extendedByEdges(frame, margin));
    }

    static image::Image frameOf(image::Rect extent) {
        return image::Image::constantColor({0.7, 0.1, 0.4, 1}).cropped(extent);
    }

    static constexpr int margin = 4;
    fixtures::TemporaryFolder folder_;
    std::shared_ptr<image::Context> context_ = image::Context::make();
    NetworkWeights weights_{2, 8, 60};
    std::shared_ptr<ml::Model> reference_;
    int counter_ = 0;
};

} // namespace

TEST_F(EnhancerTiledTest, TilesGiveTheNetworkOnTheWholeFrameWithEveryComposer) {
    const PixelBuffer frame = randomImage(100, 70, 3);
    const image::Image source = image::Image::fromPixelBuffer(frame);
    const PixelBuffer expected = expectedFor(frame);
    const int offset = 2 * margin;
    // 16-pixel steps: 7 columns, 5 rows.
    const int tiles = 35;

    for (ModelForm form : {ModelForm::package, ModelForm::modelFile}) {
        SCOPED_TRACE(extensionOf(form));
        const auto enhancer = tiled(form);

        const EnhancementResult sequential = enhancer->enhance(source);
        EXPECT_EQ(sequential.tileCount, tiles);
        EXPECT_EQ(sequential.image.extent(), (image::Rect{0, 0, 200, 140}));
        EXPECT_LE(largestDifference(pixels(sequential.image), expected, offset, offset), 2);
        const EnhancementTimings s = enhancer->lastTimings();
        EXPECT_TRUE(s.setupMS > 0 && s.prepareMS > 0 && s.predictionMS > 0 && s.compositeMS > 0);
        EXPECT_EQ(std::pair(s.compositeGPUMS, s.outputBackingHits), std::pair(0.0, 0));

        for (CompositeBackend compositor : {CompositeBackend::metal, CompositeBackend::coreImage}) {
            for (int maxInFlight : {1, 3, 6}) {
                SCOPED_TRACE(rawValue(compositor) + " " + std::to_string(maxInFlight));
                const EnhancementResult result = enhancer->enhancePipelined(source, maxInFlight, compositor);
                EXPECT_EQ(result.tileCount, tiles);
                EXPECT_EQ(result.image.extent(), (image::Rect{0, 0, 200, 140}));
                EXPECT_LE(largestDifference(pixels(result.image), expected, offset, offset), 2);

                const EnhancementTimings t = enhancer->lastTimings();
                EXPECT_TRUE(t.setupMS > 0 && t.prepareMS > 0 && t.predictionMS > 0 && t.compositeMS > 0);
                EXPECT_TRUE(compositor == CompositeBackend::metal ? t.compositeGPUMS >= 0
                                                                  : t.compositeGPUMS == 0);
                EXPECT_EQ(t.outputBackingHits, tiles) << "every prediction wrote into its slot";
            }
        }
        EXPECT_EQ(EnhancerTestAccess::pipelineSlotCount(*enhancer), 6u);
    }
}

TEST_F(EnhancerTiledTest, AHeldResultKeepsItsPixels) {
    const auto enhancer = tiled(ModelForm::package);
    const PixelBuffer first = randomImage(40, 24, 11), second = randomImage(40, 24, 12);
    const EnhancementResult kept =
        enhancer->enhancePipelined(image::Image::fromPixelBuffer(first), 3, CompositeBackend::metal);
    const PixelBuffer before = copyOf(pixels(kept.image));
    enhancer->enhancePipelined(image::Image::fromPixelBuffer(second), 3, CompositeBackend::metal);
    EXPECT_EQ(largestDifference(pixels(kept.image), before), 0);
    EXPECT_EQ(EnhancerTestAccess::outputPool(*enhancer).outputPool().outstandingCount(), 1u);
}

TEST_F(EnhancerTiledTest, SlotsAreMadeAsNeededAndKept) {
    const auto enhancer = tiled(ModelForm::modelFile);
    EXPECT_EQ(enhancer->enhancePipelined(frameOf({0, 0, 32, 16}), 3, CompositeBackend::metal).tileCount, 2);
    EXPECT_EQ(EnhancerTestAccess::pipelineSlotCount(*enhancer), 2u);
    EXPECT_EQ(enhancer->enhancePipelined(frameOf({0, 0, 48, 32}), 3, CompositeBackend::coreImage).tileCount,
              6);
    EXPECT_EQ(EnhancerTestAccess::pipelineSlotCount(*enhancer), 3u);
    enhancer->enhancePipelined(frameOf({0, 0, 16, 16}), 1, CompositeBackend::metal);
    EXPECT_EQ(EnhancerTestAccess::pipelineSlotCount(*enhancer), 3u);
}

TEST_F(EnhancerTiledTest, FrameChecksOfBothPaths) {
    const auto enhancer = tiled(ModelForm::modelFile);
    const image::Image small = frameOf({0, 0, 16, 16});
    const std::string inFlight = "同時処理タイル数は1〜6にしてください。";
    EXPECT_EQ(messageOf([&] { enhancer->enhancePipelined(small, 0, CompositeBackend::metal); }), inFlight);
    EXPECT_EQ(messageOf([&] { enhancer->enhancePipelined(small, 7, CompositeBackend::metal); }), inFlight);

    const std::string pipelined = "出力上限（各辺8192px、合計約33MP）を超えます。";
    const std::string sequential =
        "出力上限（各辺8192px、合計約33MP）を超えます。小さい動画を使用してください。";
    for (const image::Rect& extent :
         {image::Rect{0, 0, 4097, 1}, image::Rect{0, 0, 1, 4097}, image::Rect{0, 0, 4096, 2049},
          image::Rect{0, 0, 1e12, 1}, image::Rect{0, 0, 0, 16}, image::Rect::null()}) {
        EXPECT_EQ(messageOf([&] { enhancer->enhancePipelined(frameOf(extent), 3, CompositeBackend::metal); }),
                  pipelined)
            << extent.width << "x" << extent.height;
        EXPECT_EQ(messageOf([&] { enhancer->enhance(frameOf(extent)); }), sequential);
    }
    // 8192 output pixels on a side are still within the limit.
    EXPECT_EQ(enhancer->enhancePipelined(frameOf({0, 0, 4096, 1}), 6, CompositeBackend::metal).image.extent(),
              (image::Rect{0, 0, 8192, 2}));

    // Extents that cannot be cut into whole-pixel tiles from the origin.
    const std::string extentMessage = "有限の整数サイズ・原点0の画像が必要です。";
    for (const image::Image& image : {image::Image::constantColor({}), frameOf({1, 0, 16, 16}),
                                      frameOf({0, -3, 16, 16}), frameOf({0, 0, 10.5, 16})}) {
        EXPECT_EQ(messageOf([&] { enhancer->enhancePipelined(image, 3, CompositeBackend::metal); }),
                  extentMessage);
        EXPECT_EQ(messageOf([&] { enhancer->enhance(image); }), extentMessage);
    }

    // A negative padding passes construction but no tile plan.
    const auto negative = tiled(ModelForm::modelFile, ml::ComputeUnits::cpuOnly, -1);
    EXPECT_EQ(messageOf([&] { negative->enhancePipelined(small, 3, CompositeBackend::metal); }),
              "タイルサイズまたは余白が不正です。");
    EXPECT_EQ(messageOf([&] { negative->enhance(small); }), "タイルサイズまたは余白が不正です。");
}

TEST_F(EnhancerTiledTest, CancellationStopsThePipeline) {
    auto enhancer = tiled(ModelForm::modelFile, ml::ComputeUnits::cpuOnly);
    CancellationToken early;
    early.cancel();
    EXPECT_EQ(messageOf([&] {
                  enhancer->enhancePipelined(frameOf({0, 0, 64, 64}), 3, CompositeBackend::metal, early);
              }),
              "(cancelled)");
    EXPECT_EQ(EnhancerTestAccess::pipelineSlotCount(*enhancer), 0u) << "cancelled before anything was made";

    // Cancelled while tiles are in flight: 40 × 23 tiles of the plain CPU network take far
    // longer than the moment before the cancel.
    const PixelBuffer next = randomImage(40, 30, 22);
    const PixelBuffer expected = expectedFor(next);
    const std::size_t liveBefore = lv_pixel_buffer_live_count();
    {
        const PixelBuffer frame = randomImage(640, 360, 21);
        CancellationToken token;
        auto running = std::async(std::launch::async, [&] {
            return messageOf([&] {
                enhancer->enhancePipelined(image::Image::fromPixelBuffer(frame), 6, CompositeBackend::metal,
                                           token);
            });
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        token.cancel();
        EXPECT_EQ(running.get(), "(cancelled)");
        EXPECT_EQ(enhancer->lastTimings().predictionMS, 0) << "a cancelled call leaves the timings alone";

        // The enhancer carries on with the slots it has.
        const EnhancementResult result =
            enhancer->enhancePipelined(image::Image::fromPixelBuffer(next), 6, CompositeBackend::coreImage);
        EXPECT_LE(largestDifference(pixels(result.image), expected, 2 * margin, 2 * margin), 2);
        EXPECT_GT(enhancer->lastTimings().predictionMS, 0);
        EXPECT_EQ(EnhancerTestAccess::pipelineSlotCount(*enhancer), 6u);
        EXPECT_EQ(EnhancerTestAccess::outputPool(*enhancer).outputPool().outstandingCount(), 1u)
            << "only the held result; the cancelled frame went back to the pool";
    }
    enhancer.reset();
    EXPECT_EQ(lv_pixel_buffer_live_count(), liveBefore - 1) << "every buffer the enhancer made is released";
}
