#pragma once

#include "Platform/Image/CPUImage.hpp"
#include "Platform/Image/Image.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace lumavane::gpu {
class CommandBuffer;
class CommandQueue;
class ComputeCommandEncoder;
class ComputePipelineState;
class Device;
class Texture;
struct CompileOptions;
} // namespace lumavane::gpu

namespace lumavane::image {

namespace detail {
struct Node;
struct Program;
struct Target;
} // namespace detail

// Renders image recipes on a GPU device. Thread-safe; keeps no intermediates
// between renders (every render evaluates the whole recipe per pixel).
class Context {
public:
    // On `device`, or the system default device when none is given. Throws
    // PlatformError when there is no device or the render kernel cannot be built.
    static std::shared_ptr<Context> make(std::shared_ptr<gpu::Device> device = nullptr);

    const std::shared_ptr<gpu::Device>& device() const { return device_; }

    // Renders into a 32-bit BGRA pixel buffer, which covers (0, 0, width, height)
    // of image space with its first memory row at the top. Only pixels whose
    // centres lie inside `bounds` are written. Returns when the GPU is done;
    // throws PlatformError for another pixel format or a GPU failure.
    void render(const Image& image, const PixelBuffer& buffer, const Rect& bounds) const;

    // Encodes a render into `commandBuffer` (not committed) that fills a
    // bgra8Unorm or rgba8Unorm texture with (0, 0, width, height) of the image.
    // Not flipped: texture row 0 is y = 0, the bottom, as Core Image writes
    // Metal textures; flipped: row 0 is the top, so the picture stands upright
    // in memory like a pixel buffer. Throws PlatformError for another format.
    void render(const Image& image, const std::shared_ptr<gpu::Texture>& texture,
                const std::shared_ptr<gpu::CommandBuffer>& commandBuffer, bool flipped) const;

    // A bitmap of `rect` made whole (Rect::integral), top row first; none when
    // the rectangle is empty or infinite, or the GPU fails.
    std::optional<CPUImage> createCPUImage(const Image& image, const Rect& rect) const;

    // Whether prepare() has readied the kernel of a render of `image` into a texture, so that
    // the render waits for no compiler. Throws PlatformError for a recipe no render takes.
    bool isPrepared(const Image& image) const;
    // Builds the kernel a render of `image` into a texture needs (a compile, up to a second on
    // a CPU device with a cold cache) and launches it once, blocking the calling thread; any
    // thread. Throws PlatformError when the recipe or its kernel cannot be built.
    void prepare(const Image& image) const;

    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

private:
    Context(std::shared_ptr<gpu::Device> device, std::shared_ptr<gpu::CommandQueue> queue,
            std::string helpers);
    // The compiled kernel of a program's shape, built on first use; with `build` false, none
    // when it has not been built yet.
    std::shared_ptr<gpu::ComputePipelineState> pipelineFor(const detail::Program& program,
                                                           bool originWhole, bool build = true) const;
    std::shared_ptr<gpu::ComputePipelineState> rowsPipelineFor(const detail::Program& program,
                                                               bool build = true) const;
    std::shared_ptr<gpu::ComputePipelineState> runsPipelineFor(int format, bool build = true) const;
    // The kernel a render of `root` at `origin` runs: the runs of a plain source, else the rows
    // or the general kernel of its program.
    std::shared_ptr<gpu::ComputePipelineState> renderPipeline(const detail::Node& root, Point origin,
                                                              bool build) const;
    std::shared_ptr<gpu::ComputePipelineState> cachedPipeline(const std::string& key,
                                                              const std::string& source,
                                                              const gpu::CompileOptions& options,
                                                              const char* function,
                                                              bool build = true) const;
    static gpu::CompileOptions runOptions();
    static void dispatchRuns(gpu::ComputeCommandEncoder& encoder, const detail::Target& target,
                             const gpu::ComputePipelineState& pipeline);
    void encode(const Image& image, const std::shared_ptr<gpu::Texture>& destination, bool topDown,
                Point origin, const Rect& bounds, gpu::CommandBuffer& commandBuffer) const;
    void encodeRuns(const detail::Node& source, const void* runParams,
                    const std::shared_ptr<gpu::Texture>& destination, bool topDown, Point origin,
                    const Rect& bounds, gpu::CommandBuffer& commandBuffer) const;
    void runAndWait(const Image& image, const std::shared_ptr<gpu::Texture>& destination, bool topDown,
                    Point origin, const Rect& bounds) const;

    std::shared_ptr<gpu::Device> device_;
    std::shared_ptr<gpu::CommandQueue> queue_;
    std::string helpers_;
    std::string runsSource_;
    mutable std::mutex pipelinesMutex_;
    mutable std::map<std::string, std::shared_ptr<gpu::ComputePipelineState>> pipelines_;
    // Pipelines prepare() launched once: a CPU device has compiled them for their launch too.
    mutable std::set<const gpu::ComputePipelineState*> prepared_;
};

} // namespace lumavane::image
