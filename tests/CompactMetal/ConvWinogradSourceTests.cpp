// Kernel sources that include other sources of the bundle (as the Winograd kernels include
// Reconstruction.cl), and the shared reconstruction helpers themselves.
#include "CompactMetal/ConvWinogradTestSupport.hpp"
#include "CompactMetal/ShaderLibrary.hpp"
#include "CompactMetal/TestModelFolder.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace lumavane::testing {
namespace {

// A resource folder with a bundle of the given sources, selected for the object's life.
class TemporaryBundle {
public:
    explicit TemporaryBundle(const std::vector<std::pair<std::string, std::string>>& sources)
        : resources_("LUMAVANE_RESOURCES", directory_.path().string()) {
        const auto bundle = directory_.path() / "Lumavane_CompactMetal.bundle";
        std::filesystem::create_directories(bundle);
        for (const auto& [name, text] : sources) writeText(bundle / (name + ".cl"), text);
    }

private:
    TemporaryDirectory directory_;
    ScopedEnv resources_;
};

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

TEST(ShaderSourceIncludes, PastesEachIncludedSourceOnce) {
    TemporaryBundle bundle(
        {{"Main", "#include \"Left.cl\"\n  #  include   \"Right.cl\" // helpers\n"
                  "kernel void run(LV_GRID, global float* v) { v[0] = left() + right(); }\n"},
         {"Left", "#include \"Shared.cl\"\ninline float left(void) { return shared() + 1.0f; }\n"},
         {"Right", "#include \"Shared.cl\"\ninline float right(void) { return shared() * 10.0f; }\n"},
         {"Shared", "inline float shared(void) { return 2.0f; }\n"}});
    const std::string text = shaderSource("Main");
    EXPECT_EQ(occurrences(text, "inline float shared"), 1u);
    EXPECT_EQ(occurrences(text, "inline float left"), 1u);
    EXPECT_EQ(occurrences(text, "#include"), 0u);
    EXPECT_NE(text.find("#line 1 \"Shared.cl\""), std::string::npos);
    EXPECT_NE(text.find("#line 3 \"Main.cl\""), std::string::npos); // back in Main after Right.cl

    // The pasted source compiles and runs.
    auto device = gpu::Device::systemDefault();
    ASSERT_TRUE(device);
    const ShaderLibrary library = ShaderLibrary::compile(device, "Main");
    float value = 0;
    auto buffer = device->newBuffer(&value, sizeof value);
    auto command = device->newCommandQueue()->commandBuffer();
    auto encoder = command->computeCommandEncoder();
    encoder->setComputePipelineState(library.pipeline("run"));
    encoder->setBuffer(buffer, 0, 0);
    encoder->dispatchThreads({1, 1, 1}, {1, 1, 1});
    encoder->endEncoding();
    command->commit();
    command->waitUntilCompleted();
    std::memcpy(&value, buffer->contents(), sizeof value);
    EXPECT_EQ(value, 23.0f);
}

TEST(ShaderSourceIncludes, SourcesWithoutIncludesAreUnchangedAndMissingOnesAreNamed) {
    const std::string plain = "// no includes here\nkernel void k(LV_GRID) {}\n";
    TemporaryBundle bundle(
        {{"Plain", plain}, {"Broken", "#include \"Missing.cl\"\n"}, {"Self", "#include \"Self.cl\"\n"}});
    EXPECT_EQ(shaderSource("Plain"), plain);
    EXPECT_EQ(occurrences(shaderSource("Self"), "#include"), 0u); // a source never includes itself
    try {
        shaderSource("Broken");
        FAIL() << "no error";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), CompactMetalError::resourceDomain);
        EXPECT_EQ(error.code(), CompactMetalError::missingSourceCode);
        EXPECT_NE(error.localizedDescription().find("Missing.cl"), std::string::npos);
    }
}

// A kernel over Reconstruction.cl: the network values of a 4x model from a buffer (48 per input
// pixel, in channel order) to the native output, or to the 2x output, optionally flipped.
const char* reconstructionProbe = R"(#include "Reconstruction.cl"
kernel void probe(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), global const float* network,
                  const uint4 mode)
{
    if (!LV_IN_GRID()) return;
    const int x = (int)get_global_id(0), y = (int)get_global_id(1);
    lv_tex src = LV_TEX(source), dst = LV_TEX(destination);
    global const float* n = network + (y * (int)lv_width(src) + x) * 48;
    const float3 residual = lv_source_rgb(src, x, y);
    for (int b = 0; b < 4; ++b) {
        for (int a = 0; a < 4; ++a) {
            if (mode.x == 4) {
                const float3 v = (float3)(n[lv_shuffle_channel(0, a, b, 4)], n[lv_shuffle_channel(1, a, b, 4)],
                                          n[lv_shuffle_channel(2, a, b, 4)]);
                lv_write_output(dst, 4 * x + a, lv_output_row(dst, 4 * y + b, mode.y), lv_reconstruct_pixel(v, residual));
            } else if (a < 2 && b < 2) {
                float3 q[4];
                for (int d = 0; d < 4; ++d) {
                    const int dx = 2 * a + (d & 1), dy = 2 * b + (d >> 1);
                    q[d] = (float3)(n[lv_shuffle_channel(0, dx, dy, 4)], n[lv_shuffle_channel(1, dx, dy, 4)],
                                    n[lv_shuffle_channel(2, dx, dy, 4)]);
                }
                lv_write_output(dst, 2 * x + a, lv_output_row(dst, 2 * y + b, mode.y),
                                lv_reconstruct_down2(q[0], q[1], q[2], q[3], residual));
            }
        }
    }
}
)";

TEST(ReconstructionHelpers, MatchTheReferenceReconstruction) {
    const std::string reconstruction = shaderSource("Reconstruction");
    TemporaryBundle bundle({{"Probe", reconstructionProbe}, {"Reconstruction", reconstruction}});
    auto device = gpu::Device::systemDefault();
    ASSERT_TRUE(device);
    auto pipeline = ShaderLibrary::compile(device, "Probe").pipeline("probe");
    auto queue = device->newCommandQueue();

    const std::size_t width = 5, height = 3;
    FloatImage network(width, height, 48);
    network.values = randomValues(network.values.size(), 200, 0.3f);
    const Bgra8Image source = randomBgra8(width, height, 201);
    auto values = device->newBuffer(network.values.data(), network.values.size() * sizeof(float));
    auto sourceTexture = makeBgra8Texture(device, source);
    for (const std::uint32_t scale : {4u, 2u}) {
        for (const std::uint32_t flip : {0u, 1u}) {
            SCOPED_TRACE("scale " + std::to_string(scale) + (flip ? ", flipped" : ""));
            auto destination = makeBgra8Texture(device, width * scale, height * scale);
            auto command = queue->commandBuffer();
            auto encoder = command->computeCommandEncoder();
            encoder->setComputePipelineState(pipeline);
            encoder->setTexture(sourceTexture, 0);
            encoder->setTexture(destination, 1);
            encoder->setBuffer(values, 0, 0);
            const std::uint32_t mode[4] = {scale, flip, 0, 0};
            encoder->setBytes(mode, sizeof mode, 1);
            encoder->dispatchThreads({width, height, 1}, {8, 8, 1});
            encoder->endEncoding();
            command->commit();
            command->waitUntilCompleted();
            ASSERT_EQ(command->status(), gpu::CommandBuffer::Status::completed);
            FloatImage expected =
                scale == 4 ? reconstruct(network, source, 4) : reconstructDown2(network, source);
            if (flip) expected = flipVertically(expected);
            EXPECT_LE(maxLevelDifference(readBgra8Texture(*destination), toBgra8(expected)), 1);
            EXPECT_LE(countLevelDifferences(readBgra8Texture(*destination), toBgra8(expected), 0), 2u);
        }
    }
}

} // namespace
} // namespace lumavane::testing
