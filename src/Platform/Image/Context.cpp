#include "Platform/Image/Context.hpp"

#include "Platform/Foundation/PlatformError.hpp"
#include "Platform/Foundation/Resources.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "Platform/Image/Program.hpp"

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>

namespace lumavane::image {

using namespace detail;

namespace {

constexpr const char* kErrorDomain = "Lumavane.Image";

std::string kernelSource(const char* name = "Render.cl") {
    const auto path = resourceBundle("Lumavane_Image.bundle") / name;
    std::ifstream stream(path, std::ios::binary);
    if (!stream) throw PlatformError(kErrorDomain, 4, "cannot read " + path.string());
    return std::string((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

gpu::CompileOptions compileOptions() {
    gpu::CompileOptions options;
    auto& m = options.preprocessorMacros;
    m.emplace("FORMAT_BGRA8", int(SourceFormat::bgra8));
    m.emplace("FORMAT_RGBA8", int(SourceFormat::rgba8));
    m.emplace("FORMAT_YCBCR8", int(SourceFormat::ycbcr8));
    m.emplace("FORMAT_YCBCR16", int(SourceFormat::ycbcr16));
    m.emplace("FIELD_FORMAT", int(fieldFormat));
    m.emplace("FIELD_WIDTH", int(fieldWidth));
    m.emplace("FIELD_HEIGHT", int(fieldHeight));
    m.emplace("FIELD_TOP_DOWN", int(fieldTopDown));
    m.emplace("FIELD_Y_OFFSET", int(fieldYOffset));
    m.emplace("FIELD_Y_SCALE", int(fieldYScale));
    m.emplace("FIELD_C_OFFSET", int(fieldCOffset));
    m.emplace("FIELD_C_SCALE", int(fieldCScale));
    m.emplace("FIELD_R_CR", int(fieldRCr));
    m.emplace("FIELD_G_CB", int(fieldGCb));
    m.emplace("FIELD_G_CR", int(fieldGCr));
    m.emplace("FIELD_B_CB", int(fieldBCb));
    return options;
}

bool isWhole(float v) { return std::floor(v) == v; }
bool isCentre(float v) { return isWhole(v - 0.5f); }

// The kernel of one recipe shape: the program's operations as straight-line code
// (no interpreter loop, no indexed stacks), every number read from `code` and
// `parameters`, so recipes that differ only in numbers share one kernel. Where
// the point provably sits on pixel centres (whole origin, whole translations,
// clamps to whole extents) a source is fetched without the bilinear taps, which
// on CPU devices would otherwise all run whatever the weights.
std::string writeKernel(const Program& program, bool originWhole) {
    std::string body;
    auto put = [&](const std::string& line) { body += "    " + line + "\n"; };
    auto at = [](std::size_t k) { return "code[" + std::to_string(k) + "]"; };
    auto color = [](int n) { return "c" + std::to_string(n); };
    int colors = 0, points = 0;
    bool centred = originWhole;
    std::vector<bool> saved;
    const std::vector<float>& code = program.code;
    for (std::size_t pc = 0; int(code[pc]) != opEnd;) {
        const std::size_t k = pc + 1;
        switch (int(code[pc])) {
        case opSample: {
            const int i = int(code[k]);
            const std::string n = std::to_string(i);
            put(color(colors++) + (centred ? " = sample_centre" : " = sample_source") +
                "(make_source(LV_TEX(s" + n + "a), LV_TEX(s" + n + "b), parameters + " +
                std::to_string(i * kSourceFloats) + "), px, py, " +
                std::to_string(int(program.sources[std::size_t(i)]->format)) + ");");
            pc += 2;
            break;
        }
        case opConstant:
            put(color(colors++) + " = (float4)(" + at(k) + ", " + at(k + 1) + ", " + at(k + 2) + ", " +
                at(k + 3) + ");");
            pc += 5;
            break;
        case opPush:
            put("qx" + std::to_string(points) + " = px; qy" + std::to_string(points) + " = py;");
            saved.push_back(centred);
            ++points;
            pc += 1;
            break;
        case opPop:
            --points;
            put("px = qx" + std::to_string(points) + "; py = qy" + std::to_string(points) + ";");
            centred = saved.back();
            saved.pop_back();
            pc += 1;
            break;
        case opTransform:
            put("nx = " + at(k) + " * px + " + at(k + 2) + " * py + " + at(k + 4) + ";");
            put("ny = " + at(k + 1) + " * px + " + at(k + 3) + " * py + " + at(k + 5) + ";");
            put("px = nx; py = ny;");
            centred = centred && code[k] == 1 && code[k + 1] == 0 && code[k + 2] == 0 && code[k + 3] == 1 &&
                      isWhole(code[k + 4]) && isWhole(code[k + 5]);
            pc += 7;
            break;
        case opClamp:
            put("px = fmin(fmax(px, " + at(k) + "), " + at(k + 2) + "); py = fmin(fmax(py, " + at(k + 1) +
                "), " + at(k + 3) + ");");
            centred = centred && isCentre(code[k]) && isCentre(code[k + 1]) && isCentre(code[k + 2]) &&
                      isCentre(code[k + 3]);
            pc += 5;
            break;
        case opCrop:
            put("if (!(px >= " + at(k) + " && px < " + at(k + 2) + " && py >= " + at(k + 1) + " && py < " +
                at(k + 3) + ")) " + color(colors - 1) + " = (float4)(0.0f);");
            pc += 5;
            break;
        case opOver:
            --colors;
            put(color(colors - 1) + " = over(" + color(colors - 1) + ", " + color(colors) + ");");
            pc += 1;
            break;
        default:
            throw PlatformError(kErrorDomain, 3, "malformed image recipe");
        }
    }
    std::string declarations = "    float4 c0 = (float4)(0.0f)";
    for (int i = 1; i < kMaxStack; ++i) declarations += ", " + color(i);
    declarations += ";\n    float nx, ny";
    for (int i = 0; i < kMaxStack; ++i)
        declarations += ", qx" + std::to_string(i) + ", qy" + std::to_string(i);
    declarations += ";\n";
    return "kernel void render_recipe(LV_GRID, LV_TEXTURE(destination), LV_TEXTURE(s0a), LV_TEXTURE(s0b),\n"
           "    LV_TEXTURE(s1a), LV_TEXTURE(s1b), LV_TEXTURE(s2a), LV_TEXTURE(s2b), LV_TEXTURE(s3a), LV_TEXTURE(s3b),\n"
           "    constant float* code, constant float* parameters, const render_target target)\n"
           "{\n"
           "    if (!LV_IN_GRID()) return;\n"
           "    int x = target.x0 + (int)get_global_id(0), r = target.r0 + (int)get_global_id(1);\n"
           "    int y_index = target.top_down ? target.height - 1 - r : r;\n"
           "    float px = target.origin_x + (float)x + 0.5f, py = target.origin_y + (float)y_index + 0.5f;\n" +
           declarations + body +
           "    write_pixel(LV_TEX(destination), x, r, c0);\n"
           "}\n";
}

bool isColorTexture(const gpu::Texture& texture) {
    return texture.pixelFormat() == gpu::PixelFormat::bgra8Unorm ||
           texture.pixelFormat() == gpu::PixelFormat::rgba8Unorm;
}

// The texture planes a source is read through: one for colour, luma and chroma for YCbCr.
std::pair<std::shared_ptr<gpu::Texture>, std::shared_ptr<gpu::Texture>> planesOf(gpu::Device& device,
                                                                                 const Source& source) {
    if (source.texture) return {source.texture, nullptr};
    lv_pixel_buffer* buffer = source.pixelBuffer.get();
    std::shared_ptr<gpu::Texture> luma, chroma;
    switch (source.format) {
    case SourceFormat::bgra8:
    case SourceFormat::rgba8:
        luma = device.newTextureOverPixelBuffer(buffer, 0, gpu::PixelFormat::bgra8Unorm);
        break;
    case SourceFormat::ycbcr8:
        luma = device.newTextureOverPixelBuffer(buffer, 0, gpu::PixelFormat::r8Unorm);
        chroma = device.newTextureOverPixelBuffer(buffer, 1, gpu::PixelFormat::rg8Unorm);
        break;
    case SourceFormat::ycbcr16:
        luma = device.newTextureOverPixelBuffer(buffer, 0, gpu::PixelFormat::r16Unorm);
        chroma = device.newTextureOverPixelBuffer(buffer, 1, gpu::PixelFormat::rg16Unorm);
        break;
    }
    if (!luma || (source.format >= SourceFormat::ycbcr8 && !chroma))
        throw PlatformError(kErrorDomain, 5, "cannot read the pixel buffer on the GPU");
    return {luma, chroma};
}

constexpr int kRunPixels = 16, kRunsPerItem = 8;

// Must match run_params in RenderRuns.cl.
struct RunParams {
    float tx = 0, ty = 0;
    float fx0, fy0, fx1, fy1;
    float bx0 = 0, by0 = 0, bx1 = 0, by1 = 0;
    float bg[4] = {0, 0, 0, 0};
    std::int32_t hasBackground = 0, pad = 0;
};
static_assert(sizeof(RunParams) == 64);

// The shape render_runs draws: [crop] [whole-pixel translation] source, optionally over a
// [cropped] constant colour, at a whole origin. None for anything else.
struct RunShape {
    const Node* source = nullptr;
    RunParams params;
};

std::optional<RunShape> runShapeOf(const Node& root, Point origin) {
    constexpr float far = 1e30f;
    RunShape shape;
    RunParams& q = shape.params;
    q.fx0 = q.fy0 = -far, q.fx1 = q.fy1 = far;
    const Node* node = &root;
    if (node->kind == Node::Kind::over) {
        const Node* background = node->background.get();
        q.bx0 = q.by0 = -far, q.bx1 = q.by1 = far;
        if (background->kind == Node::Kind::crop) {
            const Rect& r = background->rect;
            q.bx0 = float(r.minX()), q.by0 = float(r.minY()), q.bx1 = float(r.maxX()), q.by1 = float(r.maxY());
            background = background->child.get();
        }
        if (background->kind != Node::Kind::constant) return std::nullopt;
        std::copy(background->color.begin(), background->color.end(), q.bg);
        q.hasBackground = 1;
        node = node->child.get();
    }
    if (node->kind == Node::Kind::crop) {
        const Rect& r = node->rect;
        q.fx0 = float(r.minX()), q.fy0 = float(r.minY()), q.fx1 = float(r.maxX()), q.fy1 = float(r.maxY());
        node = node->child.get();
    }
    // The kernel works in integers: whole offsets and origin, well inside float's range.
    auto small = [](double v) { return isWhole(float(v)) && std::abs(v) <= 1e6; };
    if (!small(origin.x) || !small(origin.y)) return std::nullopt;
    if (node->kind == Node::Kind::transform) {
        const AffineTransform& t = node->transform;
        if (t.a != 1 || t.b != 0 || t.c != 0 || t.d != 1 || !small(t.tx) || !small(t.ty)) return std::nullopt;
        q.tx = float(t.tx), q.ty = float(t.ty);
        node = node->child.get();
    }
    if (node->kind != Node::Kind::source) return std::nullopt;
    const SourceFormat format = node->source->format;
    if (format != SourceFormat::ycbcr8 && format != SourceFormat::bgra8 && format != SourceFormat::rgba8)
        return std::nullopt;
    shape.source = node;
    return shape;
}

// Whether a program can run in runs: every transform only scales and moves along the axes (so a
// point's y is one number per destination row), and every source is 8-bit and at least four
// pixels wide (the kernel reads each pixel with its right neighbour).
bool runsInRows(const Program& program) {
    for (const auto& source : program.sources)
        if (source->width < 4 || source->format == SourceFormat::ycbcr16) return false;
    const std::vector<float>& code = program.code;
    for (std::size_t pc = 0; int(code[pc]) != opEnd; pc += 1 + std::size_t(operandCount(int(code[pc]))))
        if (int(code[pc]) == opTransform && (code[pc + 2] != 0 || code[pc + 3] != 0)) return false;
    return true;
}

// The program as a kernel of runs (see RenderRuns.cl): a first pass over the operations works
// out the row (y after each transform, the source rows of each sample, each crop's vertical
// test), a second, in the loop over the item's runs, does the rest for sixteen x at a time.
// Only y moves through transforms unmixed with x: x' = a·x + (c·y) + tx keeps the general
// kernel's order, and y' = d·y + ty leaves out b·x, which is a zero whose sign no later step
// can see.
std::string writeRowsKernel(const Program& program) {
    std::string row, run;
    auto at = [](std::size_t k) { return "code[" + std::to_string(k) + "]"; };
    auto color = [](int n) { return "c" + std::to_string(n); };
    int colors = 0, points = 0, maxColors = 1, maxPoints = 0;
    const std::vector<float>& code = program.code;
    for (std::size_t pc = 0; int(code[pc]) != opEnd; pc += 1 + std::size_t(operandCount(int(code[pc])))) {
        const std::size_t k = pc + 1;
        const std::string n = std::to_string(pc);
        switch (int(code[pc])) {
        case opSample: {
            const std::string i = std::to_string(int(code[k]));
            const std::string format = std::to_string(int(program.sources[std::size_t(code[k])]->format));
            row += "    sample_rows rows" + n + " = rows_at(source" + i + ", py, " + format + ");\n";
            run += "        " + color(colors++) + " = sample16(source" + i + ", rows" + n + ", px, " +
                   format + ");\n";
            break;
        }
        case opConstant:
            run += "        " + color(colors++) + " = constant16(" + at(k) + ", " + at(k + 1) + ", " +
                   at(k + 2) + ", " + at(k + 3) + ");\n";
            break;
        case opPush:
            row += "    qy" + std::to_string(points) + " = py;\n";
            run += "        qx" + std::to_string(points) + " = px;\n";
            maxPoints = std::max(maxPoints, ++points);
            break;
        case opPop:
            --points;
            row += "    py = qy" + std::to_string(points) + ";\n";
            run += "        px = qx" + std::to_string(points) + ";\n";
            break;
        case opTransform:
            row += "    float cy" + n + " = " + at(k + 2) + " * py;\n    py = " + at(k + 3) + " * py + " +
                   at(k + 5) + ";\n";
            run += "        px = " + at(k) + " * px + cy" + n + " + " + at(k + 4) + ";\n";
            break;
        case opClamp:
            row += "    py = fmin(fmax(py, " + at(k + 1) + "), " + at(k + 3) + ");\n";
            run += "        px = fmin(fmax(px, " + at(k) + "), " + at(k + 2) + ");\n";
            break;
        case opCrop:
            row += "    int16 inside" + n + " = (int16)(py >= " + at(k + 1) + " && py < " + at(k + 3) +
                   " ? -1 : 0);\n";
            run += "        " + color(colors - 1) + " = kept16(" + color(colors - 1) + ", (px >= " + at(k) +
                   ") & (px < " + at(k + 2) + ") & inside" + n + ");\n";
            break;
        case opOver:
            --colors;
            run += "        " + color(colors - 1) + " = over16(" + color(colors - 1) + ", " + color(colors) +
                   ");\n";
            break;
        default:
            throw PlatformError(kErrorDomain, 3, "malformed image recipe");
        }
        maxColors = std::max(maxColors, colors);
    }
    std::string sources;
    for (std::size_t i = 0; i < program.sources.size(); ++i) {
        const std::string s = std::to_string(i);
        sources += "    source_view source" + s + " = make_source(LV_TEX(s" + s + "a), LV_TEX(s" + s +
                   "b), parameters + " + std::to_string(i * kSourceFloats) + ");\n";
    }
    std::string declarations = "        color16 c0 = constant16(0.0f, 0.0f, 0.0f, 0.0f)";
    for (int i = 1; i < maxColors; ++i) declarations += ", " + color(i);
    declarations += ";\n";
    std::string rowDeclarations;
    for (int i = 0; i < maxPoints; ++i) {
        declarations += "        float16 qx" + std::to_string(i) + ";\n";
        rowDeclarations += "    float qy" + std::to_string(i) + ";\n";
    }
    return "kernel void render_rows(LV_GRID, LV_TEXTURE(destination), LV_TEXTURE(s0a), LV_TEXTURE(s0b),\n"
           "    LV_TEXTURE(s1a), LV_TEXTURE(s1b), LV_TEXTURE(s2a), LV_TEXTURE(s2b), LV_TEXTURE(s3a), LV_TEXTURE(s3b),\n"
           "    constant float* code, constant float* parameters, const render_target target)\n"
           "{\n"
           "    if (!LV_IN_GRID()) return;\n"
           "    lv_tex d = LV_TEX(destination);\n"
           "    run_item item = run_item_at(target);\n" +
           sources + rowDeclarations + "    float py = target.origin_y + (float)item.y_index + 0.5f;\n" +
           row +
           "    const int16 lanes = (int16)(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);\n"
           "    for (int x = item.x_begin; x < item.x_end; x += RUN) {\n"
           "        float16 px = target.origin_x + convert_float16(x + lanes) + 0.5f;\n" +
           declarations + run +
           "        write16(d, x, item.r, target.x1, c0);\n"
           "    }\n"
           "}\n";
}

} // namespace

namespace detail {
RunKernel runKernelFor(const Node& root, Point origin) {
    if (runShapeOf(root, origin)) return RunKernel::runs;
    return runsInRows(compile(root)) ? RunKernel::rows : RunKernel::general;
}
} // namespace detail

std::shared_ptr<Context> Context::make(std::shared_ptr<gpu::Device> device) {
    if (!device) device = gpu::Device::systemDefault();
    if (!device) throw PlatformError(kErrorDomain, 6, "no GPU device");
    auto context = std::shared_ptr<Context>(new Context(device, nullptr, kernelSource()));
    context->runsSource_ = kernelSource("RenderRuns.cl");
    // Build the commonest shape now, so a broken kernel source fails here and not mid-playback;
    // a plain colour is drawn by the rows kernel, so this one is used again, not built twice.
    context->rowsPipelineFor(compile(*Image::constantColor({}).node()), true);
    auto queue = device->newCommandQueue();
    if (!queue) throw PlatformError(kErrorDomain, 6, "no command queue");
    queue->setLabel("Lumavane image context");
    context->queue_ = std::move(queue);
    return context;
}

Context::Context(std::shared_ptr<gpu::Device> device, std::shared_ptr<gpu::CommandQueue> queue,
                 std::string helpers)
    : device_(std::move(device)), queue_(std::move(queue)), helpers_(std::move(helpers)) {}

Context::~Context() = default;

std::shared_ptr<gpu::ComputePipelineState> Context::cachedPipeline(const std::string& key,
                                                                   const std::string& source,
                                                                   const gpu::CompileOptions& options,
                                                                   const char* function, bool build) const {
    {
        std::lock_guard lock(pipelinesMutex_);
        if (auto found = pipelines_.find(key); found != pipelines_.end()) return found->second;
    }
    if (!build) return nullptr;
    // Compiled outside the lock; two threads may build one shape at once, which only costs time.
    auto made = device_->newLibrary(source, options)->newFunction(function);
    if (!made) throw PlatformError(kErrorDomain, 4, "render kernel missing");
    auto pipeline = device_->newComputePipelineState(made);
    std::lock_guard lock(pipelinesMutex_);
    return pipelines_.emplace(key, std::move(pipeline)).first->second;
}

std::shared_ptr<gpu::ComputePipelineState> Context::pipelineFor(const Program& program,
                                                                bool originWhole, bool build) const {
    std::string kernel = writeKernel(program, originWhole);
    return cachedPipeline(kernel, helpers_ + kernel, compileOptions(), "render_recipe", build);
}

gpu::CompileOptions Context::runOptions() {
    gpu::CompileOptions options = compileOptions();
    options.preprocessorMacros.emplace("RUN", kRunPixels);
    options.preprocessorMacros.emplace("RUNS_PER_ITEM", kRunsPerItem);
    return options;
}

std::shared_ptr<gpu::ComputePipelineState> Context::rowsPipelineFor(const Program& program, bool build) const {
    std::string kernel = writeRowsKernel(program);
    return cachedPipeline(kernel, helpers_ + runsSource_ + kernel, runOptions(), "render_rows", build);
}

std::shared_ptr<gpu::ComputePipelineState> Context::runsPipelineFor(int format, bool build) const {
    gpu::CompileOptions options = runOptions();
    options.preprocessorMacros.emplace("SRC_FORMAT", format);
    return cachedPipeline("runs " + std::to_string(format), helpers_ + runsSource_, options, "render_runs",
                          build);
}

std::shared_ptr<gpu::ComputePipelineState> Context::renderPipeline(const Node& root, Point origin,
                                                                   bool build) const {
    if (auto shape = runShapeOf(root, origin)) return runsPipelineFor(int(shape->source->source->format), build);
    const Program program = compile(root);
    if (runsInRows(program)) return rowsPipelineFor(program, build);
    return pipelineFor(program, isWhole(float(origin.x)) && isWhole(float(origin.y)), build);
}

// Texture renders are placed at the origin.
bool Context::isPrepared(const Image& image) const {
    const auto pipeline = renderPipeline(*image.node(), {0, 0}, false);
    std::lock_guard lock(pipelinesMutex_);
    return pipeline && prepared_.contains(pipeline.get());
}

void Context::prepare(const Image& image) const {
    const auto pipeline = renderPipeline(*image.node(), {0, 0}, true);
    {
        std::lock_guard lock(pipelinesMutex_);
        if (prepared_.contains(pipeline.get())) return;
    }
    // A CPU device compiles a kernel once more for the work-group size of its first launch: one
    // small render does that here instead of in the first draw that needs it.
    constexpr std::size_t width = 64, height = 8;
    auto scratch =
        device_->newTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height));
    if (!scratch) throw PlatformError(kErrorDomain, 5, "no texture to prepare a render in");
    runAndWait(image, scratch, true, {0, 0}, {0, 0, double(width), double(height)});
    std::lock_guard lock(pipelinesMutex_);
    prepared_.insert(pipeline.get());
}

void Context::encode(const Image& image, const std::shared_ptr<gpu::Texture>& destination, bool topDown,
                     Point origin, const Rect& bounds, gpu::CommandBuffer& commandBuffer) const {
    if (auto shape = runShapeOf(*image.node(), origin)) {
        encodeRuns(*shape->source, &shape->params, destination, topDown, origin, bounds, commandBuffer);
        return;
    }
    const Program program = compile(*image.node());
    const Target target =
        targetFor(int(destination->width()), int(destination->height()), topDown, origin, bounds);
    if (target.x1 <= target.x0 || target.r1 <= target.r0) return;
    const bool rows = runsInRows(program);
    const auto pipeline = rows ? rowsPipelineFor(program)
                               : pipelineFor(program, isWhole(target.originX) && isWhole(target.originY));
    auto encoder = commandBuffer.computeCommandEncoder();
    if (!encoder) throw PlatformError(kErrorDomain, 7, "cannot encode a render");
    encoder->setLabel("Lumavane image render");
    encoder->setComputePipelineState(pipeline);
    encoder->setTexture(destination, 0);
    for (std::size_t i = 0; i < program.sources.size(); ++i) {
        auto [first, second] = planesOf(*device_, *program.sources[i]);
        encoder->setTexture(std::move(first), 1 + 2 * i);
        if (second) encoder->setTexture(std::move(second), 2 + 2 * i);
    }
    encoder->setBytes(program.code.data(), program.code.size() * sizeof(float), 0);
    encoder->setBytes(program.sourceParameters.data(), program.sourceParameters.size() * sizeof(float), 1);
    encoder->setBytes(&target, sizeof target, 2);
    if (rows) {
        dispatchRuns(*encoder, target, *pipeline);
    } else {
        const std::size_t threads = pipeline->maxTotalThreadsPerThreadgroup();
        const gpu::Size group =
            threads >= 128 ? gpu::Size{32, 4, 1} : gpu::Size{std::max<std::size_t>(threads, 1), 1, 1};
        encoder->dispatchThreads({std::size_t(target.x1 - target.x0), std::size_t(target.r1 - target.r0), 1},
                                 group);
    }
    encoder->endEncoding();
}

// The run kernels' work: runs of sixteen pixels of a row with vector arithmetic, eight runs to a
// work item so that one row's setup serves them all.
void Context::dispatchRuns(gpu::ComputeCommandEncoder& encoder, const Target& target,
                           const gpu::ComputePipelineState& pipeline) {
    const std::size_t items =
        std::size_t(target.x1 - target.x0 + kRunPixels * kRunsPerItem - 1) / (kRunPixels * kRunsPerItem);
    const std::size_t threads = pipeline.maxTotalThreadsPerThreadgroup();
    const gpu::Size group{std::min<std::size_t>(std::max<std::size_t>(threads, 1), 16), 1, 1};
    encoder.dispatchThreads({items, std::size_t(target.r1 - target.r0), 1}, group);
}

void Context::encodeRuns(const Node& source, const void* runParams,
                         const std::shared_ptr<gpu::Texture>& destination, bool topDown, Point origin,
                         const Rect& bounds, gpu::CommandBuffer& commandBuffer) const {
    const Program program = compile(source);
    const Target target =
        targetFor(int(destination->width()), int(destination->height()), topDown, origin, bounds);
    if (target.x1 <= target.x0 || target.r1 <= target.r0) return;
    const auto pipeline = runsPipelineFor(int(source.source->format));
    auto encoder = commandBuffer.computeCommandEncoder();
    if (!encoder) throw PlatformError(kErrorDomain, 7, "cannot encode a render");
    encoder->setLabel("Lumavane image render");
    encoder->setComputePipelineState(pipeline);
    encoder->setTexture(destination, 0);
    auto [first, second] = planesOf(*device_, *program.sources[0]);
    encoder->setTexture(std::move(first), 1);
    if (second) encoder->setTexture(std::move(second), 2);
    encoder->setBytes(program.sourceParameters.data(), kSourceFloats * sizeof(float), 0);
    encoder->setBytes(&target, sizeof target, 1);
    encoder->setBytes(runParams, sizeof(RunParams), 2);
    dispatchRuns(*encoder, target, *pipeline);
    encoder->endEncoding();
}

void Context::runAndWait(const Image& image, const std::shared_ptr<gpu::Texture>& destination, bool topDown,
                         Point origin, const Rect& bounds) const {
    auto commandBuffer = queue_->commandBuffer();
    if (!commandBuffer) throw PlatformError(kErrorDomain, 7, "no command buffer");
    commandBuffer->setLabel("Lumavane image render");
    encode(image, destination, topDown, origin, bounds, *commandBuffer);
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    if (auto error = commandBuffer->error()) throw *error;
}

void Context::render(const Image& image, const PixelBuffer& buffer, const Rect& bounds) const {
    if (!buffer || buffer.pixelFormat() != LV_PIXEL_FORMAT_32BGRA)
        throw PlatformError(kErrorDomain, 2, "renders go into 32-bit BGRA pixel buffers");
    auto texture = device_->newTextureOverPixelBuffer(buffer.get(), 0, gpu::PixelFormat::bgra8Unorm);
    if (!texture) throw PlatformError(kErrorDomain, 5, "cannot write the pixel buffer on the GPU");
    runAndWait(image, texture, true, {0, 0}, bounds);
}

void Context::render(const Image& image, const std::shared_ptr<gpu::Texture>& texture,
                     const std::shared_ptr<gpu::CommandBuffer>& commandBuffer, bool flipped) const {
    if (!texture || !isColorTexture(*texture) || !commandBuffer)
        throw PlatformError(kErrorDomain, 2, "renders go into bgra8Unorm or rgba8Unorm textures");
    encode(image, texture, flipped, {0, 0}, Rect::infinite(), *commandBuffer);
}

std::optional<CPUImage> Context::createCPUImage(const Image& image, const Rect& rect) const {
    const Rect whole = rect.integral();
    if (whole.isEmpty() || whole.isInfinite() || whole.width > 65536 || whole.height > 65536)
        return std::nullopt;
    const auto width = static_cast<std::size_t>(whole.width), height = static_cast<std::size_t>(whole.height);
    auto texture =
        device_->newTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height));
    if (!texture) return std::nullopt;
    try {
        runAndWait(image, texture, true, {whole.x, whole.y}, whole);
    } catch (const PlatformError&) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(width * height * 4);
    texture->getBytes(bytes.data(), width * 4, {{0, 0, 0}, {width, height, 1}}, 0);
    return CPUImage::make(int(width), int(height), 8, 32, width * 4, std::move(bytes));
}

} // namespace lumavane::image
