#include <algorithm>

#include "Platform/Ml/FeatureValue.hpp"
#include "Platform/Ml/MlTypes.hpp"

namespace lumavane::ml {

bool ImageConstraint::allows(size_t width, size_t height) const {
    switch (sizeConstraint.type) {
    case ImageSizeConstraint::Type::enumerated:
        return std::find(sizeConstraint.enumeratedImageSizes.begin(),
                         sizeConstraint.enumeratedImageSizes.end(),
                         ImageSize{width, height}) != sizeConstraint.enumeratedImageSizes.end();
    case ImageSizeConstraint::Type::range:
        return width > 0 && height > 0 && sizeConstraint.pixelsWideRange.contains(width) &&
               sizeConstraint.pixelsHighRange.contains(height);
    case ImageSizeConstraint::Type::unspecified:
    default:
        return width == pixelsWide && height == pixelsHigh;
    }
}

const FeatureDescription* ModelDescription::input(const std::string& name) const {
    for (const auto& d : inputDescriptions)
        if (d.name == name) return &d;
    return nullptr;
}

const FeatureDescription* ModelDescription::output(const std::string& name) const {
    for (const auto& d : outputDescriptions)
        if (d.name == name) return &d;
    return nullptr;
}

std::vector<std::string> FeatureProvider::featureNames() const {
    std::vector<std::string> names;
    for (const auto& entry : values_) names.push_back(entry.first);
    return names;
}

std::optional<FeatureValue> FeatureProvider::featureValue(const std::string& name) const {
    const auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

} // namespace lumavane::ml
