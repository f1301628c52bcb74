#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumavane {

// The compact model folder: "manifest.json", and per layer i the raw little-endian
// float32 files "<i>.weights" (output x 3 x 3 x input, output channel outermost,
// input channel innermost), "<i>.bias" and, with "prelu", "<i>.prelu".
// Field names follow the manifest keys.

// One element of "layers": a 3x3 convolution with bias and an optional PReLU.
struct Layer {
    std::int64_t input = 0;
    std::int64_t output = 0;
    bool prelu = false;
};

// Value of "rectangular_winograd".
struct RectangularConfiguration {
    std::vector<std::int64_t> layers;
    std::int64_t tiles_per_group = 0;
    std::int64_t simd_groups = 0;
    bool narrow_input = false;
    std::optional<std::int64_t> fused_tail_simd_groups;
    std::optional<std::int64_t> tile_rows;
    std::optional<bool> fused_tail_vector_output;
    std::optional<std::int64_t> native_tail_simd_groups;
    std::optional<bool> native_tail_row_pairs;
};

struct Manifest {
    std::string architecture;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t scale = 0;
    std::vector<Layer> layers;
    std::string checkpoint_sha256;
    std::optional<std::string> source;
    std::optional<std::string> license;
    std::optional<bool> reduced_precision;
    std::optional<std::string> conv24_backend;
    std::optional<std::string> conv16_backend;
    std::optional<RectangularConfiguration> rectangular_winograd;

    // Throws JSONDecodingError (Platform/Foundation/JSONDecoding.hpp) for text that is
    // not a manifest; no value is checked here beyond its JSON type.
    static Manifest decode(std::string_view json);
};

// Manifests of every engine of the module are a few kilobytes; a larger file is not one and is
// refused before it is read.
inline constexpr std::uint64_t maxManifestBytes = 4u << 20;

// folder/"manifest.json" as text. A file over maxManifestBytes fails with a
// std::filesystem::filesystem_error of std::errc::file_too_large naming the limit, as
// other read failures do.
std::string readManifestText(const std::filesystem::path& folder);

// Reads folder/"manifest.json" (readManifestText) and decodes it. File errors are
// std::filesystem::filesystem_error, decoding errors JSONDecodingError.
Manifest readManifest(const std::filesystem::path& folder);

// The validation steps of a compact model. Each throws the module's check error
// (CompactMetal/CompactMetalError.hpp) with the message of the first rule broken.
// The engine decides the order of the steps and which apply.

// "Unsupported graph/dimensions", then "Invalid RGB graph".
void validateGraph(const Manifest& manifest);

// The rules of "rectangular_winograd", in their order; nothing when the block is absent.
void validateRectangularConfiguration(const Manifest& manifest);

// folder/"input.rgba" (width x height x 4 bytes, "Invalid input size" otherwise),
// or as many zero bytes when the folder has none.
std::vector<std::uint8_t> readInputFrame(const std::filesystem::path& folder, const Manifest& manifest);

struct LayerWeights {
    std::vector<float> weights;
    std::vector<float> bias;
    std::optional<std::vector<float>> prelu; // one slope per output channel, when "prelu"
};

// Checks layer index's channel counts ("Invalid channel count"), then reads its
// weights and bias ("Invalid float file", file errors) and checks their counts
// ("Invalid weights"), then, with "prelu", reads the slopes ("Invalid PReLU").
// A NaN or infinite value in any of them fails with "Non-finite weights in <file>".
// Files of the wrong size are refused without loading them. Read the layers in
// index order so that a folder's first fault is the one reported.
LayerWeights readLayerWeights(const std::filesystem::path& folder, const Manifest& manifest,
                              std::size_t index);

// "<index><extension>", e.g. layerFileName(12, ".prelu") is "12.prelu".
std::string layerFileName(std::size_t index, std::string_view extension);

} // namespace lumavane
