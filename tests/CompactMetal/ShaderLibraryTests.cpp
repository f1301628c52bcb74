#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/ShaderLibrary.hpp"
#include "CompactMetal/TestModelFolder.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "support/ScopedEnv.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace lumavane {
namespace {

using test::ResourcesOverride;

const std::filesystem::path testResources =
    std::filesystem::path(LUMAVANE_SOURCE_DIR) / "tests/CompactMetal/resources";

void expectResourceError(const std::function<void()>& fn, int code, const std::string& mentions) {
    try {
        fn();
        ADD_FAILURE() << "no error";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), "Lumavane.CompactMetal");
        EXPECT_EQ(error.code(), code);
        EXPECT_NE(error.localizedDescription().find(mentions), std::string::npos)
            << error.localizedDescription();
    }
}

TEST(CompactShaderSources, FoundInTheModuleBundle) {
    // The installed bundle, as the test harness points to it.
    EXPECT_EQ(shaderSourcePath("Kernels").filename(), "Kernels.cl");
    EXPECT_EQ(shaderSourcePath("Kernels").parent_path().filename(), "Lumavane_CompactMetal.bundle");
    EXPECT_TRUE(std::filesystem::is_directory(shaderSourcePath("Kernels").parent_path()));

    ResourcesOverride override(testResources);
    const std::string text = shaderSource("ShaderSourceProbe");
    EXPECT_NE(text.find("kernel void scale_offset"), std::string::npos);
}

TEST(CompactShaderSources, MissingPiecesAreClearErrors) {
    {
        ResourcesOverride override(testResources);
        expectResourceError([] { shaderSource("NoSuchSource"); }, 2, "NoSuchSource.cl");
    }
    testing::TemporaryDirectory empty;
    ResourcesOverride override(empty.path());
    expectResourceError([] { shaderSource("Kernels"); }, 1, "Lumavane_CompactMetal.bundle");
}

class CompactShaderLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        device = gpu::Device::systemDefault();
        ASSERT_NE(device, nullptr) << "no OpenCL device";
    }

    // Runs scale_offset over `values` and returns the result.
    std::vector<float> run(const ShaderLibrary& library, std::vector<float> values) {
        auto pipeline = library.pipeline("scale_offset");
        auto buffer = device->newBuffer(values.data(), values.size() * sizeof(float));
        auto queue = device->newCommandQueue();
        auto command = queue->commandBuffer();
        auto encoder = command->computeCommandEncoder();
        encoder->setComputePipelineState(pipeline);
        encoder->setBuffer(buffer, 0, 0);
        encoder->dispatchThreads({values.size(), 1, 1}, {64, 1, 1});
        encoder->endEncoding();
        command->commit();
        command->waitUntilCompleted();
        EXPECT_FALSE(command->error().has_value()) << command->error()->localizedDescription();
        std::memcpy(values.data(), buffer->contents(), values.size() * sizeof(float));
        return values;
    }

    std::shared_ptr<gpu::Device> device;
    ResourcesOverride override{testResources};
};

TEST_F(CompactShaderLibrary, CompilesWithIntegerAndBooleanMacros) {
    const std::vector<float> input = testing::testValues(100, 1); // not a multiple of the group size
    for (const bool negate : {false, true}) {
        const ShaderLibrary library = ShaderLibrary::compile(
            device, "ShaderSourceProbe", {{{"FACTOR", 3}, {"OFFSET", -2}, {"NEGATE", negate}}});
        EXPECT_EQ(library.sourceName(), "ShaderSourceProbe");
        const std::vector<float> output = run(library, input);
        for (std::size_t i = 0; i < input.size(); ++i) {
            const float expected = (negate ? -1.0f : 1.0f) * (input[i] * 3 - 2);
            EXPECT_NEAR(output[i], expected, 1e-6f) << i;
        }
    }
}

TEST_F(CompactShaderLibrary, MissingFunctionAndCompileErrors) {
    const ShaderLibrary library = ShaderLibrary::compile(device, "ShaderSourceProbe",
                                                         {{{"FACTOR", 1}, {"OFFSET", 0}, {"NEGATE", false}}});
    EXPECT_NE(library.function("scale_offset"), nullptr);
    expectResourceError([&] { library.function("finish2x"); }, 3,
                        "\"finish2x\" not found in ShaderSourceProbe.cl");
    expectResourceError([&] { library.pipeline("finish2x"); }, 3, "finish2x");

    // Without its macros the source does not compile: the Gpu layer's error comes through as it is.
    try {
        ShaderLibrary::compile(device, "ShaderSourceProbe");
        FAIL() << "compiled without macros";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), gpu::errorDomain);
        EXPECT_EQ(error.code(), gpu::errorCompileFailure);
    }
}

} // namespace
} // namespace lumavane
