#include "GpuTestSupport.hpp"

#include <algorithm>
#include <cmath>
#include <random>

namespace lumavane::gpu::testing {
namespace {

struct Layer {
    size_t in, out, kernel;
    NeuronDescriptor neuron;
};

// The plain definition: destination pixel (x, y) centred on source pixel (x + ox, y + oy).
std::vector<float> reference(const std::vector<float>& source, size_t width, size_t height,
                             const Layer& layer, const std::vector<float>& weights,
                             const std::vector<float>& biases, long ox, long oy, size_t outWidth,
                             size_t outHeight, bool clampEdges) {
    std::vector<float> out(outWidth * outHeight * layer.out);
    long radius = static_cast<long>(layer.kernel) / 2;
    for (size_t y = 0; y < outHeight; ++y)
        for (size_t x = 0; x < outWidth; ++x)
            for (size_t o = 0; o < layer.out; ++o) {
                double sum = biases.empty() ? 0 : biases[o];
                for (size_t ky = 0; ky < layer.kernel; ++ky)
                    for (size_t kx = 0; kx < layer.kernel; ++kx) {
                        long sx = static_cast<long>(x) + ox - radius + static_cast<long>(kx);
                        long sy = static_cast<long>(y) + oy - radius + static_cast<long>(ky);
                        if (clampEdges) {
                            sx = std::clamp(sx, 0L, static_cast<long>(width) - 1);
                            sy = std::clamp(sy, 0L, static_cast<long>(height) - 1);
                        } else if (sx < 0 || sy < 0 || sx >= static_cast<long>(width) ||
                                   sy >= static_cast<long>(height)) {
                            continue;
                        }
                        for (size_t i = 0; i < layer.in; ++i)
                            sum += weights[((o * layer.kernel + ky) * layer.kernel + kx) * layer.in + i] *
                                   source[(sy * width + sx) * layer.in + i];
                    }
                float v = static_cast<float>(sum);
                if (layer.neuron.type == NeuronDescriptor::Type::reLU && v < 0) v *= layer.neuron.a;
                if (layer.neuron.type == NeuronDescriptor::Type::pReLU && v < 0) v *= layer.neuron.data[o];
                out[(y * outWidth + x) * layer.out + o] = v;
            }
    return out;
}

class ConvolutionTests : public GpuTest {
protected:
    std::vector<float> random(size_t count, float scale) {
        std::uniform_real_distribution<float> d(-scale, scale);
        std::vector<float> v(count);
        for (auto& x : v) x = d(rng);
        return v;
    }

    struct Run {
        size_t width, height;
        long ox = 0, oy = 0;
        size_t outWidth = 0, outHeight = 0; // 0: the source's size
        bool clampEdges = false;
        bool bgraSource = false;
    };

    void check(const Layer& layer, Run r) {
        SCOPED_TRACE(std::to_string(layer.in) + " to " + std::to_string(layer.out) + " channels, " +
                     std::to_string(layer.kernel) + "x" + std::to_string(layer.kernel) + ", " +
                     std::to_string(r.width) + "x" + std::to_string(r.height));
        if (!r.outWidth) r.outWidth = r.width;
        if (!r.outHeight) r.outHeight = r.height;
        ConvolutionDescriptor d;
        d.kernelWidth = d.kernelHeight = layer.kernel;
        d.inputFeatureChannels = layer.in;
        d.outputFeatureChannels = layer.out;
        d.fusedNeuron = layer.neuron;
        float scale = 1.0f / std::sqrt(static_cast<float>(layer.in * layer.kernel * layer.kernel));
        auto weights = random(layer.out * layer.kernel * layer.kernel * layer.in, scale);
        auto biases = random(layer.out, 0.5f);
        Convolution conv(device, d, weights, biases);
        conv.offset = {r.ox, r.oy, 0};
        conv.edgeMode = r.clampEdges ? EdgeMode::clamp : EdgeMode::zero;

        std::shared_ptr<FeatureImage> source;
        if (r.bgraSource) {
            source = FeatureImage::over(
                device->newTexture(TextureDescriptor::texture2D(PixelFormat::bgra8Unorm, r.width, r.height)),
                3);
            auto values = random(r.width * r.height * 3, 1.0f);
            for (auto& v : values) v = std::abs(v);
            source->writeFloats(values);
        } else {
            source = FeatureImage::make(device, {FeatureChannelFormat::float16, r.width, r.height, layer.in});
            source->writeFloats(random(r.width * r.height * layer.in, 1.0f));
        }
        auto destination =
            FeatureImage::make(device, {FeatureChannelFormat::float16, r.outWidth, r.outHeight, layer.out});
        ASSERT_TRUE(source && destination);
        auto commands = queue->commandBuffer();
        conv.encode(commands, source, destination);
        run(commands);

        auto expected = reference(source->readFloats(), r.width, r.height, layer, weights, biases, r.ox, r.oy,
                                  r.outWidth, r.outHeight, r.clampEdges);
        auto actual = destination->readFloats();
        ASSERT_EQ(actual.size(), expected.size());
        for (size_t i = 0; i < actual.size(); ++i) {
            float tolerance = 2e-3f * std::max(1.0f, std::abs(expected[i]));
            size_t pixel = i / layer.out;
            ASSERT_NEAR(actual[i], expected[i], tolerance)
                << "pixel (" << pixel % r.outWidth << ", " << pixel / r.outWidth << ") channel "
                << i % layer.out;
        }
    }

    std::vector<float> slopes(size_t n) {
        auto s = random(n, 0.3f);
        for (auto& v : s) v += 0.3f;
        return s;
    }

    std::mt19937 rng{1234};
};

TEST_F(ConvolutionTests, MatchesThePlainDefinition) {
    // 3x3 over channel counts and odd sizes, 1 pixel wide, pReLU.
    std::uniform_int_distribution<size_t> side(1, 41);
    for (auto [in, out] : std::vector<std::pair<size_t, size_t>>{
             {3, 16}, {16, 48}, {24, 24}, {4, 8}, {8, 12}, {12, 3}, {32, 64}, {48, 32}, {64, 64}, {16, 3}})
        check({in, out, 3, NeuronDescriptor::pReLU(slopes(out))}, {side(rng), side(rng)});
    const std::pair<Layer, Run> cases[] = {
        {{16, 16, 3, NeuronDescriptor::pReLU(slopes(16))}, {1, 1}},
        {{16, 16, 3, {}}, {67, 3}},
        // 1x1 and wide channel counts.
        {{64, 12, 1, {}}, {13, 7}},
        {{16, 3, 1, NeuronDescriptor::reLU(0)}, {9, 10}},
        {{256, 20, 1, {}}, {5, 3}},
        {{20, 256, 3, NeuronDescriptor::pReLU(slopes(256))}, {6, 5}},
        {{16, 16, 3, NeuronDescriptor::reLU(0.1f)}, {19, 11}},
        // Offset 1 with a destination two smaller: the valid convolution.
        {{64, 64, 3, {}}, {12, 9, 1, 1, 10, 7}},
        // A smaller destination with no offset, and offsets that reach past the edges.
        {{16, 24, 3, {}}, {15, 10, 0, 0, 7, 4}},
        {{8, 8, 3, {}}, {10, 6, 3, -2, 9, 6}},
        // BGRA sources are three normalised channels.
        {{3, 16, 3, NeuronDescriptor::pReLU(slopes(16))}, {.width = 21, .height = 6, .bgraSource = true}},
        {{3, 48, 1, {}}, {.width = 5, .height = 5, .bgraSource = true}},
        {{12, 8, 3, {}}, {.width = 7, .height = 5, .clampEdges = true}},
    };
    for (const auto& [layer, run] : cases) check(layer, run);
}

TEST_F(ConvolutionTests, RefusesWhatItCannotRun) {
    ConvolutionDescriptor d;
    d.inputFeatureChannels = 16;
    d.outputFeatureChannels = 16;
    std::vector<float> weights(16 * 9 * 16);
    EXPECT_THROW(Convolution(device, d, std::vector<float>(10), {}), PlatformError);
    EXPECT_THROW(Convolution(device, d, weights, std::vector<float>(3)), PlatformError);
    d.fusedNeuron = NeuronDescriptor::pReLU({1, 2});
    EXPECT_THROW(Convolution(device, d, weights, {}), PlatformError);
    d.fusedNeuron = {};
    d.kernelWidth = 2;
    EXPECT_THROW(Convolution(device, d, std::vector<float>(16 * 6 * 16), {}), PlatformError);
    d.kernelWidth = 3;
    d.inputFeatureChannels = 257;
    EXPECT_THROW(Convolution(device, d, std::vector<float>(16 * 9 * 257), {}), PlatformError);

    // Images of the wrong channel count fail the command buffer, not the caller.
    d.inputFeatureChannels = 16;
    Convolution conv(device, d, weights, {});
    auto image8 = FeatureImage::make(device, {FeatureChannelFormat::float16, 4, 4, 8});
    auto image16 = FeatureImage::make(device, {FeatureChannelFormat::float16, 4, 4, 16});
    auto commands = queue->commandBuffer();
    conv.encode(commands, image8, image16);
    commands->commit();
    commands->waitUntilCompleted();
    EXPECT_EQ(commands->status(), CommandBuffer::Status::error);

    EXPECT_FALSE(FeatureImage::make(device, {FeatureChannelFormat::float16, 4, 4, 257}));
    EXPECT_FALSE(FeatureImage::over(image16->texture(), 12));
    EXPECT_EQ(image16->texture()->arrayLength(), 4u);
    EXPECT_EQ(FeatureImage::make(device, {FeatureChannelFormat::float16, 4, 4, 3})->texture()->textureType(),
              TextureType::type2D);
}

} // namespace
} // namespace lumavane::gpu::testing
