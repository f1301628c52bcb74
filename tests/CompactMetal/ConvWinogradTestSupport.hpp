#pragma once

// Shared pieces of the Winograd kernel tests: a device, the engine's dispatches of the fused
// tails, and scoped environment switches.

#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/support/CpuReference.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "support/ScopedEnv.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

namespace lumavane::testing {

using test::ScopedEnv;

// A half-precision buffer's values.
inline std::vector<float> halvesToFloats(const gpu::Buffer& buffer) {
    std::vector<float> values(buffer.length() / 2);
    const auto* halves = static_cast<const std::uint16_t*>(buffer.contents());
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = halfToFloat(halves[i]);
    return values;
}

// A 4x network's last layer (inputs to 48, no PReLU) whose outputs are small corrections, as a
// trained one's are: most reconstructed pixels stay inside 0...1, some are clamped.
struct LastLayer {
    int inputs;
    std::vector<float> weights, biases;
};
inline LastLayer lastLayer(int inputs, std::uint32_t seed) {
    return {inputs,
            randomValues(static_cast<std::size_t>(inputs * 48 * 9), seed, 0.6f / std::sqrt(9.0f * inputs)),
            randomValues(48, seed + 1, 0.05f)};
}

class WinogradTest : public ::testing::Test {
protected:
    void SetUp() override {
        device = gpu::Device::systemDefault();
        ASSERT_TRUE(device) << "no OpenCL device";
        queue = device->newCommandQueue();
    }

    // Records `record` into one command buffer and runs it to completion.
    void run(const std::function<void(const std::shared_ptr<gpu::CommandBuffer>&)>& record) {
        auto command = queue->commandBuffer();
        record(command);
        command->commit();
        command->waitUntilCompleted();
        ASSERT_EQ(command->status(), gpu::CommandBuffer::Status::completed)
            << (command->error() ? command->error()->localizedDescription() : "");
    }

    // One dispatch as the engine records its tails: textures 0...2, buffers 0...2 and, when
    // given, buffer 3 (a buffer or bytes).
    struct Tail {
        std::shared_ptr<gpu::ComputePipelineState> pipeline;
        std::shared_ptr<gpu::Texture> features, destination, source;
        std::shared_ptr<gpu::Buffer> kernel, bias, slope, counter;
        std::optional<std::pair<std::uint32_t, std::uint32_t>> destinationSize;
        gpu::Size threadgroups;
    };
    void runTail(const Tail& tail) {
        ASSERT_TRUE(tail.pipeline);
        run([&](const std::shared_ptr<gpu::CommandBuffer>& command) {
            auto encoder = command->computeCommandEncoder();
            encoder->setComputePipelineState(tail.pipeline);
            encoder->setTexture(tail.features, 0);
            encoder->setTexture(tail.destination, 1);
            encoder->setTexture(tail.source, 2);
            encoder->setBuffer(tail.kernel, 0, 0);
            encoder->setBuffer(tail.bias, 0, 1);
            encoder->setBuffer(tail.slope, 0, 2);
            if (tail.counter) encoder->setBuffer(tail.counter, 0, 3);
            if (tail.destinationSize) {
                const std::uint32_t size[2] = {tail.destinationSize->first, tail.destinationSize->second};
                encoder->setBytes(size, sizeof size, 3);
            }
            encoder->dispatchThreadgroups(tail.threadgroups, {128, 1, 1});
            encoder->endEncoding();
        });
    }

    static std::size_t groups(std::size_t size, std::size_t per) { return (size + per - 1) / per; }

    std::shared_ptr<gpu::Device> device;
    std::shared_ptr<gpu::CommandQueue> queue;
};

} // namespace lumavane::testing
