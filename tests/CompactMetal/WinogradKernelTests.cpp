// ConvWinograd and ApproxDown2Winograd on their own, against the direct convolution and the
// reconstruction on the CPU: frames down to one pixel, images of mismatched sizes, the uniform
// sample counter, the switches and the refusals. The engine tests run the same kernels on whole
// networks.
#include "CompactMetal/ApproxDown2Winograd.hpp"
#include "CompactMetal/ConvWinograd.hpp"
#include "CompactMetal/support/CpuReference.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "support/ScopedEnv.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace lumavane::testing {
namespace {

using test::ScopedEnv;

// A half-precision buffer's values.
std::vector<float> halvesToFloats(const gpu::Buffer& buffer) {
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
LastLayer lastLayer(int inputs, std::uint32_t seed) {
    return {inputs,
            randomValues(static_cast<std::size_t>(inputs * 48 * 9), seed, 0.6f / std::sqrt(9.0f * inputs)),
            randomValues(48, seed + 1, 0.05f)};
}

// Layer weights scaled like a trained layer's: outputs of order one for inputs of order one.
std::vector<float> layerWeights(int inputs, int outputs, std::uint32_t seed) {
    return randomValues(static_cast<std::size_t>(inputs * outputs * 9), seed,
                        1.5f / std::sqrt(9.0f * inputs));
}

// Largest |a - b| / (1 + |b|): Winograd with half weights against the float convolution.
float worstRelative(const FloatImage& actual, const FloatImage& expected) {
    float worst = 0;
    for (std::size_t i = 0; i < actual.values.size(); ++i) {
        const float d =
            std::abs(actual.values[i] - expected.values[i]) / (1.0f + std::abs(expected.values[i]));
        if (!(d <= worst)) worst = std::isnan(d) ? INFINITY : d;
    }
    return worst;
}

void expectFrameClose(const Bgra8Image& actual, const FloatImage& expected) {
    const Bgra8Image reference = toBgra8(expected);
    EXPECT_LE(maxLevelDifference(actual, reference), 1);
    EXPECT_LE(countLevelDifferences(actual, reference, 0), actual.bytes.size() / 50 + 4);
}

class WinogradKernels : public ::testing::Test {
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
        ASSERT_EQ(command->status(), gpu::CommandBuffer::Status::completed);
    }

    FloatImage convolve(const ConvWinograd& conv, const FloatImage& input, std::size_t outputs, bool uniform,
                        std::optional<std::pair<std::size_t, std::size_t>> outputSize = std::nullopt) {
        auto source = makeFeatureImage(device, input);
        const auto [w, h] = outputSize.value_or(std::pair{input.width, input.height});
        auto destination = makeFeatureImage(device, FloatImage(w, h, outputs));
        run([&](const auto& command) {
            conv.encode(source->texture(), destination->texture(), command, uniform);
        });
        return readFeatureImage(*destination);
    }

    // One tail as the engine dispatches it: textures 0 features, 1 destination, 2 source; buffers
    // 0...2 and at 3 the counter or the destination size; `columns` x 2 pixels a threadgroup.
    Bgra8Image tail(const std::shared_ptr<gpu::ComputePipelineState>& pipeline,
                    const std::shared_ptr<gpu::Buffer>& kernel, const std::shared_ptr<gpu::Buffer>& bias,
                    const std::shared_ptr<gpu::Buffer>& slope, std::size_t columns,
                    const FloatImage& features, const Bgra8Image& source, std::size_t width,
                    std::size_t height, const std::shared_ptr<gpu::Buffer>& counter = nullptr,
                    bool sizeBytes = false, std::size_t rows = 2) {
        EXPECT_TRUE(pipeline);
        auto featureImage = makeFeatureImage(device, features);
        auto destination = makeBgra8Texture(device, width, height, 77);
        auto sourceTexture = makeBgra8Texture(device, source);
        run([&](const std::shared_ptr<gpu::CommandBuffer>& command) {
            auto encoder = command->computeCommandEncoder();
            encoder->setComputePipelineState(pipeline);
            encoder->setTexture(featureImage->texture(), 0);
            encoder->setTexture(destination, 1);
            encoder->setTexture(sourceTexture, 2);
            encoder->setBuffer(kernel, 0, 0);
            encoder->setBuffer(bias, 0, 1);
            encoder->setBuffer(slope, 0, 2);
            if (counter) encoder->setBuffer(counter, 0, 3);
            const std::uint32_t size[2] = {std::uint32_t(width), std::uint32_t(height)};
            if (sizeBytes) encoder->setBytes(size, sizeof size, 3);
            encoder->dispatchThreadgroups(
                {(features.width + columns - 1) / columns, (features.height + rows - 1) / rows, 1},
                {128, 1, 1});
            encoder->endEncoding();
        });
        return readBgra8Texture(*destination);
    }
    Bgra8Image tail(const ConvWinograd& conv, const std::shared_ptr<gpu::ComputePipelineState>& pipeline,
                    const FloatImage& features, const Bgra8Image& source, std::size_t scale,
                    const std::shared_ptr<gpu::Buffer>& counter = nullptr) {
        // The native tails run F(4x4, 3x3) on 32 x 4 pixels.
        const bool native = scale == 4;
        return tail(pipeline, native ? conv.kernel4() : conv.kernel(), conv.bias(), conv.slope(),
                    native ? 32 : 16, features, source, source.width * scale, source.height * scale, counter,
                    false, native ? 4 : 2);
    }

    std::shared_ptr<gpu::Buffer> newCounter() {
        const std::uint32_t zero = 0;
        return device->newBuffer(&zero, sizeof zero);
    }
    static std::uint32_t count(const gpu::Buffer& counter) {
        std::uint32_t value;
        std::memcpy(&value, counter.contents(), sizeof value);
        return value;
    }

    std::shared_ptr<gpu::Device> device;
    std::shared_ptr<gpu::CommandQueue> queue;
};

TEST_F(WinogradKernels, RefusalsAndDeviceLimits) {
    const auto w16 = layerWeights(16, 16, 1), b16 = randomValues(16, 2), s15 = randomValues(15, 3);
    const LastLayer last = lastLayer(16, 4);
    for (const auto& [in, out] : {std::pair{24, 16}, {16, 24}, {24, 24}, {32, 48}}) {
        const std::vector<float> w(static_cast<std::size_t>(in * out * 9)), b(static_cast<std::size_t>(out));
        expectCheckError([&] { ConvWinograd(device, in, out, w, b, std::nullopt, false); },
                         "Unsupported Winograd channels");
    }
    expectCheckError(
        [&] { ConvWinograd(device, 16, 16, std::vector<float>(2303), b16, std::nullopt, false); },
        "Invalid weights");
    expectCheckError([&] { ConvWinograd(device, 16, 16, w16, b16, std::span<const float>(s15), false); },
                     "Invalid PReLU");
    const std::string approximate = "Invalid 4x reconstruction weights";
    expectCheckError([&] { ApproxDown2Winograd(device, 16, std::vector<float>(6911), last.biases); },
                     approximate);
    expectCheckError([&] { ApproxDown2Winograd(device, 16, last.weights, std::vector<float>(47)); },
                     approximate);
    expectCheckError([&] { ApproxDown2Winograd(device, 24, last.weights, last.biases); }, approximate);

    gpu::DeviceProfile profile = device->profile();
    profile.maxThreadsPerThreadgroup = 64; // below the body layer's 128 threads and the tails'
    auto narrow = gpu::Device::withProfile(profile);
    profile = device->profile();
    profile.maxThreadgroupMemoryLength = 4096;
    auto small = gpu::Device::withProfile(profile);
    for (const auto& limited : {narrow, small}) {
        expectCheckError([&] { ConvWinograd(limited, 16, 16, w16, b16, std::nullopt, false); },
                         "Unsupported Winograd threadgroup");
        expectCheckError(
            [&] { ConvWinograd(limited, 16, 48, last.weights, last.biases, std::nullopt, false); },
            "Unsupported fused reconstruction threadgroup");
        expectCheckError([&] { ApproxDown2Winograd(limited, 16, last.weights, last.biases); },
                         "Unsupported approximate reconstruction threadgroup");
    }
    const ScopedEnv noTail("CORAVEL_FUSED_TAIL", "0"); // the plain 48-channel layer needs 64 threads
    EXPECT_NO_THROW(ConvWinograd(narrow, 16, 48, last.weights, last.biases, std::nullopt, false));
}

TEST_F(WinogradKernels, PipelinesFollowTheSwitchesAndTheWeights) {
    const LastLayer l16 = lastLayer(16, 6), l24 = lastLayer(24, 7);
    auto last = [&](const LastLayer& l, bool uniform) {
        return ConvWinograd(device, l.inputs, 48, l.weights, l.biases, std::nullopt, uniform);
    };
    {
        const ScopedEnv tail("CORAVEL_FUSED_TAIL", std::nullopt),
            native("CORAVEL_FUSED_NATIVE_4X", std::nullopt);
        const ConvWinograd conv = last(l16, true);
        EXPECT_TRUE(conv.fusedPipeline() && conv.flippedFusedPipeline() && conv.nativeFusedPipeline() &&
                    conv.flippedNativeFusedPipeline() && conv.uniformFusedPipeline());
        EXPECT_FALSE(last(l24, true).supportsUniformInput()); // 24 inputs are never uniform-safe
    }
    {
        const ScopedEnv tail("CORAVEL_FUSED_TAIL", "0");
        EXPECT_FALSE(last(l16, true).supportsFusedDown2() || last(l16, true).supportsFusedNative4x());
        EXPECT_TRUE(last(l24, false).supportsFusedDown2()); // the 24-channel layer has its own switch
    }
    {
        const ScopedEnv native("CORAVEL_FUSED_NATIVE_4X", "0");
        EXPECT_TRUE(last(l24, false).supportsFusedDown2());
        EXPECT_FALSE(last(l24, false).supportsFusedNative4x());
        const ScopedEnv off("CORAVEL_FUSED_HQ_TAIL", "0");
        EXPECT_FALSE(last(l24, false).supportsFusedDown2());
        const ScopedEnv other("CORAVEL_FUSED_HQ_TAIL", "false"); // only "0" switches off
        EXPECT_TRUE(last(l24, false).supportsFusedDown2());
    }
    // The uniform pipelines need weights within ±4096 and finite.
    auto w = layerWeights(16, 16, 9);
    const auto b = randomValues(16, 10), s = randomValues(16, 11);
    auto body = [&] {
        return ConvWinograd(device, 16, 16, w, b, std::span<const float>(s), true).uniformPipeline();
    };
    w[5] = -4096.0f;
    EXPECT_TRUE(body());
    w[5] = std::nextafter(4096.0f, 1e9f);
    EXPECT_FALSE(body());
    LastLayer unsafe = l16;
    unsafe.weights[100] = std::numeric_limits<float>::infinity();
    EXPECT_TRUE(last(unsafe, true).supportsFusedDown2());
    EXPECT_FALSE(last(unsafe, true).supportsUniformInput());
}

TEST_F(WinogradKernels, LayersMatchTheDirectConvolutionDownToOnePixel) {
    const ScopedEnv noTails("CORAVEL_FUSED_TAIL", "0"), noHQTails("CORAVEL_FUSED_HQ_TAIL", "0");
    const auto w = layerWeights(16, 16, 20), b = randomValues(16, 21, 0.2f), s = randomValues(16, 22, 0.5f);
    const ConvWinograd prelu(device, 16, 16, w, b, std::span<const float>(s), false);
    const ConvWinograd linear(device, 16, 16, w, b, std::nullopt, false);
    EXPECT_EQ(halvesToFloats(*linear.slope()), std::vector<float>(16, 1.0f));
    // The body layers' 4x4 tiles and 64-pixel groups cut anywhere.
    for (const auto& [width, height] :
         {std::pair<std::size_t, std::size_t>{1, 1}, {64, 2}, {65, 3}, {134, 9}}) {
        SCOPED_TRACE(::testing::Message() << width << "x" << height);
        const FloatImage input = randomFeatures(width, height, 16, 23);
        EXPECT_LE(worstRelative(convolve(prelu, input, 16, true),
                                convolution3x3(input, 16, w, b, std::span<const float>(s))),
                  4e-3f);
        EXPECT_LE(worstRelative(convolve(linear, input, 16, false), convolution3x3(input, 16, w, b)), 4e-3f);
        for (const int inputs : {16, 24}) {
            const LastLayer l = lastLayer(inputs, 30);
            const ConvWinograd last(device, inputs, 48, l.weights, l.biases, std::nullopt, false);
            const FloatImage features = randomFeatures(width, height, std::size_t(inputs), 32);
            EXPECT_LE(worstRelative(convolve(last, features, 48, false),
                                    convolution3x3(features, 48, l.weights, l.biases)),
                      4e-3f);
        }
    }
}

TEST_F(WinogradKernels, TailsOfTinyFramesMatchTheReconstruction) {
    for (const int inputs : {16, 24}) {
        const LastLayer l = lastLayer(inputs, 40 + std::uint32_t(inputs));
        const ConvWinograd conv(device, inputs, 48, l.weights, l.biases, std::nullopt, inputs == 16);
        const ApproxDown2Winograd approx(device, inputs, l.weights, l.biases);
        for (const auto& [width, height] :
             {std::pair<std::size_t, std::size_t>{1, 1}, {16, 2}, {65, 3}, {37, 9}}) {
            SCOPED_TRACE(::testing::Message() << inputs << " inputs, " << width << "x" << height);
            const FloatImage features = randomFeatures(width, height, std::size_t(inputs), 50);
            const Bgra8Image source = randomBgra8(width, height, 51);
            const FloatImage network = convolution3x3(features, 48, l.weights, l.biases);
            const FloatImage down2 = reconstructDown2(network, source),
                             native = reconstruct(network, source, 4);
            expectFrameClose(tail(conv, conv.fusedPipeline(), features, source, 2), down2);
            expectFrameClose(tail(conv, conv.flippedNativeFusedPipeline(), features, source, 4),
                             flipVertically(native));
            const FloatImage approximate = approximateDown2(network, source);
            expectFrameClose(tail(approx.flippedPipeline(), approx.kernel(), approx.bias(), approx.slope(),
                                  64, features, source, 2 * width, 2 * height),
                             flipVertically(approximate));
            // Display-optimal sizes beyond 4x compute their taps per pixel.
            for (const auto& [w, h] :
                 {std::pair<std::size_t, std::size_t>{1, 1}, {5 * width, 5 * height + 1}})
                expectFrameClose(tail(approx.optimalPipeline(), approx.kernel(), approx.bias(),
                                      approx.slope(), 64, features, source, w, h, nullptr, true),
                                 displayResample(approximate, w, h));
        }
    }
}

TEST_F(WinogradKernels, CounterTakesOneSampleForEvery8x8ThreadgroupsOfUniformInput) {
    // 17 x 18 threadgroups of 16 x 2 pixels: samples at group columns and rows 0, 8 and 16.
    const std::size_t width = 272, height = 36;
    FloatImage features(width, height, 16);
    const FloatImage flat = randomFeatures(1, 1, 16, 70);
    for (std::size_t p = 0; p < width * height; ++p)
        std::copy(flat.values.begin(), flat.values.end(), features.values.begin() + std::ptrdiff_t(p * 16));
    const Bgra8Image source = randomBgra8(width, height, 71);
    LastLayer l = lastLayer(16, 72);
    const ConvWinograd conv(device, 16, 48, l.weights, l.biases, std::nullopt, true);

    auto counter = newCounter();
    tail(conv, conv.fusedPipeline(), features, source, 2, counter);
    EXPECT_EQ(count(*counter), 9u);
    tail(conv, conv.flippedFusedPipeline(), features, source, 2, counter);
    tail(conv, conv.uniformFusedPipeline(), features, source, 2, counter);
    EXPECT_EQ(count(*counter), 27u); // every 2x frame counts
    tail(conv, conv.nativeFusedPipeline(), features, source, 4, counter);
    EXPECT_EQ(count(*counter), 27u); // the native output does not

    // Detail from column 128 on: the samples at group columns 8 and 16 see it.
    const FloatImage noise = randomFeatures(width, height, 16, 73);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 128; x < width; ++x)
            for (std::size_t c = 0; c < 16; ++c) features.at(x, y, c) = noise.at(x, y, c);
    auto partial = newCounter();
    tail(conv, conv.fusedPipeline(), features, source, 2, partial);
    EXPECT_EQ(count(*partial), 3u);

    // Unsafe weights or no uniform optimisation: the counter is left alone.
    l.weights[7] = 4097.0f;
    auto untouched = newCounter();
    const ConvWinograd unsafe(device, 16, 48, l.weights, l.biases, std::nullopt, true);
    tail(unsafe, unsafe.fusedPipeline(), FloatImage(32, 4, 16), randomBgra8(32, 4, 80), 2, untouched);
    const ConvWinograd off(device, 16, 48, lastLayer(16, 82).weights, l.biases, std::nullopt, false);
    tail(off, off.fusedPipeline(), FloatImage(32, 4, 16), randomBgra8(32, 4, 80), 2, untouched);
    EXPECT_EQ(count(*untouched), 0u);
}

TEST_F(WinogradKernels, MismatchedImagesAreNeverAccessedOutside) {
    // A frame smaller than the features: its edge pixels stand in for the missing ones.
    const std::size_t width = 9, height = 7;
    const FloatImage features = randomFeatures(width, height, 16, 90);
    const Bgra8Image small = randomBgra8(3, 2, 91);
    Bgra8Image extended(width, height);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            std::memcpy(extended.pixel(x, y),
                        small.pixel(std::min<std::size_t>(x, 2), std::min<std::size_t>(y, 1)), 4);
    const LastLayer l = lastLayer(16, 92);
    const ConvWinograd last(device, 16, 48, l.weights, l.biases, std::nullopt, false);
    expectFrameClose(tail(last.fusedPipeline(), last.kernel(), last.bias(), last.slope(), 16, features, small,
                          2 * width, 2 * height),
                     reconstructDown2(convolution3x3(features, 48, l.weights, l.biases), extended));

    // A destination smaller than the source gets the pixels it has.
    const auto w = randomValues(16 * 16 * 9, 93, 0.125f), b = randomValues(16, 94, 0.1f);
    const ConvWinograd body(device, 16, 16, w, b, std::nullopt, false);
    const FloatImage actual = convolve(body, features, 16, false, std::pair<std::size_t, std::size_t>{5, 3});
    const FloatImage expected = convolution3x3(features, 16, w, b);
    for (std::size_t y = 0; y < 3; ++y)
        for (std::size_t x = 0; x < 5; ++x)
            for (std::size_t c = 0; c < 16; ++c) ASSERT_NEAR(actual.at(x, y, c), expected.at(x, y, c), 5e-3f);
}

} // namespace
} // namespace lumavane::testing
