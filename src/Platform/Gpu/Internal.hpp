#pragma once

#define CL_TARGET_OPENCL_VERSION 120
#include <CL/cl.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Foundation/PlatformError.hpp"
#include "Platform/Gpu/Device.hpp"

struct lv_pixel_buffer;

namespace lumavane::gpu {

// One OpenCL context per OpenCL device for the whole process: devices of any profile share it,
// and with it the program cache.
struct DeviceContext {
    cl_platform_id platform = nullptr;
    cl_device_id device = nullptr;
    cl_context context = nullptr;
    std::string name;
    bool isCPU = false;
    size_t localMemorySize = 0;
    size_t maxWorkGroupSize = 0;
    size_t baseAddressAlignment = 128; // bytes, for sub-buffers

    std::mutex cacheMutex;
    std::map<std::string, cl_program> programs;

    std::once_flag internalOnce;
    std::shared_ptr<Library> internalLibrary;

    // nullptr when OpenCL has no device.
    static std::shared_ptr<DeviceContext> shared();
    cl_program buildProgram(const std::string& source, const std::string& options); // throws
};

struct Allocation {
    cl_mem mem = nullptr;
    void* host = nullptr;
    bool ownsHost = false;
    size_t counted = 0;
    std::shared_ptr<std::atomic<size_t>> counter;
    lv_pixel_buffer* pixelBuffer = nullptr; // retained
    ~Allocation();
};

// Kernel-side texture descriptor (lv_texture_desc).
struct TextureDescriptorWords {
    uint32_t width, height, slices, format;
    uint32_t offset, rowPitch, pixelPitch, slicePitch;
};
static_assert(sizeof(TextureDescriptorWords) == 32);
TextureDescriptorWords descriptorWords(const Texture& texture);

struct RecordedCommand {
    enum class Kind { dispatch, copyBuffer, fillBuffer };
    Kind kind = Kind::dispatch;

    struct Argument {
        enum class Kind { memory, bytes, temporaryMemory } kind = Kind::bytes;
        cl_mem mem = nullptr;
        size_t offset = 0;
        std::vector<unsigned char> bytes;
    };
    std::shared_ptr<ComputePipelineState> pipeline;
    std::vector<Argument> arguments;
    size_t global[3] = {1, 1, 1};
    size_t local[3] = {1, 1, 1};

    cl_mem source = nullptr, destination = nullptr;
    size_t sourceOffset = 0, destinationOffset = 0, size = 0;
    uint8_t pattern = 0;

    std::vector<std::shared_ptr<const void>> retained;
    std::vector<cl_mem> temporaries;
    cl_event event = nullptr;
    ~RecordedCommand();
};

// The queue's thread and its OpenCL queue. Owned by the thread's loop and by QueueState.
struct QueueCore {
    cl_command_queue queue = nullptr;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<CommandBuffer>> pending;
    bool stop = false;
    std::thread::id thread;
    ~QueueCore();
};

struct QueueState {
    std::shared_ptr<QueueCore> core;
    std::thread thread;
    std::mutex submitMutex; // enqueue and hand-over of one buffer happen together
    explicit QueueState(cl_command_queue queue);
    ~QueueState();
    void submit(const std::shared_ptr<CommandBuffer>& buffer);
};

PlatformError makeError(int code, std::string message);
std::string clErrorText(cl_int error);

std::shared_ptr<Library> internalLibrary(const std::shared_ptr<Device>& device);

} // namespace lumavane::gpu

namespace lumavane::gpu::sources {
// Embedded from kernels/*.cl at build time.
extern const char* const prelude;
extern const char* const convolution;
extern const char* const blit;
} // namespace lumavane::gpu::sources
