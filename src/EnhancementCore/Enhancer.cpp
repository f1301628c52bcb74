#include "EnhancementCore/Enhancer.hpp"

#include "EnhancementCore/EnhancementError.hpp"
#include "EnhancementCore/EnhancerInternal.hpp"
#include "EnhancementCore/MetalTileComposer.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "Platform/Image/Context.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <system_error>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

constexpr const char* defaultLicense = "未指定（配布元で確認）";
constexpr const char* defaultSource = "未指定";

std::string lowercaseExtension(const fs::path& url) {
    std::string extension = url.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension;
}

// A decimal integer with an optional sign and nothing else; anything else counts as absent.
std::optional<long long> decimalInteger(const std::string& text) {
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty() || digits.front() == '+') return std::nullopt;
    long long value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

std::optional<std::string> metadataValue(const std::map<std::string, std::string>& metadata,
                                         const char* key) {
    const auto it = metadata.find(key);
    if (it == metadata.end()) return std::nullopt;
    return it->second;
}

// Removes a compiled copy on every way out of construction; failures are of no consequence.
struct CompiledCopy {
    fs::path path;
    ~CompiledCopy() {
        if (path.empty()) return;
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

[[noreturn]] void unsupportedModel() {
    throw EnhancementError::invalid(EnhancementMessage::unsupportedModel);
}

} // namespace

Enhancer::Enhancer(const fs::path& url, int padding, ml::ComputeUnits computeUnits,
                   bool allowLowPrecisionAccumulation) {
    // A folder given with a trailing separator still names the package.
    const fs::path location = url.has_filename() ? url : url.parent_path();
    const std::string extension = lowercaseExtension(location);
    if (extension != "mlmodel" && extension != "mlpackage" && extension != "mlmodelc")
        throw EnhancementError::invalid(EnhancementMessage::chooseCoreML);

    CompiledCopy compiledCopy;
    fs::path compiled = location;
    if (extension != "mlmodelc") {
        compiled = ml::Model::compileModel(location);
        compiledCopy.path = compiled;
    }

    model_ = ml::Model::load(compiled, ml::ModelConfiguration{computeUnits, allowLowPrecisionAccumulation});
    const ml::ModelDescription& description = model_->modelDescription();
    const auto& metadata = description.metadata.creatorDefined;

    const bool wholeFrame = metadataValue(metadata, "coravel.execution") == "whole-frame";
    std::optional<long long> declaredScale;
    if (const auto text = metadataValue(metadata, "coravel.scale")) declaredScale = decimalInteger(*text);
    const bool fixedShape = metadataValue(metadata, "coravel.shape") == "fixed";
    const bool realCUGAN = metadataValue(metadata, "coravel.architecture") == "RealCUGAN";
    const bool realCUGAN2xFast =
        realCUGAN && metadataValue(metadata, "coravel.variant") == "2x-fast" && declaredScale == 2;
    const bool fixedWithScale = fixedShape && declaredScale && *declaredScale >= 1 && *declaredScale <= 4;

    if (wholeFrame && !realCUGAN2xFast && !fixedWithScale)
        throw EnhancementError::invalid(EnhancementMessage::unsupportedWholeFrame);
    if (realCUGAN && !wholeFrame) throw EnhancementError::invalid(EnhancementMessage::realCUGANWholeFrame);

    if (description.inputDescriptions.size() != 1 || description.outputDescriptions.size() != 1)
        unsupportedModel();
    const ml::FeatureDescription& input = description.inputDescriptions.front();
    const ml::FeatureDescription& output = description.outputDescriptions.front();
    if (input.type != ml::FeatureType::image || output.type != ml::FeatureType::image ||
        !input.imageConstraint || !output.imageConstraint)
        unsupportedModel();
    const long long inputWidth = static_cast<long long>(input.imageConstraint->pixelsWide);
    const long long inputHeight = static_cast<long long>(input.imageConstraint->pixelsHigh);
    const long long outputWidth = static_cast<long long>(output.imageConstraint->pixelsWide);
    const long long outputHeight = static_cast<long long>(output.imageConstraint->pixelsHigh);
    // An empty side would divide by zero below, a huge one overflow the frame arithmetic.
    const long long sizeLimit = 1 << 24;
    for (long long side : {inputWidth, inputHeight, outputWidth, outputHeight})
        if (side < 1 || side > sizeLimit) unsupportedModel();
    if (2LL * padding >= inputWidth || 2LL * padding >= inputHeight) unsupportedModel();
    if (input.imageConstraint->pixelFormatType != ml::pixelFormat32BGRA ||
        output.imageConstraint->pixelFormatType != ml::pixelFormat32BGRA)
        unsupportedModel();
    const long long ratio = outputWidth / inputWidth;
    if (!wholeFrame) {
        if (outputWidth % inputWidth != 0 || outputHeight % inputHeight != 0 ||
            ratio != outputHeight / inputHeight || ratio < 1 || ratio > 4)
            unsupportedModel();
    }
    if (fixedWithScale && *declaredScale != ratio) unsupportedModel();
    // A whole-frame model's output is checked against the declared scale on every frame; one
    // whose description already disagrees would fail every frame.
    if (wholeFrame &&
        (outputWidth != *declaredScale * inputWidth || outputHeight != *declaredScale * inputHeight))
        unsupportedModel();

    inputName_ = input.name;
    outputName_ = output.name;

    usesWholeFrame_ = wholeFrame;
    padding_ = wholeFrame ? 0 : padding;
    if (wholeFrame && fixedShape) wholeFrameFixedSize_ = image::Size{double(inputWidth), double(inputHeight)};

    info_ = ModelInfo{
        .name = location.stem().string(),
        .inputWidth = int(inputWidth),
        .inputHeight = int(inputHeight),
        .scale = int(fixedWithScale ? *declaredScale : ratio),
        .license = metadataValue(metadata, "coravel.license").value_or(defaultLicense),
        .source = metadataValue(metadata, "coravel.source").value_or(defaultSource),
        .isWholeFrame = wholeFrame,
    };

    const std::shared_ptr<gpu::Device> device = gpu::Device::systemDefault();
    if (!device) throw EnhancementError::invalid(EnhancementMessage::noMetalDevice);
    context_ = image::Context::make(device);
    metalComposer_ = std::make_unique<MetalTileComposer>(device);
    inputBuffer_ = buffer(info_.inputWidth, info_.inputHeight);
}

} // namespace lumavane
