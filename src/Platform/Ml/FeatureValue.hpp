#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Ml/MlTypes.hpp"
#include "Platform/Video/PixelBuffer.hpp"

namespace lumavane::ml {

// One feature's value. Only images (pixel buffers) are carried: the models run here take and
// give images.
class FeatureValue {
public:
    FeatureValue() = default;
    explicit FeatureValue(PixelBuffer pixelBuffer) : pixelBuffer_(std::move(pixelBuffer)) {}

    FeatureType type() const noexcept { return pixelBuffer_ ? FeatureType::image : FeatureType::invalid; }
    // The image; empty when the value is not an image.
    const PixelBuffer& imageBufferValue() const noexcept { return pixelBuffer_; }

private:
    PixelBuffer pixelBuffer_;
};

// Named feature values: the input of a prediction and its result.
class FeatureProvider {
public:
    FeatureProvider() = default;
    FeatureProvider(std::map<std::string, FeatureValue> values) : values_(std::move(values)) {}

    std::vector<std::string> featureNames() const;
    std::optional<FeatureValue> featureValue(const std::string& name) const;
    void setFeatureValue(const std::string& name, FeatureValue value) { values_[name] = std::move(value); }

private:
    std::map<std::string, FeatureValue> values_;
};

struct PredictionOptions {
    // Buffers the prediction should write its image outputs into, by output name. A backing is
    // used when it is a BGRA buffer of exactly the output's size; the output value is then that
    // very buffer (compare with ==). Otherwise the output gets a new buffer.
    std::map<std::string, PixelBuffer> outputBackings;
};

} // namespace lumavane::ml
