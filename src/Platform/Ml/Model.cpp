#include "Platform/Ml/Model.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>

#include "Platform/Ml/Executor.hpp"
#include "Platform/Ml/Importers.hpp"
#include "Platform/Ml/MlError.hpp"
#include "Platform/Ml/ModelFiles.hpp"

namespace lumavane::ml {

namespace detail {

struct LoadedModel {
    ModelDescription description;
    ModelConfiguration configuration;
    std::shared_ptr<const Graph> graph;
    std::unique_ptr<Executor> executor;
    bool onGPU = false;

    // Shapes of every value per input size, worked out once per size.
    std::mutex shapesMutex;
    std::map<std::vector<std::pair<int, int>>, std::vector<Shape>> shapes;

    std::vector<Shape> shapesFor(const std::vector<Shape>& inputShapes) {
        std::vector<std::pair<int, int>> key;
        for (const Shape& s : inputShapes) key.emplace_back(s.w, s.h);
        std::lock_guard lock(shapesMutex);
        if (auto it = shapes.find(key); it != shapes.end()) return it->second;
        std::vector<Shape> result;
        try {
            result = inferShapes(*graph, inputShapes);
        } catch (const std::invalid_argument& e) {
            raise(errorFeatureType, "The model cannot run on inputs of this size: " + std::string(e.what()));
        }
        if (shapes.size() > 64) shapes.clear(); // sizes of a flexible model are few in practice
        return shapes.emplace(std::move(key), std::move(result)).first->second;
    }
};

namespace {

int channelsOf(ChannelOrder order) { return order == ChannelOrder::gray ? 1 : 3; }

// The size to check a network at: the required or default size, but for a range at least 64
// pixels where the range allows, since a tiny default may be smaller than the network's reach.
size_t validationExtent(const ImageConstraint& c, bool width) {
    const size_t extent = width ? c.pixelsWide : c.pixelsHigh;
    if (c.sizeConstraint.type != ImageSizeConstraint::Type::range) return extent;
    const SizeRange& range = width ? c.sizeConstraint.pixelsWideRange : c.sizeConstraint.pixelsHighRange;
    return std::clamp<size_t>(std::max<size_t>(extent, 64), range.minimum, range.maximum.value_or(SIZE_MAX));
}

// Sides beyond this are refused at load: shapes are computed in int, and no image network
// runs on such pictures anyway.
constexpr size_t maximumSide = size_t(1) << 16;

// The input shapes to check the network at; nullopt when an input is not an image.
std::optional<std::vector<Shape>> validationShapes(const Graph& graph, const ModelDescription& description) {
    std::vector<Shape> shapes;
    for (const GraphInput& input : graph.inputs) {
        const FeatureDescription* d = description.input(input.feature);
        if (!d || d->type != FeatureType::image) return std::nullopt;
        const size_t height = validationExtent(*d->imageConstraint, false),
                     width = validationExtent(*d->imageConstraint, true);
        if (width == 0 || height == 0)
            raise(errorGeneric, "The input \"" + input.feature + "\" declares a size of " +
                                    std::to_string(width) + "x" + std::to_string(height) +
                                    "; an image needs at least one pixel a side.");
        if (width > maximumSide || height > maximumSide)
            raise(errorGeneric, "The input \"" + input.feature + "\" declares a size of " +
                                    std::to_string(width) + "x" + std::to_string(height) +
                                    "; this player runs images up to " + std::to_string(maximumSide) +
                                    " pixels a side.");
        shapes.push_back(Shape{channelsOf(input.order), int(height), int(width)});
    }
    return shapes;
}

// Checks at load what can be checked without inputs: every image input and output is one we
// can feed and fill, the network fits together at the default input sizes, and a fixed-size
// model makes outputs of the sizes it declares (else tiled callers would get a mosaic).
void validate(const Graph& graph, const ModelDescription& description) {
    const auto inputShapes = validationShapes(graph, description);
    if (!inputShapes) return; // only image models run here; prediction refuses the others
    std::vector<Shape> shapes;
    try {
        shapes = inferShapes(graph, *inputShapes);
    } catch (const std::invalid_argument& e) {
        raise(errorGeneric,
              "The network does not fit together at its default input size: " + std::string(e.what()));
    }
    for (const GraphOutput& output : graph.outputs) {
        const FeatureDescription* d = description.output(output.feature);
        if (d && d->type == FeatureType::image && shapes[size_t(output.value)].c != channelsOf(output.order))
            raise(errorGeneric, "The image output \"" + output.feature + "\" has " +
                                    std::to_string(shapes[size_t(output.value)].c) + " channels.");
    }

    // Converters leave a flexible model's output sizes as they were at conversion, so only a
    // fixed-size model's declared output sizes are binding.
    for (const GraphInput& input : graph.inputs)
        if (description.input(input.feature)->imageConstraint->sizeConstraint.type !=
            ImageSizeConstraint::Type::unspecified)
            return;
    for (const GraphOutput& output : graph.outputs) {
        const FeatureDescription* d = description.output(output.feature);
        if (!d || d->type != FeatureType::image ||
            d->imageConstraint->sizeConstraint.type != ImageSizeConstraint::Type::unspecified)
            continue;
        const ImageConstraint& c = *d->imageConstraint;
        const Shape& s = shapes[size_t(output.value)];
        const bool declared = c.pixelsWide != 0 || c.pixelsHigh != 0;
        if (declared && (c.pixelsWide != size_t(s.w) || c.pixelsHigh != size_t(s.h)))
            raise(errorGeneric, "The network makes the output \"" + output.feature + "\" " +
                                    std::to_string(s.w) + "x" + std::to_string(s.h) +
                                    " at the declared input size, but the model declares " +
                                    std::to_string(c.pixelsWide) + "x" + std::to_string(c.pixelsHigh) + ".");
    }
}

} // namespace

} // namespace detail

using namespace detail;

std::filesystem::path Model::compileModel(const std::filesystem::path& url) { return compileModelFiles(url); }

std::shared_ptr<Model> Model::load(const std::filesystem::path& compiledURL,
                                   const ModelConfiguration& configuration) {
    const ModelFiles files = locateCompiled(compiledURL);
    const coreml::Model spec = readSpecFile(files.specFile);
    auto loaded = std::make_unique<LoadedModel>();
    loaded->configuration = configuration;
    loaded->description = describeModel(spec);
    if (loaded->description.inputDescriptions.empty() || loaded->description.outputDescriptions.empty())
        raise(errorGeneric, "The model declares no inputs or no outputs.");

    Graph graph;
    if (modelKind(spec) == ModelKind::neuralNetwork) {
        graph = importNeuralNetwork(spec);
    } else {
        WeightFiles weights(files.modelDirectory, files.shownDirectory);
        graph = importProgram(spec, weights);
    }
    validate(graph, loaded->description);
    loaded->graph = std::make_shared<const Graph>(std::move(graph));

    if (configuration.computeUnits != ComputeUnits::cpuOnly)
        loaded->executor = makeGpuExecutor(loaded->graph);
    loaded->onGPU = loaded->executor != nullptr;
    if (!loaded->executor) loaded->executor = makeCpuExecutor(loaded->graph);
    return std::make_shared<Model>(std::move(loaded));
}

Model::Model(std::unique_ptr<LoadedModel> loaded) : loaded_(std::move(loaded)) {}
Model::~Model() = default;

const ModelDescription& Model::modelDescription() const noexcept { return loaded_->description; }
const ModelConfiguration& Model::configuration() const noexcept { return loaded_->configuration; }
bool Model::runsOnGPU() const noexcept { return loaded_->onGPU; }

FeatureProvider Model::prediction(const FeatureProvider& input, const PredictionOptions& options) const {
    const Graph& graph = *loaded_->graph;
    const ModelDescription& description = loaded_->description;

    std::vector<PixelBuffer> inputs;
    std::vector<Shape> inputShapes;
    for (const GraphInput& in : graph.inputs) {
        const FeatureDescription* d = description.input(in.feature);
        if (!d || d->type != FeatureType::image)
            raise(errorFeatureType,
                  "The input \"" + in.feature + "\" is not an image; only image inputs are supported.");
        if (in.order == ChannelOrder::gray)
            raise(errorFeatureType,
                  "The input \"" + in.feature + "\" is a grayscale image; only colour images are supported.");
        const std::optional<FeatureValue> value = input.featureValue(in.feature);
        if (!value || value->type() != FeatureType::image)
            raise(errorFeatureType, "The input image \"" + in.feature + "\" is missing.");
        const PixelBuffer& image = value->imageBufferValue();
        if (image.pixelFormat() != pixelFormat32BGRA)
            raise(errorFeatureType, "The input image \"" + in.feature + "\" is not a 32-bit BGRA buffer.");
        if (!d->imageConstraint->allows(image.width(), image.height()))
            raise(errorFeatureType, "The input image \"" + in.feature + "\" is " +
                                        std::to_string(image.width()) + "x" + std::to_string(image.height()) +
                                        ", a size the model does not accept.");
        inputs.push_back(image);
        inputShapes.push_back(Shape{3, int(image.height()), int(image.width())});
    }
    const std::vector<Shape> shapes = loaded_->shapesFor(inputShapes);

    std::vector<PixelBuffer> outputs;
    FeatureProvider result;
    for (const GraphOutput& out : graph.outputs) {
        const FeatureDescription* d = description.output(out.feature);
        if (!d || d->type != FeatureType::image || out.order == ChannelOrder::gray)
            raise(errorFeatureType, "The output \"" + out.feature +
                                        "\" is not a colour image; only colour image outputs are supported.");
        const Shape& s = shapes[size_t(out.value)];
        PixelBuffer buffer;
        if (auto it = options.outputBackings.find(out.feature); it != options.outputBackings.end()) {
            const PixelBuffer& backing = it->second;
            if (backing && backing.pixelFormat() == pixelFormat32BGRA && backing.width() == size_t(s.w) &&
                backing.height() == size_t(s.h))
                buffer = backing;
        }
        if (!buffer) {
            try {
                buffer = PixelBuffer::create(size_t(s.w), size_t(s.h), pixelFormat32BGRA);
            } catch (const PlatformError& e) {
                raise(errorPrediction, "Cannot allocate the output image \"" + out.feature + "\" (" +
                                           std::to_string(e.code()) + ").");
            }
        }
        outputs.push_back(buffer);
        result.setFeatureValue(out.feature, FeatureValue(buffer));
    }
    try {
        loaded_->executor->run(inputs, outputs, shapes);
    } catch (const std::bad_alloc&) {
        raise(errorPrediction, "Out of memory for the prediction's intermediate values.");
    }
    return result;
}

} // namespace lumavane::ml
