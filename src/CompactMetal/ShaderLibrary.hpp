#pragma once

#include "Platform/Gpu/Device.hpp"
#include "Platform/Gpu/Library.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace lumavane {

// The module's GPU code: OpenCL C sources "<name>.cl" in the resource bundle
// "Lumavane_CompactMetal.bundle", read whole and compiled at run time on the
// engine's device with the integer and Boolean macros each kernel object gives.
inline constexpr const char* compactMetalBundleName = "Lumavane_CompactMetal.bundle";

// Where the source named `sourceName` (base name, e.g. "Kernels") lives.
std::filesystem::path shaderSourcePath(std::string_view sourceName);

// The text of that source, with every line `#include "Name.cl"` replaced by the text of
// that file of the bundle (resolved the same way, each file at most once per source, with
// #line markers so compiler messages name the right file). A missing bundle or source file,
// included ones too, is a CompactMetalError::missingResourceBundle / missingShaderSource
// error; other read failures are std::filesystem::filesystem_error.
std::string shaderSource(std::string_view sourceName);

// One compiled source on one device, and the kernels taken from it.
class ShaderLibrary {
public:
    // Reads the source and compiles it with `options`; compile errors are the Gpu
    // layer's, passed through unchanged.
    static ShaderLibrary compile(std::shared_ptr<gpu::Device> device, std::string_view sourceName,
                                 const gpu::CompileOptions& options = {});

    // The kernel function `name`; a CompactMetalError::missingFunction error when the source has none.
    std::shared_ptr<gpu::Function> function(std::string_view name) const;
    // A compute pipeline of that function; pipeline errors pass through unchanged.
    std::shared_ptr<gpu::ComputePipelineState> pipeline(std::string_view functionName) const;

    const std::shared_ptr<gpu::Library>& library() const noexcept { return library_; }
    const std::string& sourceName() const noexcept { return sourceName_; }

private:
    ShaderLibrary(std::shared_ptr<gpu::Device> device, std::shared_ptr<gpu::Library> library,
                  std::string sourceName);

    std::shared_ptr<gpu::Device> device_;
    std::shared_ptr<gpu::Library> library_;
    std::string sourceName_;
};

} // namespace lumavane
