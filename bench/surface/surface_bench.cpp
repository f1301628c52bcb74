// Milliseconds per 1920x1080 frame, medians: libswscale NV12 -> BGRA with as many threads as the
// OpenCL device runs, the image layer's render of the same frame into a BGRA pixel buffer, both
// again for pictures of other sizes fitted into 1920x1080, the comparison view's picture, and
// the surface's whole draw (fit, render, read back, texture upload) with the effect passes off.
#include "Lumavane/Presentation/VideoAspectMode.hpp"
#include "Lumavane/Presentation/VideoSurfaceWidget.hpp"
#include "Lumavane/Session/PresentationFrames.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "Platform/Image/Context.hpp"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

using namespace lumavane;

namespace {

constexpr int W = 1920, H = 1080, runs = 60, warmUp = 5;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[(v.size() - 1) / 2];
}

double measure(const std::function<void()>& work) {
    for (int i = 0; i < warmUp; ++i) work();
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const double start = hostTimeSeconds();
        work();
        times.push_back((hostTimeSeconds() - start) * 1000);
    }
    return median(times);
}

// A picture-like frame, NV12 or BGRA: gradients, an edge and colour.
PixelBuffer frame(int width, int height, std::uint32_t format = LV_PIXEL_FORMAT_420V) {
    PixelBuffer buffer = PixelBuffer::create(width, height, format);
    auto* p = static_cast<std::uint8_t*>(buffer.baseAddress(0));
    if (format == LV_PIXEL_FORMAT_32BGRA) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                std::uint8_t* q = p + y * buffer.bytesPerRow(0) + 4 * x;
                q[0] = std::uint8_t(x * 255 / width), q[1] = std::uint8_t(y * 255 / height);
                q[2] = x > width / 2 ? 200 : 40, q[3] = 255;
            }
        return buffer;
    }
    auto* chroma = static_cast<std::uint8_t*>(buffer.baseAddress(1));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            p[y * buffer.bytesPerRow(0) + x] =
                std::uint8_t(16 + (x * 200 / width) + (x > width / 2 ? 19 : 0));
    for (int y = 0; y < height / 2; ++y)
        for (int x = 0; x < width / 2; ++x) {
            chroma[y * buffer.bytesPerRow(1) + 2 * x] = std::uint8_t(64 + y * 128 / (height / 2));
            chroma[y * buffer.bytesPerRow(1) + 2 * x + 1] = std::uint8_t(192 - x * 128 / (width / 2));
        }
    return buffer;
}

int deviceThreads() {
    if (const char* n = std::getenv("POCL_MAX_PTHREAD_COUNT")) return std::max(1, std::atoi(n));
    return int(std::thread::hardware_concurrency());
}

// libswscale's bilinear conversion of `source` (NV12 or BGRA) to BGRA at width x height.
double swscaleMilliseconds(const PixelBuffer& source, int width, int height, int threads) {
    const bool nv12 = source.pixelFormat() != LV_PIXEL_FORMAT_32BGRA;
    SwsContext* context = sws_alloc_context();
    av_opt_set_int(context, "srcw", int(source.width()), 0);
    av_opt_set_int(context, "srch", int(source.height()), 0);
    av_opt_set_int(context, "src_format", nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_BGRA, 0);
    av_opt_set_int(context, "dstw", width, 0);
    av_opt_set_int(context, "dsth", height, 0);
    av_opt_set_int(context, "dst_format", AV_PIX_FMT_BGRA, 0);
    av_opt_set_int(context, "sws_flags", SWS_BILINEAR, 0);
    av_opt_set_int(context, "threads", threads, 0);
    if (sws_init_context(context, nullptr, nullptr) < 0) return -1;
    AVFrame* in = av_frame_alloc();
    AVFrame* out = av_frame_alloc();
    in->format = nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_BGRA;
    in->width = int(source.width()), in->height = int(source.height());
    for (std::size_t p = 0; p < source.planeCount(); ++p) {
        in->data[p] = static_cast<std::uint8_t*>(source.baseAddress(p));
        in->linesize[p] = int(source.bytesPerRow(p));
    }
    out->format = AV_PIX_FMT_BGRA, out->width = width, out->height = height;
    av_frame_get_buffer(out, 64);
    const double ms = measure([&] { sws_scale_frame(context, out, in); });
    av_frame_free(&in);
    av_frame_free(&out);
    sws_freeContext(context);
    return ms;
}

} // namespace

int main(int argc, char** argv) {
    std::string load;
    std::getline(std::ifstream("/proc/loadavg"), load);
    const int threads = deviceThreads();
    const PixelBuffer source = frame(W, H);

    const double sws = swscaleMilliseconds(source, W, H, threads);

    // The image layer, as Context::render into a pixel buffer does it, also timed on the device's
    // profiling clock; and a render into an 8x8 texture, the fixed cost of one command buffer's
    // round trip.
    auto context = image::Context::make();
    auto device = context->device();
    auto queue = device->newCommandQueue();
    const PixelBuffer bgra = PixelBuffer::create(W, H, LV_PIXEL_FORMAT_32BGRA);
    auto target = device->newTextureOverPixelBuffer(bgra.get(), 0, gpu::PixelFormat::bgra8Unorm);
    const image::Image picture = image::Image::fromPixelBuffer(source);
    std::vector<double> kernel;
    auto renderOnce = [&](const image::Image& recipe, const std::shared_ptr<gpu::Texture>& into) {
        auto commandBuffer = queue->commandBuffer();
        context->render(recipe, into, commandBuffer, true);
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
        kernel.push_back((commandBuffer->GPUEndTime() - commandBuffer->GPUStartTime()) * 1000);
    };
    const double layer = measure([&] { renderOnce(picture, target); });
    const double layerKernel = median(std::vector<double>(kernel.begin() + warmUp, kernel.end()));
    const double viaPixelBuffer = measure([&] { context->render(picture, bgra, {0, 0, W, H}); });
    const auto tiny = image::Image::constantColor({0, 0, 0, 1}).cropped({0, 0, 8, 8});
    const auto small =
        device->newTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, 8, 8));
    const double roundTrip = measure([&] { renderOnce(tiny, small); });
    // Ten renders in one command buffer: the steady cost of one, without the round trip.
    const double batched = measure([&] {
        auto commandBuffer = queue->commandBuffer();
        for (int i = 0; i < 10; ++i) context->render(picture, target, commandBuffer, true);
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
    }) / 10;

    // Pictures fitted into a 1920x1080 target as the surface fits them (bilinear scaling), against
    // libswscale scaling and converting the same way: a 720p video, and a 2x enhanced 1080p frame.
    struct Fitted {
        const char* name;
        PixelBuffer buffer;
        double layer = 0, sws = 0;
    } fitted[] = {{"1280x720 NV12", frame(1280, 720)},
                  {"3840x2160 BGRA", frame(3840, 2160, LV_PIXEL_FORMAT_32BGRA)}};
    for (Fitted& f : fitted) {
        const image::Rect bounds{0, 0, W, H};
        const image::Image canvas =
            fittedImage(image::Image::fromPixelBuffer(f.buffer), bounds, VideoAspectMode::automatic,
                        std::nullopt)
                .image.composited(image::Image::constantColor({0, 0, 0, 1}).cropped(bounds));
        f.layer = measure([&] { renderOnce(canvas, target); });
        f.sws = swscaleMilliseconds(f.buffer, W, H, threads);
    }

    // The comparison view: a 640x360 picture beside its 4x enhancement, split in the middle.
    const image::Image compared =
        compareComposite(image::Image::fromPixelBuffer(frame(2560, 1440, LV_PIXEL_FORMAT_32BGRA)),
                         image::Image::fromPixelBuffer(frame(640, 360)), 0.5);
    const image::Rect bounds{0, 0, W, H};
    const double comparison = measure([&] {
        renderOnce(fittedImage(compared, bounds, VideoAspectMode::automatic, std::nullopt)
                       .image.composited(image::Image::constantColor({0, 0, 0, 1}).cropped(bounds)),
                   target);
    });

    QApplication app(argc, argv);
    VideoSurfaceWidget widget;
    widget.setFixedSize(W, H);
    widget.show();
    std::vector<double> draws, toScreen, uploads, gpu;
    widget.surface().reportTiming = [&](double ms) { gpu.push_back(ms); };
    for (int i = 0; i < warmUp + runs; ++i) {
        bool presented = false;
        const double start = hostTimeSeconds();
        widget.surface().present(picture, std::nullopt);
        widget.surface().afterNextPresentedFrame([&] { presented = true; });
        while (!presented) QApplication::processEvents(QEventLoop::AllEvents, 5);
        if (i >= warmUp) {
            draws.push_back((widget.lastUploadFinishedAt() - start) * 1000);
            toScreen.push_back((hostTimeSeconds() - start) * 1000);
            uploads.push_back(widget.lastUploadMilliseconds());
        }
    }
    const bool sized = widget.backingSize() == image::Size{W, H};

    std::printf("load average: %s\n", load.c_str());
    std::printf("1920x1080 NV12 -> BGRA, %d threads:\n", threads);
    std::printf("  libswscale (bilinear)            %7.2f ms\n", sws);
    std::printf("  image layer render               %7.2f ms  (%.2fx libswscale)\n", layer, layer / sws);
    std::printf("    of which on the device         %7.2f ms  (%.2fx libswscale)\n", layerKernel, layerKernel / sws);
    std::printf("    Context::render(pixel buffer)  %7.2f ms\n", viaPixelBuffer);
    std::printf("    one of ten in one buffer       %7.2f ms  (%.2fx libswscale)\n", batched, batched / sws);
    std::printf("  8x8 render (dispatch round trip) %7.2f ms\n", roundTrip);
    std::printf("fitted into %dx%d, image layer against libswscale (bilinear):\n", W, H);
    for (const Fitted& f : fitted)
        std::printf("  %-16s %7.2f ms  against %7.2f ms  (%.2fx)\n", f.name, f.layer, f.sws, f.layer / f.sws);
    std::printf("  comparison of 640x360 4:2:0 and its 4x BGRA  %7.2f ms\n", comparison);
    std::printf("whole draw into a %dx%d drawable, effects off:\n", W, H);
    std::printf("  fit, render, read back, upload   %7.2f ms%s\n", median(draws), sized ? "" : "  (drawable not full size!)");
    std::printf("    of which the render on device  %7.2f ms\n",
                median(std::vector<double>(gpu.end() - runs, gpu.end())));
    std::printf("    of which the texture upload    %7.2f ms\n", median(uploads));
    std::printf("  ... and on screen (blit, swap)   %7.2f ms\n", median(toScreen));
    return 0;
}
