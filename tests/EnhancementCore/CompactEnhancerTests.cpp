#include "EnhancementCore/CompactEnhancerTests.hpp"

#include "CompactMetal/TestModelFolder.hpp"

namespace lumavane::testing {

const char* nameOf(InputKind kind) {
    switch (kind) {
    case InputKind::bgra:
        return "BGRA buffer";
    case InputKind::yuv420:
        return "4:2:0 buffer";
    case InputKind::image:
        return "image";
    }
    return "";
}

std::filesystem::path CompactEnhancerTest::writeModel(std::int64_t scale, const nlohmann::json& extra,
                                                      std::int64_t width, std::int64_t height,
                                                      const std::string& name) {
    nlohmann::json manifest = compactManifest(scale, compactLayers(scale, 16, 1), width, height);
    if (extra.is_object()) manifest.update(extra);
    folder = directory.path() / std::to_string(++models_) / (name + ".bundle");
    model = writeEngineModel(folder, manifest, 500 + static_cast<std::uint32_t>(models_));
    return folder;
}

std::unique_ptr<CompactEnhancer> CompactEnhancerTest::build(CompactEnhancerOptions options,
                                                            std::vector<gpu::GPUFamily> apple) {
    gpu::DeviceProfile profile;
    profile.families = {gpu::GPUFamily::common1, gpu::GPUFamily::common2, gpu::GPUFamily::common3,
                        gpu::GPUFamily::mac2};
    profile.families.insert(apple.begin(), apple.end());
    device = gpu::Device::withProfile(profile);
    context_.reset();
    options.url = folder;
    options.device = device;
    return std::make_unique<CompactEnhancer>(options);
}

std::shared_ptr<image::Context> CompactEnhancerTest::context() {
    if (!device) device = deviceWithFamilies({});
    if (!context_) context_ = image::Context::make(device);
    return context_;
}

namespace {

Bgra8Image bufferPicture(const PixelBuffer& buffer) {
    Bgra8Image picture(buffer.width(), buffer.height());
    for (std::size_t y = 0; y < picture.height; ++y)
        std::memcpy(picture.pixel(0, y),
                    static_cast<const std::uint8_t*>(buffer.baseAddress(0)) + y * buffer.bytesPerRow(0),
                    picture.width * 4);
    return picture;
}

PixelBuffer bgraBuffer(const Bgra8Image& picture) {
    PixelBuffer buffer = PixelBuffer::create(picture.width, picture.height, LV_PIXEL_FORMAT_32BGRA);
    for (std::size_t y = 0; y < picture.height; ++y)
        std::memcpy(static_cast<std::uint8_t*>(buffer.baseAddress(0)) + y * buffer.bytesPerRow(0),
                    picture.pixel(0, y), picture.width * 4);
    return buffer;
}

} // namespace

InputFrame CompactEnhancerTest::makeInput(InputKind kind, std::size_t width, std::size_t height,
                                          std::uint32_t seed) {
    InputFrame frame;
    switch (kind) {
    case InputKind::bgra:
        frame.picture = randomBgra8(width, height, seed);
        frame.buffer = bgraBuffer(frame.picture);
        break;
    case InputKind::yuv420: {
        // Video-range 8-bit samples; what the image layer makes of them is the picture.
        frame.buffer = PixelBuffer::create(width, height, LV_PIXEL_FORMAT_420V);
        const Bgra8Image noise = randomBgra8(width, height, seed);
        auto* luma = static_cast<std::uint8_t*>(frame.buffer.baseAddress(0));
        for (std::size_t y = 0; y < height; ++y)
            for (std::size_t x = 0; x < width; ++x)
                luma[y * frame.buffer.bytesPerRow(0) + x] =
                    std::uint8_t(16 + noise.pixel(x, y)[0] * 219 / 255);
        auto* chroma = static_cast<std::uint8_t*>(frame.buffer.baseAddress(1));
        for (std::size_t y = 0; y < frame.buffer.planeHeight(1); ++y)
            for (std::size_t x = 0; x < frame.buffer.planeWidth(1); ++x) {
                const std::uint8_t* n = noise.pixel(x, y);
                chroma[y * frame.buffer.bytesPerRow(1) + 2 * x] = std::uint8_t(16 + n[1] * 224 / 255);
                chroma[y * frame.buffer.bytesPerRow(1) + 2 * x + 1] = std::uint8_t(16 + n[2] * 224 / 255);
            }
        PixelBuffer converted = PixelBuffer::create(width, height, LV_PIXEL_FORMAT_32BGRA);
        context()->render(image::Image::fromPixelBuffer(frame.buffer), converted,
                          image::Rect{0, 0, double(width), double(height)});
        frame.picture = bufferPicture(converted);
        break;
    }
    case InputKind::image:
        frame.picture = randomBgra8(width, height, seed);
        // A texture's row 0 is the bottom of the image made from it.
        frame.image =
            image::Image::fromTexture(makeBgra8Texture(context()->device(), flipRows(frame.picture)));
        break;
    }
    return frame;
}

Bgra8Image CompactEnhancerTest::read(const image::Image& image) {
    const image::Rect extent = image.extent();
    const auto cpu = context()->createCPUImage(image, extent);
    if (!cpu) {
        ADD_FAILURE() << "the image cannot be read";
        return {};
    }
    Bgra8Image picture(std::size_t(cpu->width()), std::size_t(cpu->height()));
    for (int y = 0; y < cpu->height(); ++y)
        std::memcpy(picture.pixel(0, std::size_t(y)), cpu->row(y), picture.width * 4);
    return picture;
}

} // namespace lumavane::testing
