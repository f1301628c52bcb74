#pragma once

#include "Lumavane/Presentation/SurfaceDrawable.hpp"
#include "Lumavane/Presentation/VideoAspectMode.hpp"
#include "Platform/Foundation/MainExecutor.hpp"
#include "Platform/Foundation/SerialQueue.hpp"
#include "Platform/Image/CPUImage.hpp"
#include "Platform/Image/Context.hpp"
#include "VideoPresentation/PostProcessSettings.hpp"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumavane {

class PlaybackTimingTrace;

// What the window half gives the surface: its sizes, its drawables and the screen.
class SurfaceHost {
public:
    virtual ~SurfaceHost() = default;
    // Pixel size of the drawables (the view's backing size unless a transition holds it).
    virtual image::Size drawableSize() const = 0;
    // The view's bounds in backing pixels, and in points.
    virtual image::Size backingSize() const = 0;
    virtual image::Size pointSize() const = 0;
    // A free drawable of drawableSize(); nullptr when none is free.
    virtual std::shared_ptr<SurfaceDrawable> nextDrawable(gpu::Device* device) = 0;
    // Puts a finished drawable on screen; `presented` (may be empty) runs on the main thread
    // once it is there.
    virtual void present(std::shared_ptr<SurfaceDrawable> drawable, std::function<void()> presented) = 0;
    // Asks for a draw callback soon; repeated requests collapse into one.
    virtual void setNeedsDisplay() = 0;
    // Draws now (the synchronous draw).
    virtual void drawNow() = 0;
    // Resizes the drawables to the view's backing size.
    virtual void resetDrawableSize() {}
};

// The cleanup and effect passes as the surface uses them, so tests can watch their order.
class PresentationPasses {
public:
    virtual ~PresentationPasses() = default;
    virtual bool hasCleanup() const = 0;
    virtual bool hasEffects() const = 0;
    virtual std::shared_ptr<gpu::Texture> cleanupSource(int width, int height) = 0;
    virtual std::shared_ptr<gpu::Texture> cleanupGuide(int width, int height) = 0;
    virtual std::shared_ptr<gpu::Texture> effectsIntermediate(int width, int height) = 0;
    virtual void encodeCleanup(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                               const std::shared_ptr<gpu::Texture>& guide, const std::shared_ptr<gpu::Texture>& source,
                               const std::shared_ptr<gpu::Texture>& destination, const image::Rect& contentRect,
                               float start, float end, float strength) = 0;
    virtual void encodeEffects(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                               const std::shared_ptr<gpu::Texture>& source,
                               const std::shared_ptr<gpu::Texture>& destination,
                               const PostProcessConfiguration& configuration, const image::Rect& contentRect,
                               bool sourceIsDisplayOriented) = 0;
};

// The renderers of the device, each absent when it failed to build (its pass is then skipped).
std::unique_ptr<PresentationPasses> makeDevicePasses(const std::shared_ptr<gpu::Device>& device);

struct PresentationEncoding {
    std::vector<std::shared_ptr<gpu::Texture>> textures; // kept alive until the GPU is done
    bool displayOriented = false;                        // a compute pass wrote the destination last
};

// The player's picture on screen, drawn on demand: every change of what is shown bumps
// `revision` and asks for a draw; a draw renders only a revision not rendered yet, with at
// most two command buffers in flight. Main thread only, except where a handler says so.
class ImageSurface {
public:
    struct Dependencies {
        MainExecutor* executor = nullptr;
        // Empty: the system default device.
        std::function<std::shared_ptr<gpu::Device>()> device;
        // Empty: the device's renderers.
        std::function<std::unique_ptr<PresentationPasses>(const std::shared_ptr<gpu::Device>&)> passes;
        PlaybackTimingTrace* trace = nullptr; // empty: the process's trace
        std::function<double()> clock;        // media clock; empty: host time
        // Off: the GPU programs are built where they are first needed (construction and draws
        // wait for the compiler). On: they are built on a queue of the surface's own, and until
        // the ones a draw needs are ready it draws on the CPU, without the passes; nothing waits
        // for a compile but a frame capture.
        bool buildProgramsInBackground = false;
    };

    ImageSurface(SurfaceHost& host, Dependencies dependencies);
    ~ImageSurface();
    ImageSurface(const ImageSurface&) = delete;
    ImageSurface& operator=(const ImageSurface&) = delete;

    // Callbacks installed by the binder.
    std::function<void()> togglePlayback;
    std::function<void()> reactivatePresentation;
    std::function<void(double)> advanceFrame;
    std::function<void(double)> reportTiming;
    std::function<void(image::Size)> reportContentPixelSize;
    std::function<std::optional<image::CPUImage>(image::Size, double)> captureOverlay;
    std::function<std::optional<image::Size>()> originalSize;
    // Without a device or queue the surface still draws, on the CPU and without the passes;
    // this hears why, once.
    std::function<void(const std::string&)> reportUnavailable;

    void present(std::optional<image::Image> picture, std::optional<image::Image> cleanupGuide);
    void configure(const PostProcessConfiguration& configuration);
    void configureAspectMode(VideoAspectMode mode);
    void configureSourceAspectRatio(double ratio);
    void afterNextPresentedFrame(std::function<void()> completion);
    void cancelPresentationCompletion() { presentationCompletion_ = nullptr; }
    void mirrorPresentation(ImageSurface& target);
    void finishMirroring();
    // The host's drawable size changed.
    void drawableSizeWillChange(image::Size size);
    // The draw callback.
    void draw();
    // The display link fired: clocks the session and retries a draw that found no drawable.
    void displayLinkFired(double targetTimestamp);
    // A new link: the next draw renders whatever the revision, and the session's hooks return.
    void linkRestarted();
    void setMirroringLinkHandler(std::function<void()> restart) { restartLink_ = std::move(restart); }

    FittedImage fittedImage(const image::Image& picture, const image::Rect& target) const;
    PresentationEncoding encodePresentation(const image::Image& canvas, const std::optional<image::Image>& guide,
                                            const std::shared_ptr<gpu::Texture>& destination,
                                            const std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                                            const image::Rect& bounds, const image::Rect& contentRect);
    void reportDisplayedContentSize(std::optional<image::Size> size);

    // Frame capture (see FrameCapture.hpp for saving).
    struct CaptureRequest {
        std::optional<std::string> sizeMode;
        std::function<void(image::CPUImage)> completion;
    };
    // The rendered picture, first row at the top, and the overlay; runs on the main thread.
    using CaptureHandler = std::function<void(image::CPUImage picture, std::optional<image::CPUImage> overlay,
                                              std::function<void(image::CPUImage)> completion)>;
    void captureFrame(CaptureRequest request, const std::string& storedSizeMode, CaptureHandler handler,
                      std::function<void(const std::string&)> showError);
    // The capture size for a mode; none without a picture. Clamped to the device's limit.
    std::optional<image::Size> captureSize(const std::string& mode) const;

    // State, for the binder and tests.
    std::uint64_t revision() const { return revision_; }
    std::optional<std::uint64_t> lastSubmittedRevision() const { return lastSubmittedRevision_; }
    int rendersInFlight() const { return int(rendersInFlight_.size()); }
    int presentedFrameCount() const { return presentedFrameCount_; }
    bool isMirroring() const { return transitionSurface_.lock() != nullptr; }
    bool hasEffectPasses() const { return passes_ != nullptr; }
    const std::optional<image::Image>& image() const { return image_; }
    const PostProcessConfiguration& postProcessConfiguration() const { return configuration_; }
    VideoAspectMode aspectMode() const { return aspectMode_; }
    std::optional<double> sourceAspectRatio() const { return sourceAspectRatio_; }
    const std::shared_ptr<gpu::Device>& device() const { return device_; }
    // How long the oldest of two renders in flight may take before draws go to the CPU.
    static constexpr double heldUpRenderSeconds = 0.5;
    // Largest width or height of a texture; captures are clamped to it.
    static constexpr double maximumTextureDimension = 16384;

private:
    struct ProgramBuild;
    void bump();
    ImageSurface* transition() const;
    void drawOnCPU(const std::shared_ptr<SurfaceDrawable>& drawable, const image::Image& canvas);
    image::Image canvasFor(const image::Rect& bounds, image::Rect& contentRect) const;
    // The pictures encodePresentation renders through the image context for this canvas and guide.
    std::vector<image::Image> renderedPictures(const image::Image& canvas, const std::optional<image::Image>& guide) const;
    bool cleanupApplies(const std::optional<image::Image>& guide) const;
    // Background builds: takes the built context and passes when they are done (`wait`: waits
    // for them); true when the GPU programs a draw of these pictures needs are ready, else
    // asks the queue to build the missing ones.
    void installPrograms(bool wait);
    void drawWithoutGPU(const std::string& reason);
    bool programsReady(const std::vector<image::Image>& pictures);

    SurfaceHost& host_;
    MainExecutor& executor_;
    PlaybackTimingTrace& trace_;
    std::function<double()> clock_;
    std::shared_ptr<gpu::Device> device_;
    std::shared_ptr<gpu::CommandQueue> commandQueue_;
    std::shared_ptr<image::Context> context_;
    std::unique_ptr<PresentationPasses> passes_;
    // Set while the context and passes are built in the background.
    std::shared_ptr<ProgramBuild> programs_;
    std::unique_ptr<SerialQueue> programQueue_;
    bool preparingKernels_ = false;
    bool kernelPreparationFailed_ = false;
    std::optional<std::string> unavailableReason_;
    bool unavailableReported_ = false;

    struct RenderInFlight {
        std::uint64_t sequence = 0;
        double committedAt = 0;
    };
    std::deque<RenderInFlight> rendersInFlight_; // oldest first
    // Every draw is numbered; a render finishing after a later draw was presented is not shown.
    std::uint64_t drawSequence_ = 0;
    std::uint64_t presentedSequence_ = 0;
    // When another picture may be drawn on the CPU in place of held-up renders: after twice as long
    // as the last one took.
    double nextStandInAt_ = 0;
    std::uint64_t revision_ = 0;
    std::optional<std::uint64_t> lastSubmittedRevision_;
    bool retryOnTick_ = false;
    std::optional<image::Image> image_;
    std::optional<image::Image> cleanupGuide_;
    std::weak_ptr<ImageSurface*> transitionSurface_; // weak: the transition owns its surface
    int presentedFrameCount_ = 0;
    std::function<void()> presentationCompletion_;
    std::function<void()> restartLink_;
    VideoAspectMode aspectMode_ = VideoAspectMode::automatic;
    std::optional<double> sourceAspectRatio_;
    PostProcessConfiguration configuration_ = PostProcessConfiguration::neutral();
    // GPU completion handlers not yet finished; the destructor waits for them.
    std::shared_ptr<std::atomic<int>> handlersPending_ = std::make_shared<std::atomic<int>>(0);
    // Handlers on other threads hold this weakly and do nothing once the surface is gone.
    std::shared_ptr<ImageSurface*> alive_ = std::make_shared<ImageSurface*>(this);

public:
    std::weak_ptr<ImageSurface*> weakSelf() const { return alive_; }
};

} // namespace lumavane
