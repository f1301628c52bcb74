#include "EnhancementCore/EnhancerBuffers.hpp"

#include "EnhancementCore/EnhancementError.hpp"

namespace lumavane {

PixelBuffer enhancerBuffer(int width, int height) {
    // A negative size must not wrap into a huge unsigned one.
    if (width <= 0 || height <= 0)
        throw EnhancementError::invalid(EnhancementMessage::imageMemory, {LV_PIXEL_BUFFER_INVALID_ARGUMENT});
    lv_pixel_buffer* buffer = nullptr;
    const int status =
        lv_pixel_buffer_create(std::size_t(width), std::size_t(height), LV_PIXEL_FORMAT_32BGRA, &buffer);
    if (status != LV_PIXEL_BUFFER_SUCCESS || !buffer) {
        lv_pixel_buffer_release(buffer);
        throw EnhancementError::invalid(EnhancementMessage::imageMemory, {status});
    }
    return PixelBuffer(buffer, PixelBuffer::adopt);
}

PixelBufferPool enhancerOutputPool(std::int64_t width, std::int64_t height) {
    lv_pixel_buffer_pool* pool = nullptr;
    const int status = width > 0 && height > 0
                           ? lv_pixel_buffer_pool_create(std::size_t(width), std::size_t(height),
                                                         LV_PIXEL_FORMAT_32BGRA, &pool)
                           : LV_PIXEL_BUFFER_INVALID_ARGUMENT;
    if (status != LV_PIXEL_BUFFER_SUCCESS || !pool) {
        lv_pixel_buffer_pool_release(pool);
        return {};
    }
    return PixelBufferPool(pool, PixelBuffer::adopt);
}

PixelBuffer EnhancerOutputPool::pooledOutput(int width, int height) {
    if (!outputPool_ || outputPoolSize_ != image::Size{double(width), double(height)}) {
        PixelBufferPool pool = enhancerOutputPool(width, height);
        if (!pool) throw EnhancementError::invalid(EnhancementMessage::outputBufferPool);
        outputPool_ = std::move(pool);
        outputPoolSize_ = {double(width), double(height)};
    }
    PixelBuffer buffer = outputPool_.tryCreateBuffer(allocationThreshold_);
    if (!buffer) throw EnhancementError::invalid(EnhancementMessage::outputBuffer);
    return buffer;
}

} // namespace lumavane
