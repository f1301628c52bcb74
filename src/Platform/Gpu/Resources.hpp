#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "Platform/Gpu/Types.hpp"

struct _cl_mem;
struct lv_pixel_buffer;

namespace lumavane::gpu {

class Device;
struct DeviceContext;

// Memory of a buffer, shared by every view of it. Freed when the last buffer or texture over it
// goes (work in flight holds its objects, so it outlives the GPU's use).
struct Allocation;

// A linear buffer whose contents the CPU reads and writes directly. CPU writes are seen by work
// committed afterwards; GPU writes are seen once the work that made them has completed.
class Buffer {
public:
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    void* contents() const noexcept;
    size_t length() const noexcept { return length_; }
    const std::string& label() const noexcept { return label_; }
    void setLabel(std::string label) { label_ = std::move(label); }

    // A 2-D texture over this buffer's memory (a linear texture): no copy. The offset and
    // bytesPerRow must be multiples of the device's minimumLinearTextureAlignment; nullptr when
    // they are not or the rows do not fit in the buffer.
    std::shared_ptr<class Texture> newTexture(const struct TextureDescriptor& descriptor, size_t offset,
                                              size_t bytesPerRow);

    // Internal.
    _cl_mem* clMem() const noexcept;
    const std::shared_ptr<Allocation>& allocation() const noexcept { return allocation_; }
    Buffer(std::shared_ptr<Allocation> allocation, size_t length, std::weak_ptr<Device> device);

private:
    std::shared_ptr<Allocation> allocation_;
    size_t length_;
    std::weak_ptr<Device> device_;
    std::string label_;
};

struct TextureDescriptor {
    TextureType textureType = TextureType::type2D;
    PixelFormat pixelFormat = PixelFormat::bgra8Unorm;
    size_t width = 1;
    size_t height = 1;
    size_t arrayLength = 1;
    size_t mipmapLevelCount = 1; // only 1 is supported
    StorageMode storageMode = StorageMode::shared;
    uint32_t usage = textureUsageShaderRead;

    static TextureDescriptor texture2D(PixelFormat format, size_t width, size_t height);
};

// Where a texture's pixels lie in its buffer: byte address of (x, y, slice) is
// offset + y * rowPitch + x * pixelPitch + slice * slicePitch. Arrays keep the slices of one
// pixel together (slicePitch = bytes per pixel), so a kernel reads all channels of a feature
// pixel from one place.
struct TextureLayout {
    size_t offset = 0;
    size_t rowPitch = 0;
    size_t pixelPitch = 0;
    size_t slicePitch = 0;
};

// A 2-D texture or 2-D texture array: a pitch-linear buffer plus a layout, handed to kernels as
// the buffer and an lv_texture_desc (see Gpu.hpp for the binding convention).
class Texture {
public:
    ~Texture();
    Texture(const Texture&) = delete;
    Texture& operator=(const Texture&) = delete;

    TextureType textureType() const noexcept { return descriptor_.textureType; }
    PixelFormat pixelFormat() const noexcept { return descriptor_.pixelFormat; }
    size_t width() const noexcept { return descriptor_.width; }
    size_t height() const noexcept { return descriptor_.height; }
    size_t arrayLength() const noexcept { return descriptor_.arrayLength; }
    uint32_t usage() const noexcept { return descriptor_.usage; }
    StorageMode storageMode() const noexcept { return descriptor_.storageMode; }
    // Bytes of memory this texture owns (0 for a view over a buffer or a pixel buffer).
    size_t allocatedSize() const noexcept { return allocatedSize_; }
    const std::string& label() const noexcept { return label_; }
    void setLabel(std::string label) { label_ = std::move(label); }
    // A process-unique number; two textures are the same texture when their identities match.
    uint64_t identity() const noexcept { return identity_; }

    const TextureLayout& layout() const noexcept { return layout_; }
    // The buffer the pixels live in (its own, the one it views, or one over a pixel buffer).
    const std::shared_ptr<Buffer>& buffer() const noexcept { return buffer_; }
    // The pixel buffer this texture views, retained for the texture's life; nullptr otherwise.
    lv_pixel_buffer* pixelBuffer() const noexcept { return pixelBuffer_; }

    // CPU copies of one slice's region, rows of bytesPerRow bytes. Only while no GPU work uses
    // the texture. The region must lie inside the texture.
    void replaceRegion(const Region& region, size_t slice, const void* bytes, size_t bytesPerRow);
    void getBytes(void* bytes, size_t bytesPerRow, const Region& region, size_t slice) const;

    // Internal.
    Texture(const TextureDescriptor& descriptor, std::shared_ptr<Buffer> buffer, TextureLayout layout,
            size_t allocatedSize, lv_pixel_buffer* retainedPixelBuffer);

private:
    TextureDescriptor descriptor_;
    std::shared_ptr<Buffer> buffer_;
    TextureLayout layout_;
    size_t allocatedSize_;
    lv_pixel_buffer* pixelBuffer_;
    uint64_t identity_;
    std::string label_;
};

} // namespace lumavane::gpu
