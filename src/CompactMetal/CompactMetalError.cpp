#include "CompactMetal/CompactMetalError.hpp"

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

} // namespace CompactMetalError

void require(bool condition, std::string_view message) {
    if (!condition) throw CompactMetalError::check(std::string(message));
}

} // namespace lumavane
