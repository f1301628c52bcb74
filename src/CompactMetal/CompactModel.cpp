#include "CompactMetal/CompactModel.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/FloatFiles.hpp"
#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include <cerrno>
#include <set>
#include <stdexcept>
#include <system_error>

namespace lumavane {

namespace {

namespace messages {
constexpr const char* unsupportedGraph = "Unsupported graph/dimensions";
constexpr const char* invalidRGBGraph = "Invalid RGB graph";
constexpr const char* invalidChannelCount = "Invalid channel count";
constexpr const char* invalidWeights = "Invalid weights";
constexpr const char* invalidPReLU = "Invalid PReLU";
constexpr const char* invalidInputSize = "Invalid input size";
constexpr const char* invalidRectangular = "Invalid rectangular Winograd configuration";
constexpr const char* invalidTileRows = "Invalid rectangular tile row configuration";
constexpr const char* vectorOutputNeedsTail = "Vector output requires a fused rectangular tail";
constexpr const char* nativeTailNeeds16 = "Native tail SIMD configuration requires a fused 16-channel tail";
constexpr const char* rowPairsNeed16 = "Paired native rows require a fused 16-channel tail";
constexpr const char* invalidLayerIndex = "Invalid rectangular layer index";
constexpr const char* middleLayerNeeded = "Rectangular Winograd requires a 16/24-channel middle layer";
constexpr const char* invalidTail = "Invalid rectangular tail configuration";
} // namespace messages

Layer decodeLayer(const nlohmann::json& value, const std::string& path) {
    const json_decoding::Object object(value, path);
    Layer layer;
    layer.input = object.integer("input");
    layer.output = object.integer("output");
    layer.prelu = object.boolean("prelu");
    return layer;
}

RectangularConfiguration decodeRectangular(const nlohmann::json& value, const std::string& path) {
    const json_decoding::Object object(value, path);
    RectangularConfiguration configuration;
    configuration.layers = object.array("layers", json_decoding::integer);
    configuration.tiles_per_group = object.integer("tiles_per_group");
    configuration.simd_groups = object.integer("simd_groups");
    configuration.narrow_input = object.boolean("narrow_input");
    configuration.fused_tail_simd_groups = object.optionalInteger("fused_tail_simd_groups");
    configuration.tile_rows = object.optionalInteger("tile_rows");
    configuration.fused_tail_vector_output = object.optionalBoolean("fused_tail_vector_output");
    configuration.native_tail_simd_groups = object.optionalInteger("native_tail_simd_groups");
    configuration.native_tail_row_pairs = object.optionalBoolean("native_tail_row_pairs");
    return configuration;
}

// a x b x c, or nothing when a factor is negative or the product overflows.
std::optional<std::uint64_t> product(std::initializer_list<std::int64_t> factors) {
    std::uint64_t result = 1;
    for (const std::int64_t factor : factors) {
        if (factor < 0) return std::nullopt;
        const auto f = static_cast<std::uint64_t>(factor);
        if (f != 0 && result > UINT64_MAX / f) return std::nullopt;
        result *= f;
    }
    return result;
}

bool in(std::int64_t value, std::initializer_list<std::int64_t> allowed) {
    for (const std::int64_t candidate : allowed) {
        if (value == candidate) return true;
    }
    return false;
}

} // namespace

Manifest Manifest::decode(std::string_view json) {
    const nlohmann::json document = json_decoding::parse(json);
    const json_decoding::Object object(document, "");
    Manifest manifest;
    manifest.architecture = object.string("architecture");
    manifest.width = object.integer("width");
    manifest.height = object.integer("height");
    manifest.scale = object.integer("scale");
    manifest.layers = object.array("layers", decodeLayer);
    manifest.checkpoint_sha256 = object.string("checkpoint_sha256");
    manifest.source = object.optionalString("source");
    manifest.license = object.optionalString("license");
    manifest.reduced_precision = object.optionalBoolean("reduced_precision");
    manifest.conv24_backend = object.optionalString("conv24_backend");
    manifest.conv16_backend = object.optionalString("conv16_backend");
    if (const nlohmann::json* block = object.optional("rectangular_winograd")) {
        manifest.rectangular_winograd = decodeRectangular(*block, object.pathOf("rectangular_winograd"));
    }
    return manifest;
}

std::string readManifestText(const std::filesystem::path& folder) {
    return files::readWholeText(folder / "manifest.json", maxManifestBytes);
}

Manifest readManifest(const std::filesystem::path& folder) {
    return Manifest::decode(readManifestText(folder));
}

void validateGraph(const Manifest& m) {
    require(m.architecture == "Compact" && m.width >= 16 && m.width <= 2048 && m.height >= 16 &&
                m.height <= 2048 && m.scale >= 2 && m.scale <= 4 && !m.layers.empty() &&
                m.layers.size() <= 64,
            messages::unsupportedGraph);
    require(!m.layers.empty() && m.layers.front().input == 3 &&
                m.layers.back().output == 3 * m.scale * m.scale,
            messages::invalidRGBGraph);
}

void validateRectangularConfiguration(const Manifest& m) {
    if (!m.rectangular_winograd) return;
    const RectangularConfiguration& r = *m.rectangular_winograd;
    const Layer* last = m.layers.empty() ? nullptr : &m.layers.back();
    const bool lastTakes16 = last && last->input == 16;

    const std::set<std::int64_t> distinct(r.layers.begin(), r.layers.end());
    require(in(r.tiles_per_group, {8, 16}) && in(r.simd_groups, {4, 8}) && distinct.size() == r.layers.size(),
            messages::invalidRectangular);
    const std::int64_t tileRows = r.tile_rows.value_or(1);
    require(in(tileRows, {1, 2, 4, 8, 16}) && r.tiles_per_group % tileRows == 0, messages::invalidTileRows);
    require(!r.fused_tail_vector_output.value_or(false) || r.fused_tail_simd_groups.has_value(),
            messages::vectorOutputNeedsTail);
    if (r.native_tail_simd_groups) {
        require(in(*r.native_tail_simd_groups, {4, 6, 8}) && lastTakes16 &&
                    r.fused_tail_simd_groups.has_value(),
                messages::nativeTailNeeds16);
    }
    if (r.native_tail_row_pairs.value_or(false)) {
        require(lastTakes16 && r.fused_tail_simd_groups.has_value(), messages::rowPairsNeed16);
    }
    const auto layerCount = static_cast<std::int64_t>(m.layers.size());
    for (const std::int64_t k : r.layers) {
        require(k > 0 && k < layerCount - 1, messages::invalidLayerIndex);
        const Layer& layer = m.layers[static_cast<std::size_t>(k)];
        require(in(layer.input, {16, 24}) && layer.output == layer.input && layer.prelu,
                messages::middleLayerNeeded);
    }
    if (r.fused_tail_simd_groups) {
        require(*r.fused_tail_simd_groups == 6 && m.scale == 4 && last && in(last->input, {16, 24}) &&
                    last->output == 48 && !last->prelu,
                messages::invalidTail);
    }
}

std::vector<std::uint8_t> readInputFrame(const std::filesystem::path& folder, const Manifest& manifest) {
    const std::optional<std::uint64_t> expected = product({manifest.width, manifest.height, 4});
    std::optional<files::FileContents> contents;
    try {
        contents = files::readFile(folder / "input.rgba",
                                   [&](std::uint64_t size) { return expected && size == *expected; });
    } catch (const std::filesystem::filesystem_error& error) {
        if (error.code() != std::errc::no_such_file_or_directory) throw;
    }
    require(expected.has_value() && *expected <= SIZE_MAX, messages::invalidInputSize);
    if (!contents) return std::vector<std::uint8_t>(static_cast<std::size_t>(*expected), 0);
    require(contents->bytes.has_value(), messages::invalidInputSize);
    return std::move(*contents->bytes);
}

LayerWeights readLayerWeights(const std::filesystem::path& folder, const Manifest& manifest,
                              std::size_t index) {
    if (index >= manifest.layers.size()) throw std::out_of_range("compact model layer index out of range");
    const Layer& layer = manifest.layers[index];
    require(layer.input >= 1 && layer.input <= 256 && layer.output >= 1 && layer.output <= 256 &&
                (index == 0 || layer.input == manifest.layers[index - 1].output),
            messages::invalidChannelCount);

    LayerWeights result;
    std::optional<std::vector<float>> weights = compact_files::floatsIfCount(
        folder / layerFileName(index, ".weights"), product({layer.input, layer.output, 9}));
    std::optional<std::vector<float>> bias =
        compact_files::floatsIfCount(folder / layerFileName(index, ".bias"), product({layer.output}));
    require(weights && bias, messages::invalidWeights);
    requireFinite(*weights, layerFileName(index, ".weights"));
    requireFinite(*bias, layerFileName(index, ".bias"));
    result.weights = std::move(*weights);
    result.bias = std::move(*bias);

    if (layer.prelu) {
        const std::optional<std::uint64_t> expected = product({layer.output, 4});
        files::FileContents slopes =
            files::readFile(folder / layerFileName(index, ".prelu"),
                            [&](std::uint64_t size) { return expected && size == *expected; });
        require(slopes.bytes.has_value(), messages::invalidPReLU);
        result.prelu = compact_files::littleEndianFloats(*slopes.bytes);
        requireFinite(*result.prelu, layerFileName(index, ".prelu"));
    }
    return result;
}

std::string layerFileName(std::size_t index, std::string_view extension) {
    return std::to_string(index) + std::string(extension);
}

} // namespace lumavane
