#pragma once

#include "Platform/Foundation/PlatformError.hpp"
#include "Platform/Video/PixelBuffer.h"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace lumavane {

// Owns one reference to an lv_pixel_buffer: copying retains, destruction releases.
class PixelBuffer {
public:
    struct Adopt {
        explicit Adopt() = default;
    };
    struct Retain {
        explicit Retain() = default;
    };
    static constexpr Adopt adopt{};   // take over the caller's reference
    static constexpr Retain retain{}; // add a reference of our own

    inline static const char* const errorDomain = "Lumavane.PixelBuffer";

    PixelBuffer() noexcept = default;
    PixelBuffer(lv_pixel_buffer* buffer, Adopt) noexcept : buffer_(buffer) {}
    PixelBuffer(lv_pixel_buffer* buffer, Retain) noexcept : buffer_(lv_pixel_buffer_retain(buffer)) {}
    PixelBuffer(const PixelBuffer& other) noexcept : buffer_(lv_pixel_buffer_retain(other.buffer_)) {}
    PixelBuffer(PixelBuffer&& other) noexcept : buffer_(std::exchange(other.buffer_, nullptr)) {}
    PixelBuffer& operator=(const PixelBuffer& other) noexcept {
        PixelBuffer(other).swap(*this);
        return *this;
    }
    PixelBuffer& operator=(PixelBuffer&& other) noexcept {
        PixelBuffer(std::move(other)).swap(*this);
        return *this;
    }
    ~PixelBuffer() { lv_pixel_buffer_release(buffer_); }

    // Throws PlatformError("Lumavane.PixelBuffer", status) when the buffer cannot be made.
    static PixelBuffer create(std::size_t width, std::size_t height, std::uint32_t pixelFormat) {
        lv_pixel_buffer* buffer = nullptr;
        const int status = lv_pixel_buffer_create(width, height, pixelFormat, &buffer);
        if (status != LV_PIXEL_BUFFER_SUCCESS) throw PlatformError(errorDomain, status);
        return PixelBuffer(buffer, adopt);
    }

    lv_pixel_buffer* get() const noexcept { return buffer_; }
    // Gives up ownership: the caller now holds the reference.
    lv_pixel_buffer* detach() noexcept { return std::exchange(buffer_, nullptr); }
    void reset() noexcept { PixelBuffer().swap(*this); }
    void swap(PixelBuffer& other) noexcept { std::swap(buffer_, other.buffer_); }
    explicit operator bool() const noexcept { return buffer_ != nullptr; }
    friend bool operator==(const PixelBuffer& a, const PixelBuffer& b) noexcept {
        return a.buffer_ == b.buffer_;
    }

    std::size_t width() const noexcept { return lv_pixel_buffer_get_width(buffer_); }
    std::size_t height() const noexcept { return lv_pixel_buffer_get_height(buffer_); }
    std::uint32_t pixelFormat() const noexcept { return lv_pixel_buffer_get_pixel_format(buffer_); }
    std::size_t planeCount() const noexcept { return lv_pixel_buffer_get_plane_count(buffer_); }
    void* baseAddress(std::size_t plane = 0) const noexcept {
        return lv_pixel_buffer_get_base_address_of_plane(buffer_, plane);
    }
    std::size_t bytesPerRow(std::size_t plane = 0) const noexcept {
        return lv_pixel_buffer_get_bytes_per_row_of_plane(buffer_, plane);
    }
    std::size_t planeWidth(std::size_t plane) const noexcept {
        return lv_pixel_buffer_get_width_of_plane(buffer_, plane);
    }
    std::size_t planeHeight(std::size_t plane) const noexcept {
        return lv_pixel_buffer_get_height_of_plane(buffer_, plane);
    }
    std::size_t dataSize() const noexcept { return lv_pixel_buffer_get_data_size(buffer_); }

    lv_color_attachments color() const noexcept {
        lv_color_attachments attachments{};
        lv_pixel_buffer_get_color(buffer_, &attachments);
        return attachments;
    }
    void setColor(const lv_color_attachments& attachments) const noexcept {
        lv_pixel_buffer_set_color(buffer_, &attachments);
    }

private:
    lv_pixel_buffer* buffer_ = nullptr;
};

// Owns one reference to an lv_pixel_buffer_pool, the same way.
class PixelBufferPool {
public:
    PixelBufferPool() noexcept = default;
    PixelBufferPool(lv_pixel_buffer_pool* pool, PixelBuffer::Adopt) noexcept : pool_(pool) {}
    PixelBufferPool(lv_pixel_buffer_pool* pool, PixelBuffer::Retain) noexcept
        : pool_(lv_pixel_buffer_pool_retain(pool)) {}
    PixelBufferPool(const PixelBufferPool& other) noexcept
        : pool_(lv_pixel_buffer_pool_retain(other.pool_)) {}
    PixelBufferPool(PixelBufferPool&& other) noexcept : pool_(std::exchange(other.pool_, nullptr)) {}
    PixelBufferPool& operator=(const PixelBufferPool& other) noexcept {
        PixelBufferPool(other).swap(*this);
        return *this;
    }
    PixelBufferPool& operator=(PixelBufferPool&& other) noexcept {
        PixelBufferPool(std::move(other)).swap(*this);
        return *this;
    }
    ~PixelBufferPool() { lv_pixel_buffer_pool_release(pool_); }

    // Throws PlatformError("Lumavane.PixelBuffer", status) when the pool cannot be made.
    static PixelBufferPool create(std::size_t width, std::size_t height, std::uint32_t pixelFormat) {
        lv_pixel_buffer_pool* pool = nullptr;
        const int status = lv_pixel_buffer_pool_create(width, height, pixelFormat, &pool);
        if (status != LV_PIXEL_BUFFER_SUCCESS) throw PlatformError(PixelBuffer::errorDomain, status);
        return PixelBufferPool(pool, PixelBuffer::adopt);
    }

    // A buffer from the pool; threshold 0 means none. Throws PlatformError("Lumavane.PixelBuffer",
    // status), LV_PIXEL_BUFFER_WOULD_EXCEED_ALLOCATION_THRESHOLD when `threshold` buffers are held.
    PixelBuffer createBuffer(std::size_t threshold = 0) const {
        int status = LV_PIXEL_BUFFER_SUCCESS;
        PixelBuffer buffer = tryCreateBuffer(threshold, &status);
        if (!buffer) throw PlatformError(PixelBuffer::errorDomain, status);
        return buffer;
    }
    // The same without throwing: an empty PixelBuffer on failure, with the status in `*status`.
    PixelBuffer tryCreateBuffer(std::size_t threshold, int* status = nullptr) const noexcept {
        lv_pixel_buffer* buffer = nullptr;
        const int result = lv_pixel_buffer_pool_create_buffer(pool_, threshold, &buffer);
        if (status) *status = result;
        return PixelBuffer(buffer, PixelBuffer::adopt);
    }

    lv_pixel_buffer_pool* get() const noexcept { return pool_; }
    void swap(PixelBufferPool& other) noexcept { std::swap(pool_, other.pool_); }
    void reset() noexcept { PixelBufferPool().swap(*this); }
    explicit operator bool() const noexcept { return pool_ != nullptr; }

    std::size_t width() const noexcept { return lv_pixel_buffer_pool_get_width(pool_); }
    std::size_t height() const noexcept { return lv_pixel_buffer_pool_get_height(pool_); }
    std::uint32_t pixelFormat() const noexcept { return lv_pixel_buffer_pool_get_pixel_format(pool_); }
    std::size_t outstandingCount() const noexcept { return lv_pixel_buffer_pool_outstanding_count(pool_); }
    void flush() const noexcept { lv_pixel_buffer_pool_flush(pool_); }

private:
    lv_pixel_buffer_pool* pool_ = nullptr;
};

} // namespace lumavane
