#include "CompactMetal/CompactMetalError.hpp"

#include <cmath>

namespace lumavane {

namespace CompactMetalError {

PlatformError check(std::string message) { return PlatformError(checkDomain, 1, std::move(message)); }

PlatformError metalUnavailable() { return PlatformError(metalUnavailableDomain, 1); }

PlatformError rectangularAllocation() { return PlatformError(rectangularAllocationDomain, 1); }

PlatformError spanMissingKernel(const std::string& functionName) {
    return PlatformError(spanDomain, 2, "Missing kernel " + functionName);
}

PlatformError spanMissingConvolution(const std::string& convolutionName) {
    return PlatformError(spanDomain, 3, "Missing convolution " + convolutionName);
}

PlatformError realCUGANProbe(std::string message) {
    return PlatformError(realCUGANProbeDomain, 1, std::move(message));
}

PlatformError missingResourceBundle(const std::string& bundlePath) {
    return PlatformError(resourceDomain, missingBundleCode, "Kernel source folder not found: " + bundlePath);
}

PlatformError missingShaderSource(const std::string& fileName, const std::string& bundlePath) {
    return PlatformError(resourceDomain, missingSourceCode,
                         "Kernel source \"" + fileName + "\" not found in " + bundlePath);
}

PlatformError missingFunction(const std::string& functionName, const std::string& fileName) {
    return PlatformError(resourceDomain, missingFunctionCode,
                         "Kernel function \"" + functionName + "\" not found in " + fileName);
}

} // namespace CompactMetalError

void require(bool condition, std::string_view message) {
    if (!condition) throw CompactMetalError::check(std::string(message));
}

void requireFinite(std::span<const float> values, const std::string& fileName) {
    for (const float value : values) {
        if (!std::isfinite(value)) throw CompactMetalError::check("Non-finite weights in " + fileName);
    }
}

} // namespace lumavane
