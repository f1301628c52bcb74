#pragma once

#include "Platform/Foundation/PlatformError.hpp"

#include <span>
#include <string>
#include <string_view>

namespace lumavane {

// The error kinds of the compact inference module. All of them are PlatformError
// values; these name their domains and build them so that every engine reports alike.
namespace CompactMetalError {

inline constexpr const char* checkDomain = "DirectMetalProbe";
inline constexpr const char* metalUnavailableDomain = "Metal unavailable";
inline constexpr const char* rectangularAllocationDomain = "Rectangular allocation";
inline constexpr const char* spanDomain = "SPANMetal";
inline constexpr const char* realCUGANProbeDomain = "RealCUGANConvProbe";

// The one check whose text is for the user: a frame whose output passes the limit. The
// enhancement module raises the same text, and the player shows it translated.
inline constexpr const char* outputLimitMessage = "出力上限（各辺8192px・約33MP）を超えています。";

// A failed check: domain "DirectMetalProbe", code 1, the message as description.
PlatformError check(std::string message);
// No GPU device or no command queue; the text is the domain, no description.
PlatformError metalUnavailable();
// A buffer of the rectangular kernels could not be made; no description.
PlatformError rectangularAllocation();
// A kernel function missing from the SPAN library (code 2).
PlatformError spanMissingKernel(const std::string& functionName);
// A convolution name unknown to the SPAN engine (code 3).
PlatformError spanMissingConvolution(const std::string& convolutionName);
// A failed lookup of the Real-CUGAN probe (code 1).
PlatformError realCUGANProbe(std::string message);

// A broken installation: the kernel sources or one of their functions are missing.
inline constexpr const char* resourceDomain = "Lumavane.CompactMetal";
enum ResourceErrorCode { missingBundleCode = 1, missingSourceCode = 2, missingFunctionCode = 3 };
PlatformError missingResourceBundle(const std::string& bundlePath);
PlatformError missingShaderSource(const std::string& fileName, const std::string& bundlePath);
PlatformError missingFunction(const std::string& functionName, const std::string& fileName);

} // namespace CompactMetalError

// Does nothing when the condition holds; otherwise throws CompactMetalError::check(message).
void require(bool condition, std::string_view message);

// A NaN or infinite weight makes every frame black; such files are refused at load with
// "Non-finite weights in <fileName>".
void requireFinite(std::span<const float> values, const std::string& fileName);

} // namespace lumavane
