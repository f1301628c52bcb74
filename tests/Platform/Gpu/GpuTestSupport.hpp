#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Gpu/Gpu.hpp"

namespace lumavane::gpu::testing {

class GpuTest : public ::testing::Test {
protected:
    void SetUp() override {
        device = Device::systemDefault();
        ASSERT_TRUE(device) << "no OpenCL device (PoCL is installed by scripts/install-deps)";
        queue = device->newCommandQueue();
        ASSERT_TRUE(queue);
    }

    std::shared_ptr<ComputePipelineState> pipeline(const std::string& source, const std::string& function,
                                                   const CompileOptions& options = {}) {
        auto library = device->newLibrary(source, options);
        return device->newComputePipelineState(library->newFunction(function));
    }

    // Encodes one dispatch of `state` with `buffers`, then `textures`, bound from index 0.
    static void dispatch(const std::shared_ptr<CommandBuffer>& commands,
                         const std::shared_ptr<ComputePipelineState>& state, Size grid, Size group,
                         const std::vector<std::shared_ptr<Buffer>>& buffers,
                         const std::vector<std::shared_ptr<Texture>>& textures = {}) {
        auto encoder = commands->computeCommandEncoder();
        encoder->setComputePipelineState(state);
        for (size_t i = 0; i < buffers.size(); ++i) encoder->setBuffer(buffers[i], 0, i);
        for (size_t i = 0; i < textures.size(); ++i) encoder->setTexture(textures[i], i);
        encoder->dispatchThreads(grid, group);
        encoder->endEncoding();
    }

    // A command buffer of that one dispatch, run to completion.
    void runDispatch(const std::shared_ptr<ComputePipelineState>& state, Size grid, Size group,
                     const std::vector<std::shared_ptr<Buffer>>& buffers,
                     const std::vector<std::shared_ptr<Texture>>& textures = {}) {
        auto commands = queue->commandBuffer();
        dispatch(commands, state, grid, group, buffers, textures);
        run(commands);
    }

    // Runs one buffer to completion and fails the test when it reports an error.
    void run(const std::shared_ptr<CommandBuffer>& buffer) {
        buffer->commit();
        buffer->waitUntilCompleted();
        ASSERT_EQ(buffer->status(), CommandBuffer::Status::completed)
            << (buffer->error() ? buffer->error()->what() : "");
    }

    std::shared_ptr<Device> device;
    std::shared_ptr<CommandQueue> queue;
};

} // namespace lumavane::gpu::testing
