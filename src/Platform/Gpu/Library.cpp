#include "Platform/Gpu/Internal.hpp"

#include <cstdlib>
#include <sstream>

namespace lumavane::gpu {

namespace {

std::string buildLog(cl_program program, cl_device_id device) {
    size_t size = 0;
    clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size);
    std::string log(size, '\0');
    if (size) clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, size, log.data(), nullptr);
    while (!log.empty() && (log.back() == '\0' || log.back() == '\n')) log.pop_back();
    return log;
}

std::string kernelString(cl_kernel kernel, cl_uint index, cl_kernel_arg_info what) {
    size_t size = 0;
    if (clGetKernelArgInfo(kernel, index, what, 0, nullptr, &size) != CL_SUCCESS) return {};
    std::string text(size, '\0');
    clGetKernelArgInfo(kernel, index, what, size, text.data(), nullptr);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

cl_program DeviceContext::buildProgram(const std::string& source, const std::string& options) {
    std::string key = options + '\n' + source;
    {
        std::lock_guard lock(cacheMutex);
        if (auto it = programs.find(key); it != programs.end()) return it->second;
    }
    const char* text = source.c_str();
    size_t length = source.size();
    cl_int error = CL_SUCCESS;
    cl_program program = clCreateProgramWithSource(context, 1, &text, &length, &error);
    if (error != CL_SUCCESS || !program)
        throw makeError(errorCompileFailure, "Compilation failed: " + clErrorText(error));
    error = clBuildProgram(program, 1, &device, options.c_str(), nullptr, nullptr);
    if (error != CL_SUCCESS) {
        std::string log = buildLog(program, device);
        clReleaseProgram(program);
        throw makeError(errorCompileFailure, "Compilation failed (" + clErrorText(error) + "):\n" + log);
    }
    std::lock_guard lock(cacheMutex);
    auto [it, inserted] = programs.emplace(key, program);
    if (!inserted) clReleaseProgram(program); // another thread built it meanwhile
    return it->second;
}

std::shared_ptr<Library> Device::newLibrary(const std::string& source, const CompileOptions& options) {
    std::ostringstream flags;
    flags << "-cl-std=CL1.2 -cl-kernel-arg-info -cl-mad-enable";
    // The compiler's warnings are for whoever works on the kernels, not for a user's terminal.
    static const bool warnings = std::getenv("LUMAVANE_KERNEL_WARNINGS") != nullptr;
    if (!warnings) flags << " -w";
    for (const auto& [name, value] : options.preprocessorMacros)
        flags << " -D " << name << '=' << value.value();
    // The kernel header first; #line keeps the build log's line numbers those of `source`.
    std::string full = std::string(sources::prelude) + "\n#line 1\n" + source;
    cl_program program = context_->buildProgram(full, flags.str());
    clRetainProgram(program);
    return std::make_shared<Library>(context_, program);
}

Library::Library(std::shared_ptr<DeviceContext> context, cl_program program)
    : context_(std::move(context)), program_(program) {}
Library::~Library() { clReleaseProgram(program_); }

std::vector<std::string> Library::functionNames() const {
    size_t size = 0;
    clGetProgramInfo(program_, CL_PROGRAM_KERNEL_NAMES, 0, nullptr, &size);
    std::string names(size, '\0');
    if (size) clGetProgramInfo(program_, CL_PROGRAM_KERNEL_NAMES, size, names.data(), nullptr);
    std::vector<std::string> result;
    std::string current;
    for (char c : names) {
        if (c == ';' || c == '\0') {
            if (!current.empty()) result.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) result.push_back(current);
    return result;
}

std::shared_ptr<Function> Library::newFunction(const std::string& name) const {
    for (const auto& candidate : functionNames())
        if (candidate == name) return std::make_shared<Function>(shared_from_this(), name);
    return nullptr;
}

std::shared_ptr<ComputePipelineState>
Device::newComputePipelineState(const std::shared_ptr<Function>& function) {
    if (!function) throw makeError(errorPipeline, "No function given for the compute pipeline");
    const auto& library = function->library();
    cl_int error = CL_SUCCESS;
    cl_kernel kernel = clCreateKernel(library->program(), function->name().c_str(), &error);
    if (error != CL_SUCCESS || !kernel)
        throw makeError(errorPipeline,
                        "Kernel " + function->name() + " could not be made: " + clErrorText(error));
    auto fail = [&](const std::string& message) {
        clReleaseKernel(kernel);
        return makeError(errorPipeline, "Kernel " + function->name() + ": " + message);
    };

    cl_uint count = 0;
    clGetKernelInfo(kernel, CL_KERNEL_NUM_ARGS, sizeof count, &count, nullptr);
    std::vector<KernelArgument> arguments;
    size_t textures = 0, buffers = 0;
    for (cl_uint i = 0; i < count; ++i) {
        std::string name = kernelString(kernel, i, CL_KERNEL_ARG_NAME);
        std::string type = kernelString(kernel, i, CL_KERNEL_ARG_TYPE_NAME);
        cl_kernel_arg_address_qualifier qualifier = 0;
        clGetKernelArgInfo(kernel, i, CL_KERNEL_ARG_ADDRESS_QUALIFIER, sizeof qualifier, &qualifier, nullptr);
        if (i == 0) {
            if (name != "lv_grid") throw fail("the first argument must be LV_GRID");
            arguments.push_back({KernelArgument::Kind::grid, 0, type});
            continue;
        }
        if (endsWith(name, "_lvdata")) {
            if (buffers > 0) throw fail("texture arguments must come before buffer arguments");
            arguments.push_back({KernelArgument::Kind::textureData, textures, type});
            continue;
        }
        if (endsWith(name, "_lvdesc")) {
            arguments.push_back({KernelArgument::Kind::textureDescriptor, textures++, type});
            continue;
        }
        if (qualifier == CL_KERNEL_ARG_ADDRESS_LOCAL)
            throw fail("local memory arguments are not supported; declare local arrays in the kernel");
        bool pointer =
            qualifier == CL_KERNEL_ARG_ADDRESS_GLOBAL || qualifier == CL_KERNEL_ARG_ADDRESS_CONSTANT;
        arguments.push_back(
            {pointer ? KernelArgument::Kind::pointer : KernelArgument::Kind::value, buffers++, type});
    }
    if (arguments.empty()) throw fail("the first argument must be LV_GRID");

    size_t workGroupSize = 0;
    cl_ulong localMemory = 0;
    clGetKernelWorkGroupInfo(kernel, context_->device, CL_KERNEL_WORK_GROUP_SIZE, sizeof workGroupSize,
                             &workGroupSize, nullptr);
    clGetKernelWorkGroupInfo(kernel, context_->device, CL_KERNEL_LOCAL_MEM_SIZE, sizeof localMemory,
                             &localMemory, nullptr);
    size_t maxThreads = std::min(workGroupSize, maxThreadsPerThreadgroup());
    return std::make_shared<ComputePipelineState>(library, function->name(), kernel, std::move(arguments),
                                                  maxThreads, static_cast<size_t>(localMemory));
}

ComputePipelineState::ComputePipelineState(std::shared_ptr<const Library> library, std::string functionName,
                                           cl_kernel kernel, std::vector<KernelArgument> arguments,
                                           size_t maxTotalThreads, size_t staticLocalMemory)
    : library_(std::move(library)),
      functionName_(std::move(functionName)),
      kernel_(kernel),
      arguments_(std::move(arguments)),
      maxTotalThreads_(maxTotalThreads),
      staticLocalMemory_(staticLocalMemory) {
    for (const auto& argument : arguments_)
        if (argument.kind == KernelArgument::Kind::textureDescriptor) ++textureCount_;
}

ComputePipelineState::~ComputePipelineState() { clReleaseKernel(kernel_); }

std::shared_ptr<Library> internalLibrary(const std::shared_ptr<Device>& device) {
    auto& context = *device->context();
    std::call_once(context.internalOnce,
                   [&] { context.internalLibrary = device->newLibrary(sources::blit); });
    return context.internalLibrary;
}

} // namespace lumavane::gpu
