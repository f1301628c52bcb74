// The strip engine: how it cuts frames into strips with halos and shares engines between strips
// of equal height, its refusals, and its output against the whole network on the CPU and
// against the base engine's own whole-frame run.
#include "CompactMetal/StripMetalEngine.hpp"
#include "CompactMetal/TestModelFolder.hpp"
#include "CompactMetal/support/CpuReference.hpp"
#include "CompactMetal/support/EngineReference.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <tuple>

namespace lumavane::testing {
namespace {

using gpu::GPUFamily;
using TileTuple =
    std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t>; // first, content, count, height

class StripEngine : public EngineTest {
protected:
    // A model of `body` + 2 layers (the halo) exported at width x height, and a base engine over
    // it with full-frame buffers.
    std::shared_ptr<CompactMetalEngine> makeBase(std::int64_t scale, std::int64_t features, int body,
                                                 std::int64_t width, std::int64_t height,
                                                 const nlohmann::json& extra = nullptr,
                                                 std::initializer_list<GPUFamily> families = {},
                                                 CompactMetalEngineOptions options = {}) {
        writeModel(scale, features, body, extra, width, height);
        options.folder = folder;
        options.benchmarkBuffers = true;
        options.device = deviceWithFamilies(families);
        return std::make_shared<CompactMetalEngine>(options);
    }

    static std::vector<TileTuple> tiles(const StripMetalEngine& strips) {
        std::vector<TileTuple> list;
        for (const auto& t : strips.tiles()) list.emplace_back(t.first, t.content, t.count, t.height);
        return list;
    }

    static std::vector<std::int64_t> slotHeights(const StripMetalEngine& strips) {
        std::vector<std::int64_t> heights;
        for (const auto& [height, slot] : strips.slots()) heights.push_back(height);
        return heights;
    }

    // Writes the frame into the base's input buffer, runs the strips and reads the output buffer.
    Bgra8Image runStrips(StripMetalEngine& strips, const Bgra8Image& frame) {
        const CompactMetalEngine& base = *strips.base();
        const std::vector<std::uint8_t> bytes = rgbaBytes(frame);
        std::memcpy(base.input()->contents(), bytes.data(), bytes.size());
        std::memset(base.output()->contents(), 77, base.output()->length());
        EXPECT_GT(strips.run(), 0.0);
        const auto S = static_cast<std::size_t>(base.manifest().scale);
        return fromRgbaBytes(static_cast<const std::uint8_t*>(base.output()->contents()), frame.width * S,
                             frame.height * S);
    }
};

// Geometry ---------------------------------------------------------------------------------------

TEST_F(StripEngine, CutsA1080RowFrameIntoFiveStripsServedByThreeEngines) {
    auto base = makeBase(2, 4, 6, 16, 1080); // 8 layers: 8 halo rows
    StripMetalEngine strips(folder, base, 256);
    EXPECT_EQ(tiles(strips), (std::vector<TileTuple>{{0, 0, 256, 264},
                                                     {248, 256, 256, 272},
                                                     {504, 512, 256, 272},
                                                     {760, 768, 256, 272},
                                                     {1016, 1024, 56, 64}}));
    EXPECT_EQ(slotHeights(strips), (std::vector<std::int64_t>{64, 264, 272}));
    for (const auto& [height, slot] : strips.slots()) {
        EXPECT_EQ(slot.engine->frameHeight(), height);
        EXPECT_EQ(slot.engine->device(), base->device());
        EXPECT_EQ(slot.output->height(), static_cast<std::size_t>(2 * height));
    }
    // The frame views are the base's buffers, not copies.
    EXPECT_EQ(strips.source()->buffer()->contents(), base->input()->contents());
    EXPECT_EQ(strips.destination()->buffer()->contents(), base->output()->contents());
    EXPECT_EQ(strips.destination()->layout().rowPitch, 128u);
}

TEST_F(StripEngine, StripsAtTheFrameEdgesAndSlotsPerDistinctHeight) {
    auto base = makeBase(2, 4, 2, 16, 50); // 4 layers
    {
        // The smallest strip height; the last strip owns the remainder and has no lower halo.
        StripMetalEngine strips(folder, base, 16);
        EXPECT_EQ(tiles(strips), (std::vector<TileTuple>{
                                     {0, 0, 16, 20}, {12, 16, 16, 24}, {28, 32, 16, 22}, {44, 48, 2, 6}}));
        EXPECT_EQ(slotHeights(strips), (std::vector<std::int64_t>{6, 20, 22, 24}));
    }
    {
        // One strip fed the whole frame.
        StripMetalEngine strips(folder, base, 50);
        EXPECT_EQ(tiles(strips), (std::vector<TileTuple>{{0, 0, 50, 50}}));
        EXPECT_EQ(slotHeights(strips), (std::vector<std::int64_t>{50}));
    }
    {
        // A frame that is a multiple of the rows: the last strip owns whole rows, has no lower
        // halo, and shares the first strip's engine.
        auto even = makeBase(2, 4, 2, 16, 48);
        StripMetalEngine strips(folder, even, 16);
        EXPECT_EQ(tiles(strips),
                  (std::vector<TileTuple>{{0, 0, 16, 20}, {12, 16, 16, 24}, {28, 32, 16, 20}}));
        EXPECT_EQ(slotHeights(strips), (std::vector<std::int64_t>{20, 24}));
    }
}

TEST_F(StripEngine, HalosClippedByAShortFrameOrByRowZero) {
    {
        // Shorter than rows + halo: the first strip is clipped to the frame bottom.
        auto base = makeBase(2, 4, 6, 16, 20); // 8 layers
        StripMetalEngine strips(folder, base, 16);
        EXPECT_EQ(tiles(strips), (std::vector<TileTuple>{{0, 0, 16, 20}, {8, 16, 4, 12}}));
        EXPECT_EQ(slotHeights(strips), (std::vector<std::int64_t>{12, 20}));
    }
    {
        // More halo rows than strip rows: the second strip's upper halo stops at row 0.
        auto base = makeBase(2, 4, 18, 16, 64); // 20 layers
        StripMetalEngine strips(folder, base, 16);
        EXPECT_EQ(tiles(strips), (std::vector<TileTuple>{
                                     {0, 0, 16, 36}, {0, 16, 16, 52}, {12, 32, 16, 52}, {28, 48, 16, 36}}));
        EXPECT_EQ(slotHeights(strips), (std::vector<std::int64_t>{36, 52}));
        // And the output is still the whole frame's.
        const Bgra8Image frame = randomBgra8(16, 64, 5);
        expectFrame(runStrips(strips, frame), expectedOutput(model, frame, EngineOutput::native, false));
    }
}

// Refusals ---------------------------------------------------------------------------------------

TEST_F(StripEngine, RefusesStripHeightsRowAlignmentsAndBasesItCannotUse) {
    auto base = makeBase(2, 4, 1, 16, 40);
    for (const std::int64_t rows : {-16, 0, 15, 41})
        expectCheckError([&] { StripMetalEngine(folder, base, rows); }, "Invalid strip height");
    EXPECT_NO_THROW(StripMetalEngine(folder, base, 40));
    EXPECT_THROW(StripMetalEngine(folder, nullptr, 16), std::invalid_argument);

    // 18 pixels are 72 bytes, not a multiple of the device's 16-byte alignment; the height first.
    auto unaligned = makeBase(2, 4, 1, 18, 32);
    expectCheckError([&] { StripMetalEngine(folder, unaligned, 16); },
                     "Probe input row needs texture-buffer alignment");
    expectCheckError([&] { StripMetalEngine(folder, unaligned, 15); }, "Invalid strip height");

    // A live engine holds 4-byte placeholders; a 4x model's buffers sized for 2x output are a
    // quarter of what the strips write.
    const std::string message = "Strip engine needs the base engine's full-frame buffers";
    writeModel(2, 4, 1, nullptr, 16, 32);
    CompactMetalEngineOptions live;
    live.folder = folder;
    expectCheckError([&] { StripMetalEngine(folder, std::make_shared<CompactMetalEngine>(live), 16); },
                     message);
    CompactMetalEngineOptions down2;
    down2.benchmarkOutputScale = 2;
    expectCheckError([&] { StripMetalEngine(folder, makeBase(4, 4, 1, 16, 32, nullptr, {}, down2), 16); },
                     message);
}

TEST_F(StripEngine, PassesStripEngineErrorsThrough) {
    auto base = makeBase(2, 4, 1, 16, 32);
    const auto good = folder;
    {
        // A folder that cannot build an engine.
        nlohmann::json manifest = compactManifest(2, compactLayers(2, 4, 1), 16, 32);
        manifest["architecture"] = "SPAN";
        const auto broken = directory.path() / "broken";
        writeCompactModelFolder(broken, manifest);
        expectCheckError([&] { StripMetalEngine(broken, base, 16); }, "Unsupported graph/dimensions");
        EXPECT_THROW(StripMetalEngine(directory.path() / "missing", base, 16),
                     std::filesystem::filesystem_error);
    }
    {
        // A 4x folder beside a 2x base: its strips cannot be recorded into the 2x textures.
        writeModel(4, 4, 1, nullptr, 16, 32);
        StripMetalEngine strips(folder, base, 16);
        expectCheckError([&] { strips.run(); },
                         "Metal input/output dimensions differ from the imported model");
    }
    EXPECT_NO_THROW(StripMetalEngine(good, base, 16).run());
}

// Output -----------------------------------------------------------------------------------------

TEST_F(StripEngine, StitchedFrameIsTheWholeFramesOnThePlatformRoadAtEveryScale) {
    for (const std::int64_t scale : {2, 3, 4}) {
        SCOPED_TRACE(scale);
        // 4 layers; strips (0, 0, 16, 20), (12, 16, 16, 24), (28, 32, 5, 9).
        auto base = makeBase(scale, 8, 2, 20, 37);
        StripMetalEngine strips(folder, base, 16);
        ASSERT_EQ(strips.tiles().size(), 3u);
        const Bgra8Image frame = randomBgra8(20, 37, static_cast<std::uint32_t>(scale));
        const Bgra8Image stitched = runStrips(strips, frame);
        expectFrame(stitched, expectedOutput(model, frame, EngineOutput::native, false));

        // Each output row depends on the frame within `layers` rows only, so the halos make the
        // strips compute exactly what the whole frame does, seams included.
        base->run(std::nullopt);
        const auto S = static_cast<std::size_t>(scale);
        const Bgra8Image whole =
            fromRgbaBytes(static_cast<const std::uint8_t*>(base->output()->contents()), 20 * S, 37 * S);
        EXPECT_EQ(maxLevelDifference(stitched, whole), 0);
    }
}

TEST_F(StripEngine, WinogradRoadWithFusedNative4xTail) {
    // 16-channel Winograd layers and the fused native 4x tail on a device of family Apple 7.
    auto base =
        makeBase(4, 16, 2, 20, 37, {{"conv16_backend", "winograd"}}, {GPUFamily::apple7, GPUFamily::apple8});
    StripMetalEngine strips(folder, base, 16);
    for (const auto& [height, slot] : strips.slots()) {
        EXPECT_EQ(slot.engine->convolutionBackend(), "metal-16-winograd");
        EXPECT_TRUE(slot.engine->deferReconstructionImage());
    }
    const Bgra8Image frame = randomBgra8(20, 37, 21);
    expectFrame(runStrips(strips, frame), expectedOutput(model, frame, EngineOutput::native, false));
}

} // namespace
} // namespace lumavane::testing
