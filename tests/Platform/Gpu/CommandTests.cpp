#include "GpuTestSupport.hpp"

#include <atomic>
#include <future>
#include <thread>

namespace lumavane::gpu::testing {
namespace {

const char* const kKernels = R"(
kernel void append_digit(LV_GRID, global int* value, const int digit) {
    if (LV_IN_GRID()) value[get_global_id(0)] = value[get_global_id(0)] * 10 + digit;
}
kernel void count_grid(LV_GRID, global int* counters) {
    if (get_global_id(0) == 0 && get_global_id(1) == 0 && get_global_id(2) == 0) {
        counters[1] = lv_grid.x; counters[2] = lv_grid.y; counters[3] = lv_grid.z;
        counters[4] = get_global_size(0) * get_global_size(1) * get_global_size(2);
    }
    if (LV_IN_GRID()) atomic_inc(counters);
}
kernel void copy_ints(LV_GRID, global const int* from, global int* to, constant int* add) {
    if (LV_IN_GRID()) to[get_global_id(0)] = from[get_global_id(0)] + add[0];
}
kernel void spin(LV_GRID, global float* out) {
    float v = get_global_id(0);
    for (int i = 0; i < 2000; ++i) v = sin(v) + 1.0f;
    out[get_global_id(0)] = v;
}
)";

class CommandFixture : public GpuTest {
protected:
    void SetUp() override {
        GpuTest::SetUp();
        library = device->newLibrary(kKernels);
        appendDigit = device->newComputePipelineState(library->newFunction("append_digit"));
    }
    void encodeDigit(const std::shared_ptr<CommandBuffer>& commands, const std::shared_ptr<Buffer>& value,
                     int digit, size_t count = 1, size_t offset = 0) {
        auto encoder = commands->computeCommandEncoder();
        encoder->setComputePipelineState(appendDigit);
        encoder->setBuffer(value, offset, 0);
        encoder->setBytes(&digit, sizeof digit, 1);
        encoder->dispatchThreads({count, 1, 1}, {32, 1, 1});
        encoder->endEncoding();
    }
    std::shared_ptr<Library> library;
    std::shared_ptr<ComputePipelineState> appendDigit;
};

TEST_F(CommandFixture, CommandsRunInEncodingOrderAndBuffersInCommitOrder) {
    auto value = device->newBuffer(sizeof(int) * 100);
    auto first = queue->commandBuffer();
    encodeDigit(first, value, 1, 100);
    encodeDigit(first, value, 2, 100);
    std::vector<std::shared_ptr<CommandBuffer>> later;
    std::mutex mutex;
    std::vector<int> completions;
    for (int digit = 3; digit <= 7; ++digit) {
        auto commands = queue->commandBuffer();
        encodeDigit(commands, value, digit, 100);
        commands->addCompletedHandler([&, digit](CommandBuffer&) {
            std::lock_guard lock(mutex);
            completions.push_back(digit);
        });
        later.push_back(commands);
    }
    first->commit();
    for (auto& commands : later) commands->commit();
    later.back()->waitUntilCompleted();
    EXPECT_EQ(first->status(), CommandBuffer::Status::completed);
    EXPECT_EQ(static_cast<int*>(value->contents())[0], 1234567);
    EXPECT_EQ(static_cast<int*>(value->contents())[99], 1234567);
    std::lock_guard lock(mutex);
    EXPECT_EQ(completions, (std::vector<int>{3, 4, 5, 6, 7}));
}

TEST_F(CommandFixture, HandlersRunOnAPlatformThreadBeforeWaitReturnsAndUncommittedWorkNever) {
    auto value = device->newBuffer(sizeof(int));
    {
        auto uncommitted = queue->commandBuffer();
        encodeDigit(uncommitted, value, 9);
        uncommitted->addCompletedHandler([&](CommandBuffer&) { ADD_FAILURE() << "never committed"; });
        uncommitted->waitUntilCompleted(); // returns at once
        EXPECT_EQ(uncommitted->status(), CommandBuffer::Status::notEnqueued);
    }
    auto commands = queue->commandBuffer();
    encodeDigit(commands, value, 4);
    std::thread::id handlerThread;
    std::vector<int> order;
    CommandBuffer::Status seen = CommandBuffer::Status::notEnqueued;
    commands->addCompletedHandler([&](CommandBuffer& done) {
        handlerThread = std::this_thread::get_id();
        seen = done.status();
        order.push_back(1);
        done.waitUntilCompleted(); // from inside a handler: returns at once
    });
    commands->addCompletedHandler([&](CommandBuffer&) { order.push_back(2); });
    commands->commit();
    commands->waitUntilCompleted();
    EXPECT_NE(handlerThread, std::this_thread::get_id());
    EXPECT_NE(handlerThread, std::thread::id());
    EXPECT_EQ(seen, CommandBuffer::Status::completed);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(*static_cast<int*>(value->contents()), 4);
}

TEST_F(CommandFixture, CommittedWorkKeepsItsObjectsAlive) {
    auto target = device->newBuffer(sizeof(int) * 64);
    std::promise<int> result;
    {
        auto localQueue = device->newCommandQueue();
        auto commands = localQueue->commandBuffer();
        auto source = device->newBuffer(sizeof(int) * 64);
        for (int i = 0; i < 64; ++i) static_cast<int*>(source->contents())[i] = i;
        auto copy = device->newComputePipelineState(library->newFunction("copy_ints"));
        auto encoder = commands->computeCommandEncoder();
        encoder->setComputePipelineState(copy);
        encoder->setBuffer(source, 0, 0);
        encoder->setBuffer(target, 0, 1);
        int add = 1000;
        encoder->setBytes(&add, sizeof add, 2); // bytes bound to a pointer argument
        encoder->dispatchThreads({64, 1, 1}, {16, 1, 1});
        encoder->endEncoding();
        commands->addCompletedHandler([&, target](CommandBuffer& done) {
            result.set_value(done.status() == CommandBuffer::Status::completed
                                 ? static_cast<int*>(target->contents())[63]
                                 : -1);
        });
        commands->commit();
        // Queue, buffer, encoder, pipeline and source all go out of scope here.
    }
    auto future = result.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(future.get(), 1063);
}

TEST_F(CommandFixture, GridsAreRoundedUpAndTheTrueSizeIsPassed) {
    auto counting = device->newComputePipelineState(library->newFunction("count_grid"));
    auto counters = device->newBuffer(sizeof(int) * 5);
    runDispatch(counting, {37, 5, 3}, {8, 4, 2}, {counters});
    auto* c = static_cast<int*>(counters->contents());
    EXPECT_EQ(c[0], 37 * 5 * 3);
    EXPECT_EQ(c[1], 37);
    EXPECT_EQ(c[2], 5);
    EXPECT_EQ(c[3], 3);
    EXPECT_EQ(c[4], 40 * 8 * 4);

    std::fill(c, c + 5, 0);
    auto commands = queue->commandBuffer();
    auto encoder = commands->computeCommandEncoder();
    encoder->setComputePipelineState(counting);
    encoder->setBuffer(counters, 0, 0);
    encoder->dispatchThreadgroups({3, 2, 1}, {4, 1, 1});
    encoder->endEncoding();
    run(commands);
    EXPECT_EQ(c[0], 24);
    EXPECT_EQ(c[1], 12);
}

TEST_F(CommandFixture, ProfilingTimesBracketTheWork) {
    auto spin = device->newComputePipelineState(library->newFunction("spin"));
    auto out = device->newBuffer(sizeof(float) * 4096);
    auto commands = queue->commandBuffer();
    dispatch(commands, spin, {4096, 1, 1}, {64, 1, 1}, {out});
    encodeDigit(commands, device->newBuffer(4), 1);
    double startSeen = -1;
    commands->addCompletedHandler([&](CommandBuffer& done) { startSeen = done.GPUStartTime(); });
    run(commands);
    EXPECT_GT(commands->GPUStartTime(), 0.0);
    EXPECT_GT(commands->GPUEndTime(), commands->GPUStartTime());
    EXPECT_LT(commands->GPUEndTime() - commands->GPUStartTime(), 60.0); // seconds, not nanoseconds
    EXPECT_EQ(startSeen, commands->GPUStartTime());

    auto empty = queue->commandBuffer();
    run(empty);
    EXPECT_GE(empty->GPUEndTime(), empty->GPUStartTime());
    EXPECT_GE(empty->GPUStartTime(), commands->GPUEndTime());
}

TEST_F(CommandFixture, EncodingFaultsSurfaceAsTheBuffersError) {
    auto value = device->newBuffer(sizeof(int));
    auto commands = queue->commandBuffer();
    auto encoder = commands->computeCommandEncoder();
    encoder->setComputePipelineState(appendDigit);
    encoder->setBuffer(value, 0, 0); // the digit (a value argument) is never bound
    encoder->dispatchThreads({1, 1, 1}, {1, 1, 1});
    encoder->endEncoding();
    std::optional<std::string> seen;
    commands->addCompletedHandler(
        [&](CommandBuffer& done) { seen = done.error() ? done.error()->what() : ""; });
    commands->commit();
    commands->waitUntilCompleted();
    EXPECT_EQ(commands->status(), CommandBuffer::Status::error);
    ASSERT_TRUE(commands->error());
    EXPECT_EQ(commands->error()->code(), errorEncoding);
    ASSERT_TRUE(seen);
    EXPECT_NE(seen->find("append_digit"), std::string::npos) << *seen;
    EXPECT_EQ(*static_cast<int*>(value->contents()), 0);

    // Too many threads, no pipeline, a misaligned buffer offset: each fails its own buffer.
    auto tooMany = queue->commandBuffer();
    encodeDigit(tooMany, value, 1);
    auto e = tooMany->computeCommandEncoder();
    e->setComputePipelineState(appendDigit);
    e->dispatchThreads({1, 1, 1}, {4096, 2, 1});
    e->endEncoding();
    auto noPipeline = queue->commandBuffer();
    noPipeline->computeCommandEncoder()->dispatchThreads({1, 1, 1}, {1, 1, 1});
    auto misaligned = queue->commandBuffer();
    auto big = device->newBuffer(1024);
    encodeDigit(misaligned, big, 1, 1, 4);
    for (auto& failing : {tooMany, noPipeline, misaligned}) {
        failing->commit();
        failing->waitUntilCompleted();
        EXPECT_EQ(failing->status(), CommandBuffer::Status::error);
    }
    EXPECT_EQ(*static_cast<int*>(value->contents()), 0) << "a failed buffer runs none of its commands";

    // The queue goes on, and an aligned offset binds a sub-buffer.
    auto fine = queue->commandBuffer();
    encodeDigit(fine, value, 5);
    encodeDigit(fine, big, 8, 1, 256);
    run(fine);
    EXPECT_EQ(*static_cast<int*>(value->contents()), 5);
    EXPECT_EQ(static_cast<int*>(big->contents())[0], 0);
    EXPECT_EQ(static_cast<int*>(big->contents())[64], 8);
}

TEST_F(CommandFixture, BlitCopiesAndFills) {
    auto a = device->newBuffer(256);
    auto b = device->newBuffer(256);
    for (int i = 0; i < 256; ++i)
        static_cast<unsigned char*>(a->contents())[i] = static_cast<unsigned char>(i);

    TextureDescriptor d;
    d.textureType = TextureType::type2DArray;
    d.pixelFormat = PixelFormat::rgba16Float;
    d.width = 9;
    d.height = 6;
    d.arrayLength = 3;
    auto from = device->newTexture(d);
    d.width = 11;
    auto to = device->newTexture(d);
    std::vector<uint16_t> pattern(9 * 6 * 4);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint16_t>(i + 1);
    from->replaceRegion({{0, 0, 0}, {9, 6, 1}}, 2, pattern.data(), 9 * 8);

    auto commands = queue->commandBuffer();
    auto blit = commands->blitCommandEncoder();
    blit->copyFromBuffer(a, 16, b, 32, 100);
    blit->fillBuffer(b, 200, 10, 0xAB);
    blit->copyFromTexture(from, 2, 0, {1, 2, 0}, {4, 3, 1}, to, 1, 0, {6, 3, 0});
    blit->endEncoding();
    run(commands);

    const auto* bytes = static_cast<const unsigned char*>(b->contents());
    for (int i = 0; i < 256; ++i) {
        const int expected = i >= 32 && i < 132 ? i - 16 : i >= 200 && i < 210 ? 0xAB : 0;
        ASSERT_EQ(bytes[i], expected) << i;
    }

    std::vector<uint16_t> region(4 * 3 * 4, 0);
    to->getBytes(region.data(), 4 * 8, {{6, 3, 0}, {4, 3, 1}}, 1);
    for (size_t y = 0; y < 3; ++y)
        for (size_t x = 0; x < 4; ++x)
            for (size_t c = 0; c < 4; ++c)
                ASSERT_EQ(region[(y * 4 + x) * 4 + c], pattern[((y + 2) * 9 + x + 1) * 4 + c])
                    << x << "," << y;
    std::vector<uint16_t> untouched(4, 1);
    to->getBytes(untouched.data(), 8, {{6, 3, 0}, {1, 1, 1}}, 2);
    EXPECT_EQ(untouched[0], 0);

    auto bad = queue->commandBuffer();
    auto badBlit = bad->blitCommandEncoder();
    badBlit->copyFromTexture(from, 0, 0, {6, 0, 0}, {4, 1, 1}, to, 0, 0,
                             {0, 0, 0}); // past the source's right edge
    badBlit->endEncoding();
    bad->commit();
    bad->waitUntilCompleted();
    EXPECT_EQ(bad->status(), CommandBuffer::Status::error);
}

} // namespace
} // namespace lumavane::gpu::testing
