#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

namespace lumavane::gpu {

struct Size {
    size_t width = 1, height = 1, depth = 1;
};

struct Origin {
    size_t x = 0, y = 0, z = 0;
};

struct Region {
    Origin origin;
    Size size;
};

// Texture formats. Feature images use rgba16Float slices (four channels each).
enum class PixelFormat : uint32_t {
    invalid = 0,
    r8Unorm,
    rg8Unorm,
    rgba8Unorm,
    bgra8Unorm,
    r16Unorm,
    rg16Unorm,
    r16Float,
    rgba16Float,
    r32Float,
    rgba32Float,
};

// Bytes of one pixel of one slice; 0 for invalid.
size_t bytesPerPixel(PixelFormat format);
const char* pixelFormatName(PixelFormat format);

enum class TextureType { type2D, type2DArray };

enum class StorageMode { shared, managed, privateStorage };

enum TextureUsage : uint32_t {
    textureUsageUnknown = 0,
    textureUsageShaderRead = 1,
    textureUsageShaderWrite = 2,
    textureUsageRenderTarget = 4,
};

// The GPU families the engines ask about.
enum class GPUFamily {
    apple1,
    apple2,
    apple3,
    apple4,
    apple5,
    apple6,
    apple7,
    apple8,
    apple9,
    mac2,
    common1,
    common2,
    common3,
    metal3
};

// What a device answers about itself beyond what OpenCL reports. Tests make devices with any
// profile over the same OpenCL device so that every road of the engines can be exercised.
struct DeviceProfile {
    std::set<GPUFamily> families;
    std::string name;                          // empty: the OpenCL device's name
    size_t maxThreadgroupMemoryLength = 32768; // capped by the OpenCL device's local memory
    size_t maxThreadsPerThreadgroup = 1024;    // capped by the OpenCL device's work-group size

    // The profile the system default device gets; the one place that decides which families a
    // CPU (or GPU) OpenCL device claims.
    static DeviceProfile defaultFor(bool isCPU);
};

} // namespace lumavane::gpu
