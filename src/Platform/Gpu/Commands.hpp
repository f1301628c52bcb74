#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/PlatformError.hpp"
#include "Platform/Gpu/Types.hpp"

namespace lumavane::gpu {

class Buffer;
class Texture;
class ComputePipelineState;
class CommandBuffer;
class Device;
struct QueueState;
struct RecordedCommand;

// Commits run in commit order on one in-order OpenCL queue; a platform thread of the queue
// waits for each buffer in turn, stamps its times and calls its completed handlers.
class CommandQueue {
public:
    ~CommandQueue();
    CommandQueue(const CommandQueue&) = delete;
    CommandQueue& operator=(const CommandQueue&) = delete;

    std::shared_ptr<CommandBuffer> commandBuffer();
    const std::shared_ptr<Device>& device() const noexcept { return device_; }
    const std::string& label() const noexcept { return label_; }
    void setLabel(std::string label) { label_ = std::move(label); }

    // Internal.
    CommandQueue(std::shared_ptr<Device> device, std::shared_ptr<QueueState> state);

private:
    std::shared_ptr<Device> device_;
    std::shared_ptr<QueueState> state_;
    std::string label_;
};

class ComputeCommandEncoder;
class BlitCommandEncoder;

class CommandBuffer : public std::enable_shared_from_this<CommandBuffer> {
public:
    enum class Status { notEnqueued, committed, completed, error };
    using CompletedHandler = std::function<void(CommandBuffer&)>;

    ~CommandBuffer();
    CommandBuffer(const CommandBuffer&) = delete;
    CommandBuffer& operator=(const CommandBuffer&) = delete;

    const std::string& label() const noexcept { return label_; }
    void setLabel(std::string label) { label_ = std::move(label); }

    // One encoder at a time; the previous one must have ended. nullptr after commit.
    std::shared_ptr<ComputeCommandEncoder> computeCommandEncoder();
    std::shared_ptr<BlitCommandEncoder> blitCommandEncoder();

    // Handlers run on the queue's platform thread once the buffer has completed (or failed),
    // in the order they were added. Add them before commit.
    void addCompletedHandler(CompletedHandler handler);
    // Submits the recorded commands. A buffer never committed runs nothing. Commit once.
    void commit();
    // Returns once the buffer has completed and its handlers have run (at once from inside a
    // handler, and at once for a buffer that was never committed).
    void waitUntilCompleted();

    Status status() const;
    // Set when status() is error: an encoding fault found at commit or a failed command.
    std::optional<PlatformError> error() const;
    // Seconds on the device's profiling clock: start of the first command, end of the last.
    double GPUStartTime() const;
    double GPUEndTime() const;

    // Internal.
    CommandBuffer(std::shared_ptr<Device> device, std::shared_ptr<QueueState> queue);
    void record(std::unique_ptr<RecordedCommand> command);
    void recordError(const std::string& message);
    void encoderEnded();
    const std::shared_ptr<Device>& device() const noexcept { return device_; }
    void complete(std::optional<PlatformError> error, double start, double end);
    std::vector<std::unique_ptr<RecordedCommand>>& commands() { return commands_; }

private:
    std::shared_ptr<Device> device_;
    std::shared_ptr<QueueState> queue_;
    std::string label_;
    std::vector<std::unique_ptr<RecordedCommand>> commands_;
    std::vector<CompletedHandler> handlers_;
    std::optional<std::string> encodingError_;
    bool encoderOpen_ = false;
    mutable std::mutex mutex_;
    std::condition_variable finished_;
    Status status_ = Status::notEnqueued;
    bool handlersDone_ = false;
    std::optional<PlatformError> error_;
    double start_ = 0, end_ = 0;
    friend struct QueueState;
};

// Records kernel dispatches. Bindings persist across dispatches of the encoder. See Gpu.hpp for
// how texture, buffer and bytes indices map onto kernel arguments.
class ComputeCommandEncoder {
public:
    const std::string& label() const noexcept { return label_; }
    void setLabel(std::string label) { label_ = std::move(label); }

    void setComputePipelineState(std::shared_ptr<ComputePipelineState> pipeline);
    void setTexture(std::shared_ptr<Texture> texture, size_t index);
    void setBuffer(std::shared_ptr<Buffer> buffer, size_t offset, size_t index);
    // Copies the bytes now (at most 4096).
    void setBytes(const void* bytes, size_t length, size_t index);
    // threadgroups x threadsPerThreadgroup threads; the kernel's grid size is the product.
    void dispatchThreadgroups(Size threadgroups, Size threadsPerThreadgroup);
    // Exactly `threads` threads: the launch is rounded up to whole work groups and the kernel
    // gets the true size in its grid argument (it must guard, without skipping barriers).
    void dispatchThreads(Size threads, Size threadsPerThreadgroup);
    void endEncoding();

    // Internal.
    explicit ComputeCommandEncoder(std::shared_ptr<CommandBuffer> commandBuffer);

private:
    void dispatch(Size global, Size local, Size grid);
    std::shared_ptr<CommandBuffer> commandBuffer_;
    std::string label_;
    std::shared_ptr<ComputePipelineState> pipeline_;
    std::map<size_t, std::shared_ptr<Texture>> textures_;
    struct BufferBinding {
        std::shared_ptr<Buffer> buffer;
        size_t offset = 0;
        std::vector<unsigned char> bytes;
    };
    std::map<size_t, BufferBinding> buffers_;
    bool ended_ = false;
};

class BlitCommandEncoder {
public:
    const std::string& label() const noexcept { return label_; }
    void setLabel(std::string label) { label_ = std::move(label); }

    // Copies a region of one slice into another texture of the same pixel format.
    void copyFromTexture(std::shared_ptr<Texture> source, size_t sourceSlice, size_t sourceLevel,
                         Origin sourceOrigin, Size sourceSize, std::shared_ptr<Texture> destination,
                         size_t destinationSlice, size_t destinationLevel, Origin destinationOrigin);
    // Whole texture: every slice; sizes must match.
    void copyFromTexture(std::shared_ptr<Texture> source, std::shared_ptr<Texture> destination);
    void copyFromBuffer(std::shared_ptr<Buffer> source, size_t sourceOffset,
                        std::shared_ptr<Buffer> destination, size_t destinationOffset, size_t size);
    void fillBuffer(std::shared_ptr<Buffer> buffer, size_t offset, size_t length, uint8_t value);
    void endEncoding();

    // Internal.
    explicit BlitCommandEncoder(std::shared_ptr<CommandBuffer> commandBuffer);

private:
    std::shared_ptr<CommandBuffer> commandBuffer_;
    std::string label_;
    bool ended_ = false;
};

} // namespace lumavane::gpu
