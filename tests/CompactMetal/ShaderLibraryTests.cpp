// Kernel sources: found in the module's bundle, included sources pasted once, compiled with
// macros, and the errors of a broken installation.
#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/ShaderLibrary.hpp"
#include "CompactMetal/TestModelFolder.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "support/ScopedEnv.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace lumavane::testing {
namespace {

// A resource folder with a bundle of the given sources, selected for the object's life.
class TemporaryBundle {
public:
    explicit TemporaryBundle(std::initializer_list<std::pair<std::string, std::string>> sources)
        : override_(directory_.path()) {
        const auto bundle = directory_.path() / "Lumavane_CompactMetal.bundle";
        std::filesystem::create_directories(bundle);
        for (const auto& [name, text] : sources) writeText(bundle / (name + ".cl"), text);
    }

private:
    TemporaryDirectory directory_;
    test::ResourcesOverride override_;
};

void expectResourceError(const std::function<void()>& fn, int code, const std::string& mentions) {
    try {
        fn();
        ADD_FAILURE() << "no error";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), CompactMetalError::resourceDomain);
        EXPECT_EQ(error.code(), code);
        EXPECT_NE(error.localizedDescription().find(mentions), std::string::npos)
            << error.localizedDescription();
    }
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Runs `name` of the library over the values, one work item each.
std::vector<float> run(const std::shared_ptr<gpu::Device>& device, const ShaderLibrary& library,
                       const std::string& name, std::vector<float> values) {
    auto buffer = device->newBuffer(values.data(), values.size() * sizeof(float));
    auto command = device->newCommandQueue()->commandBuffer();
    auto encoder = command->computeCommandEncoder();
    encoder->setComputePipelineState(library.pipeline(name));
    encoder->setBuffer(buffer, 0, 0);
    encoder->dispatchThreads({values.size(), 1, 1}, {64, 1, 1});
    encoder->endEncoding();
    command->commit();
    command->waitUntilCompleted();
    EXPECT_FALSE(command->error().has_value());
    std::memcpy(values.data(), buffer->contents(), values.size() * sizeof(float));
    return values;
}

const char* probeSource = R"(kernel void scale_offset(LV_GRID, global float* values)
{
    if (!LV_IN_GRID()) return;
    const uint i = get_global_id(0);
    float v = values[i] * FACTOR + OFFSET;
#if NEGATE
    v = -v;
#endif
    values[i] = v;
}
)";

TEST(CompactShaderSources, TheInstalledBundleAndMissingPieces) {
    EXPECT_EQ(shaderSourcePath("Kernels").filename(), "Kernels.cl");
    EXPECT_TRUE(std::filesystem::is_directory(shaderSourcePath("Kernels").parent_path()));
    {
        TemporaryBundle bundle({{"Probe", probeSource}, {"Broken", "#include \"Missing.cl\"\n"}});
        expectResourceError([] { shaderSource("NoSuchSource"); }, CompactMetalError::missingSourceCode,
                            "NoSuchSource.cl");
        expectResourceError([] { shaderSource("Broken"); }, CompactMetalError::missingSourceCode,
                            "Missing.cl");
    }
    TemporaryDirectory empty;
    test::ResourcesOverride override(empty.path());
    expectResourceError([] { shaderSource("Kernels"); }, CompactMetalError::missingBundleCode,
                        "Lumavane_CompactMetal.bundle");
}

TEST(CompactShaderSources, CompilesWithMacrosAndReportsMissingFunctionsAndCompileErrors) {
    TemporaryBundle bundle({{"Probe", probeSource}});
    auto device = gpu::Device::systemDefault();
    ASSERT_TRUE(device) << "no OpenCL device";
    const std::vector<float> input = testValues(100, 1); // not a multiple of the group size
    for (const bool negate : {false, true}) {
        const ShaderLibrary library =
            ShaderLibrary::compile(device, "Probe", {{{"FACTOR", 3}, {"OFFSET", -2}, {"NEGATE", negate}}});
        const std::vector<float> output = run(device, library, "scale_offset", input);
        for (std::size_t i = 0; i < input.size(); ++i)
            EXPECT_NEAR(output[i], (negate ? -1.0f : 1.0f) * (input[i] * 3 - 2), 1e-6f) << i;
        expectResourceError([&] { library.pipeline("finish2x"); }, CompactMetalError::missingFunctionCode,
                            "\"finish2x\" not found in Probe.cl");
    }
    // Without its macros the source does not compile: the Gpu layer's error comes through as it is.
    try {
        ShaderLibrary::compile(device, "Probe");
        ADD_FAILURE() << "compiled without macros";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), gpu::errorDomain);
        EXPECT_EQ(error.code(), gpu::errorCompileFailure);
    }
}

TEST(CompactShaderSources, IncludedSourcesArePastedOnce) {
    TemporaryBundle bundle(
        {{"Main", "#include \"Left.cl\"\n  #  include   \"Right.cl\" // helpers\n#include \"Main.cl\"\n"
                  "kernel void run(LV_GRID, global float* v) { v[0] = left() + right(); }\n"},
         {"Left", "#include \"Shared.cl\"\ninline float left(void) { return shared() + 1.0f; }\n"},
         {"Right", "#include \"Shared.cl\"\ninline float right(void) { return shared() * 10.0f; }\n"},
         {"Shared", "inline float shared(void) { return 2.0f; }\n"}});
    const std::string text = shaderSource("Main");
    EXPECT_EQ(occurrences(text, "inline float shared"), 1u);
    EXPECT_EQ(occurrences(text, "#include"), 0u);
    EXPECT_NE(text.find("#line 1 \"Shared.cl\""), std::string::npos);
    auto device = gpu::Device::systemDefault();
    ASSERT_TRUE(device);
    EXPECT_EQ(run(device, ShaderLibrary::compile(device, "Main"), "run", {0.0f})[0], 23.0f);
}

} // namespace
} // namespace lumavane::testing
