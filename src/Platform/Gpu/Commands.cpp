#include "Platform/Gpu/Internal.hpp"

#include <cstring>

namespace lumavane::gpu {

RecordedCommand::~RecordedCommand() {
    for (cl_mem mem : temporaries) clReleaseMemObject(mem);
    if (event) clReleaseEvent(event);
}

// Queue and its thread ------------------------------------------------------------------------

QueueCore::~QueueCore() {
    if (queue) clReleaseCommandQueue(queue);
}

namespace {

double eventTime(cl_event event, cl_profiling_info what) {
    cl_ulong value = 0;
    if (clGetEventProfilingInfo(event, what, sizeof value, &value, nullptr) != CL_SUCCESS) return 0;
    return static_cast<double>(value) * 1e-9;
}

void finish(const std::shared_ptr<CommandBuffer>& buffer, std::optional<PlatformError> encodingError) {
    std::optional<PlatformError> error = std::move(encodingError);
    cl_event first = nullptr, last = nullptr;
    for (auto& command : buffer->commands()) {
        if (!command->event) continue;
        clWaitForEvents(1, &command->event);
        cl_int status = CL_COMPLETE;
        clGetEventInfo(command->event, CL_EVENT_COMMAND_EXECUTION_STATUS, sizeof status, &status, nullptr);
        if (status < 0 && !error)
            error = makeError(errorExecution, "A command failed on the device (" + clErrorText(status) + ")");
        if (!first) first = command->event;
        last = command->event;
    }
    double start = first ? eventTime(first, CL_PROFILING_COMMAND_START) : 0;
    double end = last ? eventTime(last, CL_PROFILING_COMMAND_END) : start;
    buffer->complete(std::move(error), start, end);
}

void runQueue(std::shared_ptr<QueueCore> core) {
    for (;;) {
        std::shared_ptr<CommandBuffer> buffer;
        {
            std::unique_lock lock(core->mutex);
            core->wake.wait(lock, [&] { return core->stop || !core->pending.empty(); });
            if (core->pending.empty()) return;
            buffer = core->pending.front();
        }
        finish(buffer, std::nullopt);
        {
            std::lock_guard lock(core->mutex);
            core->pending.pop_front();
        }
        buffer.reset(); // may release the last owner of the queue: the loop must only use `core`
    }
}

} // namespace

QueueState::QueueState(cl_command_queue queue) : core(std::make_shared<QueueCore>()) {
    core->queue = queue;
    thread = std::thread(runQueue, core);
    core->thread = thread.get_id();
}

QueueState::~QueueState() {
    {
        std::lock_guard lock(core->mutex);
        core->stop = true;
    }
    core->wake.notify_all();
    if (std::this_thread::get_id() == thread.get_id())
        thread.detach();
    else
        thread.join();
}

void QueueState::submit(const std::shared_ptr<CommandBuffer>& buffer) {
    {
        std::lock_guard lock(core->mutex);
        core->pending.push_back(buffer);
    }
    core->wake.notify_all();
}

CommandQueue::CommandQueue(std::shared_ptr<Device> device, std::shared_ptr<QueueState> state)
    : device_(std::move(device)), state_(std::move(state)) {}
CommandQueue::~CommandQueue() = default;

std::shared_ptr<CommandBuffer> CommandQueue::commandBuffer() {
    return std::make_shared<CommandBuffer>(device_, state_);
}

// Command buffer ------------------------------------------------------------------------------

CommandBuffer::CommandBuffer(std::shared_ptr<Device> device, std::shared_ptr<QueueState> queue)
    : device_(std::move(device)), queue_(std::move(queue)) {}
CommandBuffer::~CommandBuffer() = default;

std::shared_ptr<ComputeCommandEncoder> CommandBuffer::computeCommandEncoder() {
    std::lock_guard lock(mutex_);
    if (status_ != Status::notEnqueued) return nullptr;
    if (encoderOpen_ && !encodingError_)
        encodingError_ = "An encoder was opened before the previous one ended";
    encoderOpen_ = true;
    return std::make_shared<ComputeCommandEncoder>(shared_from_this());
}

std::shared_ptr<BlitCommandEncoder> CommandBuffer::blitCommandEncoder() {
    std::lock_guard lock(mutex_);
    if (status_ != Status::notEnqueued) return nullptr;
    if (encoderOpen_ && !encodingError_)
        encodingError_ = "An encoder was opened before the previous one ended";
    encoderOpen_ = true;
    return std::make_shared<BlitCommandEncoder>(shared_from_this());
}

void CommandBuffer::encoderEnded() {
    std::lock_guard lock(mutex_);
    encoderOpen_ = false;
}

void CommandBuffer::record(std::unique_ptr<RecordedCommand> command) {
    std::lock_guard lock(mutex_);
    if (status_ == Status::notEnqueued) commands_.push_back(std::move(command));
}

void CommandBuffer::recordError(const std::string& message) {
    std::lock_guard lock(mutex_);
    if (!encodingError_) encodingError_ = message;
}

void CommandBuffer::addCompletedHandler(CompletedHandler handler) {
    std::lock_guard lock(mutex_);
    handlers_.push_back(std::move(handler));
}

namespace {

cl_int enqueue(cl_command_queue queue, const DeviceContext& context, RecordedCommand& command,
               std::string& problem) {
    switch (command.kind) {
    case RecordedCommand::Kind::copyBuffer:
        return clEnqueueCopyBuffer(queue, command.source, command.destination, command.sourceOffset,
                                   command.destinationOffset, command.size, 0, nullptr, &command.event);
    case RecordedCommand::Kind::fillBuffer:
        return clEnqueueFillBuffer(queue, command.destination, &command.pattern, 1, command.destinationOffset,
                                   command.size, 0, nullptr, &command.event);
    case RecordedCommand::Kind::dispatch:
        break;
    }
    // Buffers bound at an offset become sub-buffers, bytes bound to pointers small buffers.
    std::vector<cl_mem> values(command.arguments.size(), nullptr);
    for (size_t i = 0; i < command.arguments.size(); ++i) {
        auto& argument = command.arguments[i];
        cl_int error = CL_SUCCESS;
        if (argument.kind == RecordedCommand::Argument::Kind::memory && argument.mem &&
            argument.offset != 0) {
            if (argument.offset % context.baseAddressAlignment != 0) {
                problem = "Buffer offset " + std::to_string(argument.offset) + " is not a multiple of " +
                          std::to_string(context.baseAddressAlignment);
                return CL_INVALID_VALUE;
            }
            size_t size = 0;
            clGetMemObjectInfo(argument.mem, CL_MEM_SIZE, sizeof size, &size, nullptr);
            cl_buffer_region region{argument.offset, size - argument.offset};
            values[i] = clCreateSubBuffer(argument.mem, CL_MEM_READ_WRITE, CL_BUFFER_CREATE_TYPE_REGION,
                                          &region, &error);
            if (error != CL_SUCCESS) return error;
            command.temporaries.push_back(values[i]);
        } else if (argument.kind == RecordedCommand::Argument::Kind::memory) {
            values[i] = argument.mem;
        } else if (argument.kind == RecordedCommand::Argument::Kind::temporaryMemory) {
            values[i] = clCreateBuffer(context.context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR,
                                       argument.bytes.size(), argument.bytes.data(), &error);
            if (error != CL_SUCCESS) return error;
            command.temporaries.push_back(values[i]);
        }
    }
    std::lock_guard lock(command.pipeline->kernelMutex());
    cl_kernel kernel = command.pipeline->kernel();
    for (size_t i = 0; i < command.arguments.size(); ++i) {
        auto& argument = command.arguments[i];
        cl_int error = argument.kind == RecordedCommand::Argument::Kind::bytes
                           ? clSetKernelArg(kernel, static_cast<cl_uint>(i), argument.bytes.size(),
                                            argument.bytes.data())
                           : clSetKernelArg(kernel, static_cast<cl_uint>(i), sizeof(cl_mem),
                                            values[i] ? &values[i] : nullptr);
        if (error != CL_SUCCESS) {
            problem = "Argument " + std::to_string(i) + " (" + command.pipeline->arguments()[i].typeName +
                      ") of " + command.pipeline->functionName() + " could not be set";
            return error;
        }
    }
    return clEnqueueNDRangeKernel(queue, kernel, 3, nullptr, command.global, command.local, 0, nullptr,
                                  &command.event);
}

} // namespace

void CommandBuffer::commit() {
    std::optional<PlatformError> failure;
    {
        std::lock_guard lock(mutex_);
        if (status_ != Status::notEnqueued) return;
        status_ = Status::committed;
        if (encoderOpen_ && !encodingError_)
            encodingError_ = "The buffer was committed with an encoder that did not end";
        if (encodingError_) failure = makeError(errorEncoding, *encodingError_);
    }
    auto self = shared_from_this();
    std::lock_guard submit(queue_->submitMutex);
    cl_command_queue queue = queue_->core->queue;
    if (!failure) {
        for (auto& command : commands_) {
            std::string problem;
            cl_int error = enqueue(queue, *device_->context(), *command, problem);
            if (error != CL_SUCCESS) {
                failure =
                    makeError(errorEncoding,
                              (problem.empty() ? std::string("A command could not be submitted") : problem) +
                                  " (" + clErrorText(error) + ")");
                break;
            }
        }
        if (commands_.empty()) {
            // An empty buffer still gets times: a marker in the queue.
            auto marker = std::make_unique<RecordedCommand>();
            if (clEnqueueMarkerWithWaitList(queue, 0, nullptr, &marker->event) == CL_SUCCESS)
                commands_.push_back(std::move(marker));
        }
        clFlush(queue);
    }
    if (failure) {
        // Completes in commit order like any other buffer, after what was already submitted.
        std::lock_guard lock(mutex_);
        error_ = std::move(failure);
    }
    queue_->submit(self);
}

void CommandBuffer::complete(std::optional<PlatformError> error, double start, double end) {
    std::vector<CompletedHandler> handlers;
    {
        std::lock_guard lock(mutex_);
        if (!error_ && error) error_ = std::move(error);
        status_ = error_ ? Status::error : Status::completed;
        start_ = start;
        end_ = end;
        handlers.swap(handlers_);
    }
    for (auto& handler : handlers) handler(*this);
    // The work is over: let go of what it used before anyone waiting wakes up.
    std::vector<std::unique_ptr<RecordedCommand>> done;
    {
        std::lock_guard lock(mutex_);
        done.swap(commands_);
    }
    done.clear();
    {
        std::lock_guard lock(mutex_);
        handlersDone_ = true;
    }
    finished_.notify_all();
}

void CommandBuffer::waitUntilCompleted() {
    std::unique_lock lock(mutex_);
    if (status_ == Status::notEnqueued) return;
    if (std::this_thread::get_id() == queue_->core->thread) return;
    finished_.wait(lock, [&] { return handlersDone_; });
}

CommandBuffer::Status CommandBuffer::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

std::optional<PlatformError> CommandBuffer::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

double CommandBuffer::GPUStartTime() const {
    std::lock_guard lock(mutex_);
    return start_;
}

double CommandBuffer::GPUEndTime() const {
    std::lock_guard lock(mutex_);
    return end_;
}

// Compute encoder -----------------------------------------------------------------------------

ComputeCommandEncoder::ComputeCommandEncoder(std::shared_ptr<CommandBuffer> commandBuffer)
    : commandBuffer_(std::move(commandBuffer)) {}

void ComputeCommandEncoder::setComputePipelineState(std::shared_ptr<ComputePipelineState> pipeline) {
    pipeline_ = std::move(pipeline);
}

void ComputeCommandEncoder::setTexture(std::shared_ptr<Texture> texture, size_t index) {
    if (texture)
        textures_[index] = std::move(texture);
    else
        textures_.erase(index);
}

void ComputeCommandEncoder::setBuffer(std::shared_ptr<Buffer> buffer, size_t offset, size_t index) {
    if (buffer)
        buffers_[index] = BufferBinding{std::move(buffer), offset, {}};
    else
        buffers_.erase(index);
}

void ComputeCommandEncoder::setBytes(const void* bytes, size_t length, size_t index) {
    if (length > 4096) {
        commandBuffer_->recordError("setBytes of " + std::to_string(length) + " bytes: at most 4096");
        return;
    }
    const auto* begin = static_cast<const unsigned char*>(bytes);
    buffers_[index] = BufferBinding{nullptr, 0, std::vector<unsigned char>(begin, begin + length)};
}

void ComputeCommandEncoder::dispatchThreadgroups(Size threadgroups, Size threadsPerThreadgroup) {
    Size global{threadgroups.width * threadsPerThreadgroup.width,
                threadgroups.height * threadsPerThreadgroup.height,
                threadgroups.depth * threadsPerThreadgroup.depth};
    dispatch(global, threadsPerThreadgroup, global);
}

void ComputeCommandEncoder::dispatchThreads(Size threads, Size threadsPerThreadgroup) {
    auto up = [](size_t n, size_t group) { return group == 0 ? 0 : (n + group - 1) / group * group; };
    Size global{up(threads.width, threadsPerThreadgroup.width),
                up(threads.height, threadsPerThreadgroup.height),
                up(threads.depth, threadsPerThreadgroup.depth)};
    dispatch(global, threadsPerThreadgroup, threads);
}

void ComputeCommandEncoder::dispatch(Size global, Size local, Size grid) {
    if (ended_) return commandBuffer_->recordError("Dispatch on an encoder that has ended");
    if (!pipeline_) return commandBuffer_->recordError("Dispatch without a compute pipeline");
    const std::string& name = pipeline_->functionName();
    size_t threads = local.width * local.height * local.depth;
    if (threads == 0 || threads > pipeline_->maxTotalThreadsPerThreadgroup())
        return commandBuffer_->recordError(name + ": " + std::to_string(threads) +
                                           " threads per threadgroup, at most " +
                                           std::to_string(pipeline_->maxTotalThreadsPerThreadgroup()));
    if (grid.width == 0 || grid.height == 0 || grid.depth == 0) return; // nothing to run
    if (grid.width > UINT32_MAX || grid.height > UINT32_MAX || grid.depth > UINT32_MAX)
        return commandBuffer_->recordError(name + ": grid too large");

    auto command = std::make_unique<RecordedCommand>();
    command->pipeline = pipeline_;
    command->global[0] = global.width;
    command->global[1] = global.height;
    command->global[2] = global.depth;
    command->local[0] = local.width;
    command->local[1] = local.height;
    command->local[2] = local.depth;
    using Argument = RecordedCommand::Argument;
    for (const auto& declared : pipeline_->arguments()) {
        Argument argument;
        switch (declared.kind) {
        case KernelArgument::Kind::grid: {
            uint32_t words[4] = {static_cast<uint32_t>(grid.width), static_cast<uint32_t>(grid.height),
                                 static_cast<uint32_t>(grid.depth), 0};
            argument.bytes.assign(reinterpret_cast<unsigned char*>(words),
                                  reinterpret_cast<unsigned char*>(words) + sizeof words);
            break;
        }
        case KernelArgument::Kind::textureData: {
            argument.kind = Argument::Kind::memory;
            if (auto it = textures_.find(declared.slot); it != textures_.end()) {
                argument.mem = it->second->buffer()->clMem();
                command->retained.push_back(it->second);
            }
            break;
        }
        case KernelArgument::Kind::textureDescriptor: {
            TextureDescriptorWords words{};
            if (auto it = textures_.find(declared.slot); it != textures_.end())
                words = descriptorWords(*it->second);
            argument.bytes.assign(reinterpret_cast<unsigned char*>(&words),
                                  reinterpret_cast<unsigned char*>(&words) + sizeof words);
            break;
        }
        case KernelArgument::Kind::pointer: {
            argument.kind = Argument::Kind::memory;
            if (auto it = buffers_.find(declared.slot); it != buffers_.end()) {
                if (it->second.buffer) {
                    argument.mem = it->second.buffer->clMem();
                    argument.offset = it->second.offset;
                    if (argument.offset >= it->second.buffer->length())
                        return commandBuffer_->recordError(
                            name + ": buffer " + std::to_string(declared.slot) + " bound past its end");
                    command->retained.push_back(it->second.buffer);
                } else if (!it->second.bytes.empty()) {
                    argument.kind = Argument::Kind::temporaryMemory;
                    argument.bytes = it->second.bytes;
                }
            }
            break;
        }
        case KernelArgument::Kind::value: {
            auto it = buffers_.find(declared.slot);
            if (it == buffers_.end() || it->second.buffer)
                return commandBuffer_->recordError(name + ": buffer index " + std::to_string(declared.slot) +
                                                   " (" + declared.typeName + ") takes setBytes");
            argument.bytes = it->second.bytes;
            break;
        }
        }
        command->arguments.push_back(std::move(argument));
    }
    command->retained.push_back(pipeline_);
    commandBuffer_->record(std::move(command));
}

void ComputeCommandEncoder::endEncoding() {
    if (ended_) return;
    ended_ = true;
    commandBuffer_->encoderEnded();
}

// Blit encoder --------------------------------------------------------------------------------

BlitCommandEncoder::BlitCommandEncoder(std::shared_ptr<CommandBuffer> commandBuffer)
    : commandBuffer_(std::move(commandBuffer)) {}

void BlitCommandEncoder::copyFromTexture(std::shared_ptr<Texture> source, size_t sourceSlice,
                                         size_t sourceLevel, Origin sourceOrigin, Size sourceSize,
                                         std::shared_ptr<Texture> destination, size_t destinationSlice,
                                         size_t destinationLevel, Origin destinationOrigin) {
    if (ended_) return commandBuffer_->recordError("Copy on an encoder that has ended");
    if (!source || !destination) return commandBuffer_->recordError("Texture copy without a texture");
    bool fits = sourceLevel == 0 && destinationLevel == 0 && sourceSlice < source->arrayLength() &&
                destinationSlice < destination->arrayLength() && sourceSize.depth == 1 &&
                sourceOrigin.z == 0 && destinationOrigin.z == 0 &&
                sourceOrigin.x + sourceSize.width <= source->width() &&
                sourceOrigin.y + sourceSize.height <= source->height() &&
                destinationOrigin.x + sourceSize.width <= destination->width() &&
                destinationOrigin.y + sourceSize.height <= destination->height();
    if (!fits) return commandBuffer_->recordError("Texture copy region outside a texture");
    if (bytesPerPixel(source->pixelFormat()) != bytesPerPixel(destination->pixelFormat()))
        return commandBuffer_->recordError(std::string("Texture copy between ") +
                                           pixelFormatName(source->pixelFormat()) + " and " +
                                           pixelFormatName(destination->pixelFormat()));
    if (sourceSize.width == 0 || sourceSize.height == 0) return;

    auto device = commandBuffer_->device();
    static thread_local std::weak_ptr<ComputePipelineState> cached;
    std::shared_ptr<ComputePipelineState> pipeline;
    try {
        auto library = internalLibrary(device);
        pipeline = cached.lock();
        if (!pipeline || pipeline->maxTotalThreadsPerThreadgroup() > device->maxThreadsPerThreadgroup()) {
            pipeline = device->newComputePipelineState(library->newFunction("lv_copy_texture"));
            cached = pipeline;
        }
    } catch (const PlatformError& error) {
        return commandBuffer_->recordError(error.what());
    }
    // The copy is a dispatch of the layer's own kernel, recorded like any other.
    ComputeCommandEncoder encoder(commandBuffer_);
    encoder.setComputePipelineState(pipeline);
    encoder.setTexture(source, 0);
    encoder.setTexture(destination, 1);
    int32_t params[8] = {static_cast<int32_t>(sourceOrigin.x),
                         static_cast<int32_t>(sourceOrigin.y),
                         static_cast<int32_t>(sourceSlice),
                         static_cast<int32_t>(destinationOrigin.x),
                         static_cast<int32_t>(destinationOrigin.y),
                         static_cast<int32_t>(destinationSlice),
                         static_cast<int32_t>(bytesPerPixel(source->pixelFormat())),
                         0};
    encoder.setBytes(params, sizeof params, 0);
    encoder.dispatchThreads({sourceSize.width, sourceSize.height, 1},
                            {std::min<size_t>(64, pipeline->maxTotalThreadsPerThreadgroup()), 1, 1});
}

void BlitCommandEncoder::copyFromTexture(std::shared_ptr<Texture> source,
                                         std::shared_ptr<Texture> destination) {
    if (!source || !destination || source->width() != destination->width() ||
        source->height() != destination->height() || source->arrayLength() != destination->arrayLength())
        return commandBuffer_->recordError("Whole-texture copy between textures of different sizes");
    for (size_t slice = 0; slice < source->arrayLength(); ++slice)
        copyFromTexture(source, slice, 0, {}, {source->width(), source->height(), 1}, destination, slice, 0,
                        {});
}

void BlitCommandEncoder::copyFromBuffer(std::shared_ptr<Buffer> source, size_t sourceOffset,
                                        std::shared_ptr<Buffer> destination, size_t destinationOffset,
                                        size_t size) {
    if (ended_) return commandBuffer_->recordError("Copy on an encoder that has ended");
    if (!source || !destination || sourceOffset + size > source->length() ||
        destinationOffset + size > destination->length())
        return commandBuffer_->recordError("Buffer copy outside a buffer");
    if (size == 0) return;
    auto command = std::make_unique<RecordedCommand>();
    command->kind = RecordedCommand::Kind::copyBuffer;
    command->source = source->clMem();
    command->destination = destination->clMem();
    command->sourceOffset = sourceOffset;
    command->destinationOffset = destinationOffset;
    command->size = size;
    command->retained = {source, destination};
    commandBuffer_->record(std::move(command));
}

void BlitCommandEncoder::fillBuffer(std::shared_ptr<Buffer> buffer, size_t offset, size_t length,
                                    uint8_t value) {
    if (ended_) return commandBuffer_->recordError("Fill on an encoder that has ended");
    if (!buffer || offset + length > buffer->length())
        return commandBuffer_->recordError("Buffer fill outside a buffer");
    if (length == 0) return;
    auto command = std::make_unique<RecordedCommand>();
    command->kind = RecordedCommand::Kind::fillBuffer;
    command->destination = buffer->clMem();
    command->destinationOffset = offset;
    command->size = length;
    command->pattern = value;
    command->retained = {buffer};
    commandBuffer_->record(std::move(command));
}

void BlitCommandEncoder::endEncoding() {
    if (ended_) return;
    ended_ = true;
    commandBuffer_->encoderEnded();
}

} // namespace lumavane::gpu
