// The fused reconstruction tails of ConvWinograd's 48-channel last layer, dispatched as the
// engine records them, against the CPU reference: convolution, pixel shuffle, residual, 2x
// reduction and flips; the uniform-input variants and the uniform sample counter.
#include "CompactMetal/ConvWinograd.hpp"
#include "CompactMetal/ConvWinogradTestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace lumavane::testing {
namespace {

class ConvWinogradTail : public WinogradTest {
protected:
    enum class Kind { down2, flippedDown2, uniformDown2, native4x, flippedNative4x };

    // Runs one tail of `conv` over `features` with the frame `source`; returns the frame written.
    Bgra8Image runTail(const ConvWinograd& conv, Kind kind, const FloatImage& features,
                       const Bgra8Image& source, const std::shared_ptr<gpu::Buffer>& counter = nullptr) {
        const bool native = kind == Kind::native4x || kind == Kind::flippedNative4x;
        const std::size_t scale = native ? 4 : 2;
        Tail tail;
        switch (kind) {
        case Kind::down2:
            tail.pipeline = conv.fusedPipeline();
            break;
        case Kind::flippedDown2:
            tail.pipeline = conv.flippedFusedPipeline();
            break;
        case Kind::uniformDown2:
            tail.pipeline = conv.uniformFusedPipeline();
            break;
        case Kind::native4x:
            tail.pipeline = conv.nativeFusedPipeline();
            break;
        case Kind::flippedNative4x:
            tail.pipeline = conv.flippedNativeFusedPipeline();
            break;
        }
        tail.features = makeFeatureImage(device, features)->texture();
        tail.destination = makeBgra8Texture(device, source.width * scale, source.height * scale, 77);
        tail.source = makeBgra8Texture(device, source);
        tail.kernel = conv.kernel();
        tail.bias = conv.bias();
        tail.slope = conv.slope();
        tail.counter = counter;
        tail.threadgroups = {groups(features.width, 16), groups(features.height, 2), 1};
        WinogradTest::runTail(tail);
        return readBgra8Texture(*tail.destination);
    }

    static void expectMatches(const Bgra8Image& actual, const FloatImage& expected) {
        const Bgra8Image reference = toBgra8(expected);
        EXPECT_LE(maxLevelDifference(actual, reference), 1);
        EXPECT_LE(countLevelDifferences(actual, reference, 0), actual.bytes.size() / 50);
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
};

TEST_F(ConvWinogradTail, EveryTailMatchesTheReferenceFor16And24Inputs) {
    for (const int inputs : {16, 24}) {
        SCOPED_TRACE(inputs);
        const LastLayer layer = lastLayer(inputs, 40 + static_cast<std::uint32_t>(inputs));
        const ConvWinograd conv(device, inputs, 48, layer.weights, layer.biases, std::nullopt, inputs == 16);
        for (const auto& [width, height] : {std::pair<std::size_t, std::size_t>{37, 23}, {1, 1}, {16, 2}}) {
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
            const FloatImage features = randomFeatures(width, height, static_cast<std::size_t>(inputs), 50);
            const Bgra8Image source = randomBgra8(width, height, 51);
            const FloatImage network = convolution3x3(features, 48, layer.weights, layer.biases);

            const FloatImage down2 = reconstructDown2(network, source);
            expectMatches(runTail(conv, Kind::down2, features, source), down2);
            expectMatches(runTail(conv, Kind::flippedDown2, features, source), flipVertically(down2));
            const FloatImage native = reconstruct(network, source, 4);
            expectMatches(runTail(conv, Kind::native4x, features, source), native);
            expectMatches(runTail(conv, Kind::flippedNative4x, features, source), flipVertically(native));
            if (inputs == 16) expectMatches(runTail(conv, Kind::uniformDown2, features, source), down2);
        }
    }
}

TEST_F(ConvWinogradTail, UniformVariantsMatchOnPartlyUniformInput) {
    // A letterboxed frame: uniform features above and below, detail in the middle band.
    const std::size_t width = 41, height = 30;
    FloatImage features = randomFeatures(width, height, 16, 60);
    const FloatImage flat = randomFeatures(1, 1, 16, 61);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            if (y < 9 || y >= 21)
                for (std::size_t c = 0; c < 16; ++c) features.at(x, y, c) = flat.at(0, 0, c);
    const Bgra8Image source = randomBgra8(width, height, 62);

    const LastLayer layer = lastLayer(16, 63);
    const ConvWinograd last(device, 16, 48, layer.weights, layer.biases, std::nullopt, true);
    expectMatches(runTail(last, Kind::uniformDown2, features, source),
                  reconstructDown2(convolution3x3(features, 48, layer.weights, layer.biases), source));

    const auto w = randomValues(16 * 16 * 9, 64, 0.125f), b = randomValues(16, 65, 0.1f),
               s = randomValues(16, 66, 0.3f);
    const ConvWinograd body(device, 16, 16, w, b, std::span<const float>(s), true);
    ASSERT_TRUE(body.uniformPipeline());
    auto in = makeFeatureImage(device, features);
    auto out = makeFeatureImage(device, FloatImage(width, height, 16));
    run([&](const auto& command) { body.encode(in->texture(), out->texture(), command, true); });
    const FloatImage expected = convolution3x3(features, 16, w, b, std::span<const float>(s));
    EXPECT_LE(maxAbsDifference(readFeatureImage(*out), expected), 5e-3f);
}

TEST_F(ConvWinogradTail, CounterTakesOneSampleForEvery8x8Threadgroups) {
    // 17 x 18 threadgroups of 16 x 2 pixels: samples at group columns and rows 0, 8 and 16.
    const std::size_t width = 272, height = 36;
    FloatImage features(width, height, 16);
    const FloatImage flat = randomFeatures(1, 1, 16, 70);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            for (std::size_t c = 0; c < 16; ++c) features.at(x, y, c) = flat.at(0, 0, c);
    const Bgra8Image source = randomBgra8(width, height, 71);
    const LastLayer layer = lastLayer(16, 72);
    const ConvWinograd conv(device, 16, 48, layer.weights, layer.biases, std::nullopt, true);

    auto counter = newCounter();
    runTail(conv, Kind::down2, features, source, counter);
    EXPECT_EQ(count(*counter), 9u);
    runTail(conv, Kind::flippedDown2, features, source, counter);
    EXPECT_EQ(count(*counter), 18u); // every 2x frame counts, flipped ones too
    runTail(conv, Kind::uniformDown2, features, source, counter);
    EXPECT_EQ(count(*counter), 27u);
    runTail(conv, Kind::native4x, features, source, counter);
    EXPECT_EQ(count(*counter), 27u); // the native output does not

    // Detail from column 128 on: the samples at group columns 8 and 16 see it.
    const FloatImage noise = randomFeatures(width, height, 16, 73);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 128; x < width; ++x)
            for (std::size_t c = 0; c < 16; ++c) features.at(x, y, c) = noise.at(x, y, c);
    auto partial = newCounter();
    runTail(conv, Kind::down2, features, source, partial);
    EXPECT_EQ(count(*partial), 3u);

    // Without a counter bound the tail runs all the same.
    runTail(conv, Kind::down2, features, source);
}

TEST_F(ConvWinogradTail, UnsafeWeightsLeaveTheCounterAlone) {
    const std::size_t width = 32, height = 4;
    const FloatImage features(width, height, 16); // all zero: uniform
    const Bgra8Image source = randomBgra8(width, height, 80);
    LastLayer layer = lastLayer(16, 81);
    layer.weights[7] = 4097.0f;
    const ConvWinograd conv(device, 16, 48, layer.weights, layer.biases, std::nullopt, true);
    ASSERT_FALSE(conv.supportsUniformInput());
    auto counter = newCounter();
    runTail(conv, Kind::down2, features, source, counter);
    EXPECT_EQ(count(*counter), 0u);

    const ConvWinograd off(device, 16, 48, lastLayer(16, 82).weights, layer.biases, std::nullopt, false);
    runTail(off, Kind::down2, features, source, counter);
    EXPECT_EQ(count(*counter), 0u);
}

TEST_F(ConvWinogradTail, MismatchedImagesAreNeverAccessedOutside) {
    // A frame smaller than the features: its edge pixels stand in for the missing ones.
    const std::size_t width = 9, height = 7;
    const FloatImage features = randomFeatures(width, height, 16, 90);
    const Bgra8Image small = randomBgra8(3, 2, 91);
    Bgra8Image extended(width, height);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            std::memcpy(extended.pixel(x, y),
                        small.pixel(std::min<std::size_t>(x, 2), std::min<std::size_t>(y, 1)), 4);
    const LastLayer layer = lastLayer(16, 92);
    const ConvWinograd last(device, 16, 48, layer.weights, layer.biases, std::nullopt, false);
    Tail tail;
    tail.pipeline = last.fusedPipeline();
    tail.features = makeFeatureImage(device, features)->texture();
    tail.destination = makeBgra8Texture(device, 2 * width, 2 * height);
    tail.source = makeBgra8Texture(device, small);
    tail.kernel = last.kernel();
    tail.bias = last.bias();
    tail.slope = last.slope();
    tail.threadgroups = {1, 4, 1};
    WinogradTest::runTail(tail);
    expectMatches(readBgra8Texture(*tail.destination),
                  reconstructDown2(convolution3x3(features, 48, layer.weights, layer.biases), extended));

    // A destination smaller than the source gets the pixels it has.
    const auto w = randomValues(16 * 16 * 9, 93, 0.125f), b = randomValues(16, 94, 0.1f);
    const ConvWinograd body(device, 16, 16, w, b, std::nullopt, false);
    auto in = makeFeatureImage(device, features);
    auto out = makeFeatureImage(device, FloatImage(5, 3, 16));
    run([&](const auto& command) { body.encode(in->texture(), out->texture(), command, false); });
    const FloatImage expected = convolution3x3(features, 16, w, b);
    const FloatImage actual = readFeatureImage(*out);
    float worst = 0;
    for (std::size_t y = 0; y < 3; ++y)
        for (std::size_t x = 0; x < 5; ++x)
            for (std::size_t c = 0; c < 16; ++c)
                worst = std::max(worst, std::abs(actual.at(x, y, c) - expected.at(x, y, c)));
    EXPECT_LE(worst, 5e-3f);
}

} // namespace
} // namespace lumavane::testing
