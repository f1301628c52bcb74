#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Video/PixelBuffer.h"

namespace lumavane::ml {

// Errors of this layer are PlatformError values of this domain.
inline constexpr const char* errorDomain = "Lumavane.Ml";
enum ErrorCode {
    errorGeneric = 0,     // the model cannot be read, or uses something this runtime does not run
    errorFeatureType = 1, // prediction input that does not fit the model's description
    errorIO = 3,          // a file or folder cannot be read or written
    errorPrediction = 4,  // the prediction itself failed (device error, out of memory)
};

// Pixel formats of image features: colour images are 32-bit BGRA.
inline constexpr uint32_t pixelFormat32BGRA = LV_PIXEL_FORMAT_32BGRA;
inline constexpr uint32_t pixelFormatOneComponent8 = LV_FOURCC('L', '0', '0', '8');
inline constexpr uint32_t pixelFormatOneComponent16Half = LV_FOURCC('L', '0', '0', 'h');

// Where predictions run. The CPU-only choice runs the plain float32 reference executor; the
// others run on the GPU layer (falling back to the CPU when there is no OpenCL device).
enum class ComputeUnits { cpuOnly, cpuAndGPU, all, cpuAndNeuralEngine };

struct ModelConfiguration {
    ComputeUnits computeUnits = ComputeUnits::all;
    // Accepted for compatibility; work is always accumulated in float.
    bool allowLowPrecisionAccumulationOnGPU = false;
};

enum class FeatureType { invalid, int64, double_, string, image, multiArray, dictionary, sequence };

struct ImageSize {
    size_t pixelsWide = 0;
    size_t pixelsHigh = 0;
    bool operator==(const ImageSize&) const = default;
};

// An inclusive range of sizes; no maximum means unbounded.
struct SizeRange {
    size_t minimum = 0;
    std::optional<size_t> maximum;
    bool contains(size_t value) const { return value >= minimum && (!maximum || value <= *maximum); }
};

struct ImageSizeConstraint {
    enum class Type { unspecified, enumerated, range };
    Type type = Type::unspecified;
    std::vector<ImageSize> enumeratedImageSizes; // for enumerated
    SizeRange pixelsWideRange;                   // for range
    SizeRange pixelsHighRange;
};

struct ImageConstraint {
    size_t pixelsWide = 0; // the required size, or the default size of a flexible one
    size_t pixelsHigh = 0;
    uint32_t pixelFormatType = 0;
    ImageSizeConstraint sizeConstraint;

    // Whether an image of this size may be given (or comes out) for this feature.
    bool allows(size_t width, size_t height) const;
};

struct FeatureDescription {
    std::string name;
    FeatureType type = FeatureType::invalid;
    bool isOptional = false;
    std::optional<ImageConstraint> imageConstraint; // present for image features
};

// The model's metadata; creatorDefined holds the creator-defined (user) key/value pairs.
struct ModelMetadata {
    std::string description;
    std::string versionString;
    std::string author;
    std::string license;
    std::map<std::string, std::string> creatorDefined;
};

struct ModelDescription {
    std::vector<FeatureDescription> inputDescriptions;  // in the model's order
    std::vector<FeatureDescription> outputDescriptions; // in the model's order
    ModelMetadata metadata;

    const FeatureDescription* input(const std::string& name) const;
    const FeatureDescription* output(const std::string& name) const;
};

} // namespace lumavane::ml
