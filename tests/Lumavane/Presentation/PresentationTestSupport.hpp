#pragma once

#include "Lumavane/Presentation/ImageSurface.hpp"
#include "Platform/Foundation/ManualRunLoop.hpp"
#include "Platform/Image/Image.hpp"
#include "Platform/Video/PixelBuffer.hpp"

#include <cstring>
#include <functional>

namespace lumavane::test {

struct Pixel {
    std::uint8_t b, g, r, a;
    friend bool operator==(const Pixel&, const Pixel&) = default;
};

inline Pixel pixelOf(const SurfaceDrawable& drawable, int x, int row) {
    Pixel p;
    std::memcpy(&p, drawable.pixels() + std::size_t(row) * drawable.bytesPerRow() + std::size_t(x) * 4, 4);
    return p;
}

// A BGRA picture whose memory pixel (x, row) is f(x, row); row 0 is the top.
inline image::Image pictureOf(int width, int height, const std::function<Pixel(int, int)>& f) {
    PixelBuffer buffer = PixelBuffer::create(width, height, LV_PIXEL_FORMAT_32BGRA);
    for (int row = 0; row < height; ++row)
        for (int x = 0; x < width; ++x) {
            const Pixel p = f(x, row);
            std::memcpy(static_cast<std::uint8_t*>(buffer.baseAddress(0)) + row * buffer.bytesPerRow(0) + x * 4, &p, 4);
        }
    return image::Image::fromPixelBuffer(buffer);
}

inline image::Image solid(double red, double green, double blue, int width = 8, int height = 8) {
    return image::Image::constantColor({red, green, blue, 1}).cropped({0, 0, double(width), double(height)});
}

// Drawables from a pool, a count of display requests and the drawables put on screen.
class FakeHost : public SurfaceHost {
public:
    image::Size size{16, 8};
    bool drawablesAvailable = true;
    int displayRequests = 0;
    std::vector<std::shared_ptr<SurfaceDrawable>> presented;
    std::vector<std::function<void()>> presentedHandlers;
    ImageSurface* surface = nullptr;

    image::Size drawableSize() const override { return size; }
    image::Size backingSize() const override { return size; }
    image::Size pointSize() const override { return {size.width / 2, size.height / 2}; }
    std::shared_ptr<SurfaceDrawable> nextDrawable(gpu::Device* device) override {
        return drawablesAvailable ? pool.acquire(device, int(size.width), int(size.height)) : nullptr;
    }
    // Runs as each drawable is put on screen (a test's clock may move on here).
    std::function<void()> onPresent;

    void present(std::shared_ptr<SurfaceDrawable> drawable, std::function<void()> handler) override {
        if (onPresent) onPresent();
        presented.push_back(std::move(drawable));
        if (handler) presentedHandlers.push_back(std::move(handler));
    }
    void setNeedsDisplay() override { ++displayRequests; }
    void drawNow() override {
        if (surface) surface->draw();
    }

    DrawablePool pool;
};

// A surface on a fake host and a manual run loop; the GPU handlers come back through the loop.
struct SurfaceRig {
    ManualRunLoop loop;
    FakeHost host;
    std::unique_ptr<ImageSurface> surface;

    explicit SurfaceRig(ImageSurface::Dependencies dependencies = {}) {
        dependencies.executor = &loop;
        surface = std::make_unique<ImageSurface>(host, std::move(dependencies));
        host.surface = surface.get();
    }
    // Draws and waits until nothing is in flight.
    void drawAndSettle() {
        surface->draw();
        settle();
    }
    void settle() {
        loop.runUntil([&] { return surface->rendersInFlight() == 0; }, 30);
    }
    const SurfaceDrawable& shown() const { return *host.presented.back(); }
};

} // namespace lumavane::test
