#pragma once

#include "Platform/Image/Geometry.hpp"
#include "Platform/Video/PixelBuffer.hpp"

#include <cstddef>
#include <cstdint>

namespace lumavane {

// One 32-bit BGRA pixel buffer that the model runtime, the image layer and the
// GPU all use without copies (the Enhancer's buffer(width:height:)). Throws
// EnhancementError "画像用メモリを確保できませんでした（status）。".
PixelBuffer enhancerBuffer(int width, int height);

// A 32-bit BGRA pool of width x height frames; an empty pool when none can be made
// (a size that is not positive included).
PixelBufferPool enhancerOutputPool(std::int64_t width, std::int64_t height);

// Output frames from one BGRA pool that is rebuilt only when the frame size
// changes (the Enhancer's outputPool / outputPoolSize / pooledOutput). A frame
// still held by a caller is never handed out again; released frames are reused.
// With an allocation threshold, at most that many frames are out at a time.
// Not safe against concurrent calls.
class EnhancerOutputPool {
public:
    explicit EnhancerOutputPool(std::size_t allocationThreshold = 0)
        : allocationThreshold_(allocationThreshold) {}

    // Throws EnhancementError "出力バッファプールを作成できません。" (old pool and
    // size kept) or "出力バッファを取得できません。" (pool kept).
    PixelBuffer pooledOutput(int width, int height);

    const PixelBufferPool& outputPool() const { return outputPool_; }
    image::Size outputPoolSize() const { return outputPoolSize_; }

private:
    std::size_t allocationThreshold_;
    PixelBufferPool outputPool_;
    image::Size outputPoolSize_{0, 0};
};

} // namespace lumavane
