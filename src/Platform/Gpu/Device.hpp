#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "Platform/Gpu/Commands.hpp"
#include "Platform/Gpu/Library.hpp"
#include "Platform/Gpu/Resources.hpp"
#include "Platform/Gpu/Types.hpp"

struct lv_pixel_buffer;

namespace lumavane::gpu {

struct DeviceContext;

class Device : public std::enable_shared_from_this<Device> {
public:
    // The system default device: an OpenCL GPU when there is one, else the CPU device; nullptr
    // when OpenCL offers no device. Always the same object.
    static std::shared_ptr<Device> systemDefault();
    // A device over the same OpenCL device as systemDefault() that answers with `profile`.
    static std::shared_ptr<Device> withProfile(DeviceProfile profile);

    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const std::string& name() const noexcept;
    const DeviceProfile& profile() const noexcept { return profile_; }
    bool supportsFamily(GPUFamily family) const noexcept;
    bool isCPU() const noexcept;
    size_t maxThreadgroupMemoryLength() const noexcept;
    size_t maxThreadsPerThreadgroup() const noexcept;
    // Bytes of buffers and textures this device has allocated and that are still alive.
    size_t currentAllocatedSize() const noexcept { return allocated_->load(); }
    size_t minimumLinearTextureAlignment(PixelFormat format) const noexcept;

    std::shared_ptr<CommandQueue> newCommandQueue();
    // nullptr when the memory cannot be had.
    std::shared_ptr<Buffer> newBuffer(size_t length);
    std::shared_ptr<Buffer> newBuffer(const void* bytes, size_t length);
    // nullptr for an unsupported descriptor or when the memory cannot be had.
    std::shared_ptr<Texture> newTexture(const TextureDescriptor& descriptor);
    // A texture over plane `plane` of a pixel buffer, without copying: BGRA buffers as
    // bgra8Unorm; bi-planar planes as r8Unorm/rg8Unorm (8-bit) or r16Unorm/rg16Unorm (10-bit).
    // The texture retains the pixel buffer. nullptr when the format does not fit the plane.
    std::shared_ptr<Texture> newTextureOverPixelBuffer(lv_pixel_buffer* pixelBuffer, size_t plane,
                                                       PixelFormat format);

    // Compiles OpenCL C source (the Gpu kernel header is included first). Throws PlatformError
    // (domain "Lumavane.Gpu", code 3) carrying the compiler's build log when compilation fails.
    std::shared_ptr<Library> newLibrary(const std::string& source, const CompileOptions& options = {});
    // Throws PlatformError (code 4) when the kernel cannot be made or does not follow the
    // binding convention.
    std::shared_ptr<ComputePipelineState> newComputePipelineState(const std::shared_ptr<Function>& function);

    // Internal.
    Device(std::shared_ptr<DeviceContext> context, DeviceProfile profile);
    const std::shared_ptr<DeviceContext>& context() const noexcept { return context_; }
    const std::shared_ptr<std::atomic<size_t>>& allocationCounter() const noexcept { return allocated_; }

private:
    std::shared_ptr<DeviceContext> context_;
    DeviceProfile profile_;
    std::string name_;
    std::shared_ptr<std::atomic<size_t>> allocated_ = std::make_shared<std::atomic<size_t>>(0);
};

// Error codes of the domain "Lumavane.Gpu".
inline constexpr const char* errorDomain = "Lumavane.Gpu";
enum ErrorCode {
    errorUnavailable = 1,
    errorOutOfMemory = 2,
    errorCompileFailure = 3,
    errorPipeline = 4,
    errorEncoding = 5,
    errorExecution = 6
};

} // namespace lumavane::gpu
