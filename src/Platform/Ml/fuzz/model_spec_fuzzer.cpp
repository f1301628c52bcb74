// libFuzzer target: the input is a ".mlmodel" spec file, compiled and loaded for the CPU. Every
// refusal is a PlatformError of the Ml domain; a model that loads has image inputs of at least
// one pixel a side, since the run paths size their buffers from them.
#include "Platform/Ml/Model.hpp"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace fs = std::filesystem;
using namespace lumavane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path file =
        fs::temp_directory_path() / ("lumavane-spec-fuzz-" + std::to_string(::getpid()) + ".mlmodel");
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    fs::path compiled;
    try {
        compiled = ml::Model::compileModel(file);
        const auto model = ml::Model::load(compiled, {ml::ComputeUnits::cpuOnly});
        for (const auto& input : model->modelDescription().inputDescriptions) {
            if (input.imageConstraint &&
                (input.imageConstraint->pixelsWide == 0 || input.imageConstraint->pixelsHigh == 0))
                std::abort();
        }
    } catch (const PlatformError& error) {
        if (error.domain() != ml::errorDomain) std::abort();
    }
    std::error_code ignored;
    if (!compiled.empty()) fs::remove_all(compiled, ignored);
    return 0;
}
