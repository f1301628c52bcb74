#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct _cl_program;
struct _cl_kernel;

namespace lumavane::gpu {

struct DeviceContext;

// A preprocessor macro value: an integer or a Boolean (passed as 1 or 0).
class MacroValue {
public:
    template <std::integral T>
    MacroValue(T value) : value_(static_cast<int64_t>(value)), isBool_(std::same_as<T, bool>) {}
    int64_t value() const noexcept { return value_; }
    bool isBool() const noexcept { return isBool_; }
    bool operator==(const MacroValue&) const = default;

private:
    int64_t value_;
    bool isBool_;
};

struct CompileOptions {
    std::map<std::string, MacroValue> preprocessorMacros;
};

class Library;

class Function {
public:
    const std::string& name() const noexcept { return name_; }
    // Internal.
    Function(std::shared_ptr<const Library> library, std::string name)
        : library_(std::move(library)), name_(std::move(name)) {}
    const std::shared_ptr<const Library>& library() const noexcept { return library_; }

private:
    std::shared_ptr<const Library> library_;
    std::string name_;
};

// A compiled program. Programs are cached per OpenCL device for the life of the process, keyed
// by source text and options, so building the same kernels again costs nothing.
class Library : public std::enable_shared_from_this<Library> {
public:
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    std::vector<std::string> functionNames() const;
    // nullptr when the library has no kernel of that name.
    std::shared_ptr<Function> newFunction(const std::string& name) const;

    // Internal.
    Library(std::shared_ptr<DeviceContext> context, _cl_program* program);
    _cl_program* program() const noexcept { return program_; }
    const std::shared_ptr<DeviceContext>& context() const noexcept { return context_; }

private:
    std::shared_ptr<DeviceContext> context_;
    _cl_program* program_;
};

// How one kernel argument is bound (derived from the kernel's declaration).
struct KernelArgument {
    enum class Kind { grid, textureData, textureDescriptor, pointer, value };
    Kind kind;
    size_t slot; // texture or buffer index
    std::string typeName;
};

class ComputePipelineState {
public:
    ~ComputePipelineState();
    ComputePipelineState(const ComputePipelineState&) = delete;
    ComputePipelineState& operator=(const ComputePipelineState&) = delete;

    const std::string& functionName() const noexcept { return functionName_; }
    // Threads of a "SIMD group": kernels emulate them as 32-item slices of a work group.
    size_t threadExecutionWidth() const noexcept { return 32; }
    size_t maxTotalThreadsPerThreadgroup() const noexcept { return maxTotalThreads_; }
    size_t staticThreadgroupMemoryLength() const noexcept { return staticLocalMemory_; }

    // Internal.
    ComputePipelineState(std::shared_ptr<const Library> library, std::string functionName, _cl_kernel* kernel,
                         std::vector<KernelArgument> arguments, size_t maxTotalThreads,
                         size_t staticLocalMemory);
    _cl_kernel* kernel() const noexcept { return kernel_; }
    const std::vector<KernelArgument>& arguments() const noexcept { return arguments_; }
    size_t textureCount() const noexcept { return textureCount_; }
    // Argument values are kernel state: set and enqueue under this lock.
    std::mutex& kernelMutex() const noexcept { return mutex_; }

private:
    std::shared_ptr<const Library> library_;
    std::string functionName_;
    _cl_kernel* kernel_;
    std::vector<KernelArgument> arguments_;
    size_t textureCount_ = 0;
    size_t maxTotalThreads_;
    size_t staticLocalMemory_;
    mutable std::mutex mutex_;
};

} // namespace lumavane::gpu
