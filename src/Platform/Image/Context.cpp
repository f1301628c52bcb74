#include "Platform/Image/Context.hpp"

#include "Platform/Foundation/PlatformError.hpp"
#include "Platform/Foundation/Resources.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "Platform/Image/Program.hpp"

#include <fstream>
#include <iterator>
#include <limits>

namespace lumavane::image {

using namespace detail;

namespace {

constexpr const char* kErrorDomain = "Lumavane.Image";

std::string kernelSource() {
    const auto path = resourceBundle("Lumavane_Image.bundle") / "Render.cl";
    std::ifstream stream(path, std::ios::binary);
    if (!stream) throw PlatformError(kErrorDomain, 4, "cannot read " + path.string());
    return std::string((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

gpu::CompileOptions compileOptions() {
    gpu::CompileOptions options;
    auto& m = options.preprocessorMacros;
    m.emplace("OP_END", int(opEnd));
    m.emplace("OP_SAMPLE", int(opSample));
    m.emplace("OP_CONSTANT", int(opConstant));
    m.emplace("OP_PUSH", int(opPush));
    m.emplace("OP_POP", int(opPop));
    m.emplace("OP_TRANSFORM", int(opTransform));
    m.emplace("OP_CLAMP", int(opClamp));
    m.emplace("OP_CROP", int(opCrop));
    m.emplace("OP_OVER", int(opOver));
    m.emplace("FORMAT_BGRA8", int(SourceFormat::bgra8));
    m.emplace("FORMAT_RGBA8", int(SourceFormat::rgba8));
    m.emplace("FORMAT_YCBCR8", int(SourceFormat::ycbcr8));
    m.emplace("FORMAT_YCBCR16", int(SourceFormat::ycbcr16));
    m.emplace("MAX_STACK", kMaxStack);
    m.emplace("SOURCE_FLOATS", kSourceFloats);
    m.emplace("FIELD_FORMAT", int(fieldFormat));
    m.emplace("FIELD_WIDTH", int(fieldWidth));
    m.emplace("FIELD_HEIGHT", int(fieldHeight));
    m.emplace("FIELD_TOP_DOWN", int(fieldTopDown));
    m.emplace("FIELD_Y_OFFSET", int(fieldYOffset));
    m.emplace("FIELD_Y_SCALE", int(fieldYScale));
    m.emplace("FIELD_C_OFFSET", int(fieldCOffset));
    m.emplace("FIELD_C_SCALE", int(fieldCScale));
    m.emplace("FIELD_R_CR", int(fieldRCr));
    m.emplace("FIELD_G_CB", int(fieldGCb));
    m.emplace("FIELD_G_CR", int(fieldGCr));
    m.emplace("FIELD_B_CB", int(fieldBCb));
    return options;
}

bool isColorTexture(const gpu::Texture& texture) {
    return texture.pixelFormat() == gpu::PixelFormat::bgra8Unorm ||
           texture.pixelFormat() == gpu::PixelFormat::rgba8Unorm;
}

// The texture planes a source is read through: one for colour, luma and chroma for YCbCr.
std::pair<std::shared_ptr<gpu::Texture>, std::shared_ptr<gpu::Texture>> planesOf(gpu::Device& device,
                                                                                 const Source& source) {
    if (source.texture) return {source.texture, nullptr};
    lv_pixel_buffer* buffer = source.pixelBuffer.get();
    std::shared_ptr<gpu::Texture> luma, chroma;
    switch (source.format) {
    case SourceFormat::bgra8:
    case SourceFormat::rgba8:
        luma = device.newTextureOverPixelBuffer(buffer, 0, gpu::PixelFormat::bgra8Unorm);
        break;
    case SourceFormat::ycbcr8:
        luma = device.newTextureOverPixelBuffer(buffer, 0, gpu::PixelFormat::r8Unorm);
        chroma = device.newTextureOverPixelBuffer(buffer, 1, gpu::PixelFormat::rg8Unorm);
        break;
    case SourceFormat::ycbcr16:
        luma = device.newTextureOverPixelBuffer(buffer, 0, gpu::PixelFormat::r16Unorm);
        chroma = device.newTextureOverPixelBuffer(buffer, 1, gpu::PixelFormat::rg16Unorm);
        break;
    }
    if (!luma || (source.format >= SourceFormat::ycbcr8 && !chroma))
        throw PlatformError(kErrorDomain, 5, "cannot read the pixel buffer on the GPU");
    return {luma, chroma};
}

} // namespace

std::shared_ptr<Context> Context::make(std::shared_ptr<gpu::Device> device) {
    if (!device) device = gpu::Device::systemDefault();
    if (!device) throw PlatformError(kErrorDomain, 6, "no GPU device");
    auto library = device->newLibrary(kernelSource(), compileOptions());
    auto function = library->newFunction("render_recipe");
    if (!function) throw PlatformError(kErrorDomain, 4, "render kernel missing");
    auto pipeline = device->newComputePipelineState(function);
    auto queue = device->newCommandQueue();
    if (!queue) throw PlatformError(kErrorDomain, 6, "no command queue");
    queue->setLabel("Lumavane image context");
    return std::make_shared<Context>(device, std::move(queue), std::move(pipeline));
}

Context::Context(std::shared_ptr<gpu::Device> device, std::shared_ptr<gpu::CommandQueue> queue,
                 std::shared_ptr<gpu::ComputePipelineState> pipeline)
    : device_(std::move(device)), queue_(std::move(queue)), pipeline_(std::move(pipeline)) {}

void Context::encode(const Image& image, const std::shared_ptr<gpu::Texture>& destination, bool topDown,
                     Point origin, const Rect& bounds, gpu::CommandBuffer& commandBuffer) const {
    const Program program = compile(*image.node());
    const Target target =
        targetFor(int(destination->width()), int(destination->height()), topDown, origin, bounds);
    if (target.x1 <= target.x0 || target.r1 <= target.r0) return;
    auto encoder = commandBuffer.computeCommandEncoder();
    if (!encoder) throw PlatformError(kErrorDomain, 7, "cannot encode a render");
    encoder->setLabel("Lumavane image render");
    encoder->setComputePipelineState(pipeline_);
    encoder->setTexture(destination, 0);
    for (std::size_t i = 0; i < program.sources.size(); ++i) {
        auto [first, second] = planesOf(*device_, *program.sources[i]);
        encoder->setTexture(std::move(first), 1 + 2 * i);
        if (second) encoder->setTexture(std::move(second), 2 + 2 * i);
    }
    encoder->setBytes(program.code.data(), program.code.size() * sizeof(float), 0);
    encoder->setBytes(program.sourceParameters.data(), program.sourceParameters.size() * sizeof(float), 1);
    encoder->setBytes(&target, sizeof target, 2);
    const std::size_t threads = pipeline_->maxTotalThreadsPerThreadgroup();
    const gpu::Size group =
        threads >= 128 ? gpu::Size{32, 4, 1} : gpu::Size{std::max<std::size_t>(threads, 1), 1, 1};
    encoder->dispatchThreads({std::size_t(target.x1 - target.x0), std::size_t(target.r1 - target.r0), 1},
                             group);
    encoder->endEncoding();
}

void Context::runAndWait(const Image& image, const std::shared_ptr<gpu::Texture>& destination, bool topDown,
                         Point origin, const Rect& bounds) const {
    auto commandBuffer = queue_->commandBuffer();
    if (!commandBuffer) throw PlatformError(kErrorDomain, 7, "no command buffer");
    commandBuffer->setLabel("Lumavane image render");
    encode(image, destination, topDown, origin, bounds, *commandBuffer);
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    if (auto error = commandBuffer->error()) throw *error;
}

void Context::render(const Image& image, const PixelBuffer& buffer, const Rect& bounds) const {
    if (!buffer || buffer.pixelFormat() != LV_PIXEL_FORMAT_32BGRA)
        throw PlatformError(kErrorDomain, 2, "renders go into 32-bit BGRA pixel buffers");
    auto texture = device_->newTextureOverPixelBuffer(buffer.get(), 0, gpu::PixelFormat::bgra8Unorm);
    if (!texture) throw PlatformError(kErrorDomain, 5, "cannot write the pixel buffer on the GPU");
    runAndWait(image, texture, true, {0, 0}, bounds);
}

void Context::render(const Image& image, const std::shared_ptr<gpu::Texture>& texture,
                     const std::shared_ptr<gpu::CommandBuffer>& commandBuffer, bool flipped) const {
    if (!texture || !isColorTexture(*texture) || !commandBuffer)
        throw PlatformError(kErrorDomain, 2, "renders go into bgra8Unorm or rgba8Unorm textures");
    encode(image, texture, flipped, {0, 0}, Rect::infinite(), *commandBuffer);
}

std::optional<CPUImage> Context::createCPUImage(const Image& image, const Rect& rect) const {
    const Rect whole = rect.integral();
    if (whole.isEmpty() || whole.isInfinite() || whole.width > 65536 || whole.height > 65536)
        return std::nullopt;
    const auto width = static_cast<std::size_t>(whole.width), height = static_cast<std::size_t>(whole.height);
    auto texture =
        device_->newTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height));
    if (!texture) return std::nullopt;
    try {
        runAndWait(image, texture, true, {whole.x, whole.y}, whole);
    } catch (const PlatformError&) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(width * height * 4);
    texture->getBytes(bytes.data(), width * 4, {{0, 0, 0}, {width, height, 1}}, 0);
    return CPUImage::make(int(width), int(height), 8, 32, width * 4, std::move(bytes));
}

} // namespace lumavane::image
