#include "GpuTestSupport.hpp"

namespace lumavane::gpu::testing {
namespace {

using LibraryTests = GpuTest;

const char* const kMacros = R"(
kernel void macros(LV_GRID, global int* out) {
    out[0] = WIDTH;
    out[1] = FLAG;
    out[2] = OTHER;
#ifdef ABSENT
    out[3] = 1;
#endif
}
kernel void shared_memory(LV_GRID, global float* out) {
    local float scratch[256];
    scratch[get_local_id(0)] = get_local_id(0);
    barrier(CLK_LOCAL_MEM_FENCE);
    if (LV_IN_GRID()) out[get_global_id(0)] = scratch[255 - get_local_id(0)];
}
)";

TEST_F(LibraryTests, MacrosFunctionsAndPipelineFacts) {
    CompileOptions options;
    options.preprocessorMacros.emplace("WIDTH", 24);
    options.preprocessorMacros.emplace("FLAG", true);
    options.preprocessorMacros.emplace("OTHER", false);
    auto library = device->newLibrary(kMacros, options);
    auto names = library->functionNames();
    EXPECT_EQ(names.size(), 2u);
    EXPECT_FALSE(library->newFunction("missing"));
    EXPECT_FALSE(library->newFunction("macro"));

    auto macros = device->newComputePipelineState(library->newFunction("macros"));
    EXPECT_EQ(macros->threadExecutionWidth(), 32u);
    EXPECT_GE(macros->maxTotalThreadsPerThreadgroup(), 256u);
    EXPECT_LE(macros->maxTotalThreadsPerThreadgroup(), device->maxThreadsPerThreadgroup());
    auto out = device->newBuffer(16);
    runDispatch(macros, {1, 1, 1}, {1, 1, 1}, {out});
    auto* values = static_cast<int*>(out->contents());
    EXPECT_EQ(values[0], 24);
    EXPECT_EQ(values[1], 1);
    EXPECT_EQ(values[2], 0);
    EXPECT_EQ(values[3], 0);

    auto shared = device->newComputePipelineState(library->newFunction("shared_memory"));
    EXPECT_GE(shared->staticThreadgroupMemoryLength(), 1024u);
    EXPECT_EQ(macros->staticThreadgroupMemoryLength(), 0u);
}

TEST_F(LibraryTests, CompileErrorsCarryTheBuildLogWithSourceLines) {
    try {
        device->newLibrary("kernel void broken(LV_GRID) {\n  int x = ;\n}\n");
        FAIL() << "expected a compile error";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), errorDomain);
        EXPECT_EQ(error.code(), errorCompileFailure);
        std::string text = error.what();
        EXPECT_NE(text.find("error"), std::string::npos) << text;
        EXPECT_NE(text.find(":2:"), std::string::npos) << "line numbers of the given source: " << text;
    }
}

TEST_F(LibraryTests, KernelsOutsideTheConventionAreRefused) {
    auto library = device->newLibrary(R"(
kernel void no_grid(global int* out) { out[0] = 1; }
kernel void texture_late(LV_GRID, global int* out, LV_TEXTURE(t)) { out[0] = 1; }
kernel void local_argument(LV_GRID, local int* scratch) { scratch[0] = 1; }
)");
    for (const char* name : {"no_grid", "texture_late", "local_argument"}) {
        try {
            device->newComputePipelineState(library->newFunction(name));
            ADD_FAILURE() << name;
        } catch (const PlatformError& error) {
            EXPECT_EQ(error.code(), errorPipeline) << name;
        }
    }
    EXPECT_THROW(device->newComputePipelineState(nullptr), PlatformError);
}

TEST_F(LibraryTests, ProgramsAreCachedBySourceAndOptions) {
    const std::string source =
        "kernel void cached(LV_GRID, global int* out) { out[0] = VALUE + 0 * __LINE__; }\n// cache probe\n";
    CompileOptions one, two;
    one.preprocessorMacros.emplace("VALUE", 1);
    two.preprocessorMacros.emplace("VALUE", 2);
    auto first = device->newLibrary(source, one);
    auto again = device->newLibrary(source, one);
    EXPECT_EQ(first->program(), again->program());
    EXPECT_NE(device->newLibrary(source, two)->program(), first->program());
}

} // namespace
} // namespace lumavane::gpu::testing
