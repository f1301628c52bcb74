#pragma once

// The whole compact network on the CPU, for checking CompactMetalEngine end to end: model
// folders whose weights have a trained network's scale (so that features stay in range through
// the layers and most output pixels are not clamped), the network from an input frame to its
// last feature image, and the engine's outputs (native, 2x, approximate 2x, display-resampled,
// flipped) built from the plain reference of CpuReference.hpp.

#include "CompactMetal/CompactMetalEngine.hpp"
#include "CompactMetal/TestModelFolder.hpp"
#include "CompactMetal/support/CpuReference.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <vector>

namespace lumavane::testing {

struct EngineLayer {
    std::size_t input = 0, output = 0;
    std::vector<float> weights, bias;
    std::optional<std::vector<float>> slopes;
};

struct EngineModel {
    std::size_t scale = 0;
    std::vector<EngineLayer> layers;
};

// Writes folder/"manifest.json" and the layer files of `manifest` with weights scaled for the
// layer's fan-in, small last-layer corrections and PReLU slopes in 0.05...0.35.
EngineModel writeEngineModel(const std::filesystem::path& folder, const nlohmann::json& manifest,
                             std::uint32_t seed);

// The features entering layer `layerCount` (all layers when nullopt) for the frame, every layer's
// output rounded to half precision as the engine's images store it.
FloatImage runLayers(const EngineModel& model, const Bgra8Image& source,
                     std::optional<std::size_t> layerCount = std::nullopt);

enum class EngineOutput { native, down2, approximateDown2, optimal };

// What the engine writes for the frame: the model's native reconstruction, its exact 2x
// reduction, the approximate 2x output, or the approximate 2x image resampled to
// width x height (optimal); flipped vertically when asked.
FloatImage expectedOutput(const EngineModel& model, const Bgra8Image& source, EngineOutput output, bool flip,
                          std::size_t width = 0, std::size_t height = 0);

// An RGBA frame (the benchmark buffers' layout) from a BGRA one and back.
std::vector<std::uint8_t> rgbaBytes(const Bgra8Image& image);
Bgra8Image fromRgbaBytes(const std::uint8_t* bytes, std::size_t width, std::size_t height);

// Driving the engine ------------------------------------------------------------------------

// A device over the OpenCL device answering with the common families plus `apple` ones.
std::shared_ptr<gpu::Device> deviceWithFamilies(std::initializer_list<gpu::GPUFamily> apple);

struct FrameRequest {
    std::optional<std::int64_t> outputScale;
    bool flip = false;
    bool directInput = false;
    bool optimal = false;
    std::size_t width = 0, height = 0; // of the destination with `optimal`
};

// Encodes one frame into a command buffer of the engine's queue, runs it and returns the
// destination. The pipelines recorded are appended to `pipelines` when given.
Bgra8Image encodeFrame(CompactMetalEngine& engine, const Bgra8Image& source, const FrameRequest& request,
                       std::vector<std::shared_ptr<gpu::ComputePipelineState>>* pipelines = nullptr);

// The pipelines a command buffer has recorded, in order.
std::vector<std::shared_ptr<gpu::ComputePipelineState>> recordedPipelines(gpu::CommandBuffer& command);

// Within two 8-bit levels everywhere, and within one for all but a few values: the engine keeps
// features in half precision between layers.
void expectFrame(const Bgra8Image& actual, const FloatImage& expected);

// Model folders in a temporary directory and engines built over them.
class EngineTest : public ::testing::Test {
protected:
    // A model of `features` channels (first layer 3 to features, `body` body layers, the last to
    // 3·s²) exported at width x height, with extra manifest keys; sets `model` and `folder`.
    void writeModel(std::int64_t scale, std::int64_t features, int body,
                    const nlohmann::json& extra = nullptr, std::int64_t width = 24, std::int64_t height = 16);
    // The same, built on a device of the common families plus `apple`.
    std::unique_ptr<CompactMetalEngine> build(std::int64_t scale, std::int64_t features, int body,
                                              const nlohmann::json& extra,
                                              std::initializer_list<gpu::GPUFamily> apple,
                                              CompactMetalEngineOptions options = {});

    TemporaryDirectory directory;
    EngineModel model;
    std::filesystem::path folder;
    int models = 0;
};

} // namespace lumavane::testing
