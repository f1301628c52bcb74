#include "EnhancementCore/Enhancer.hpp"

#include "EnhancementCore/EnhancementError.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Image/Context.hpp"

#include <cmath>

namespace lumavane {
namespace {

constexpr double maximumWholeFrameSide = 2048;

bool acceptableSide(double side) {
    return std::isfinite(side) && side == std::floor(side) && side >= 1 && side <= maximumWholeFrameSide;
}

} // namespace

EnhancementResult Enhancer::enhanceWholeFrame(const image::Image& image) {
    const image::Rect extent = image.extent();
    // A null extent has an infinite origin and an infinite one a huge size: both fail here.
    if (extent.x != 0 || extent.y != 0 || !acceptableSide(extent.width) || !acceptableSide(extent.height))
        throw EnhancementError::invalid(EnhancementMessage::wholeFrameSize);
    const int width = int(extent.width), height = int(extent.height);

    if (wholeFrameFixedSize_) {
        const auto fixedWidth = static_cast<long long>(wholeFrameFixedSize_->width);
        const auto fixedHeight = static_cast<long long>(wholeFrameFixedSize_->height);
        if (width != fixedWidth || height != fixedHeight)
            throw EnhancementError::invalid(EnhancementMessage::fixedSizeOnly, {fixedWidth, fixedHeight});
    }

    EnhancementTimings timings;
    const double t0 = hostTimeSeconds();
    if (!wholeFrameBuffer_ || wholeFrameBuffer_.width() != std::size_t(width) ||
        wholeFrameBuffer_.height() != std::size_t(height)) {
        wholeFrameBuffer_ = buffer(width, height);
        info_.inputWidth = width;
        info_.inputHeight = height;
        info_.isWholeFrame = true;
    }
    timings.setupMS = (hostTimeSeconds() - t0) * 1000;

    const double t2 = hostTimeSeconds();
    context_->render(image, wholeFrameBuffer_, extent);
    const ml::FeatureProvider provider({{inputName_, ml::FeatureValue(wholeFrameBuffer_)}});
    timings.prepareMS = (hostTimeSeconds() - t2) * 1000;

    const double t4 = hostTimeSeconds();
    const ml::FeatureProvider result = model_->prediction(provider);
    const std::optional<ml::FeatureValue> value = result.featureValue(outputName_);
    const long long scale = info_.scale;
    if (!value || value->type() != ml::FeatureType::image ||
        static_cast<long long>(value->imageBufferValue().width()) != width * scale ||
        static_cast<long long>(value->imageBufferValue().height()) != height * scale)
        throw EnhancementError::invalid(EnhancementMessage::outputScaleMismatch);
    timings.predictionMS = (hostTimeSeconds() - t4) * 1000;

    lastTimings_ = timings;
    return EnhancementResult{image::Image::fromPixelBuffer(value->imageBufferValue()), 1};
}

} // namespace lumavane
