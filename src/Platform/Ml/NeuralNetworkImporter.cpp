#include <map>

#include "Platform/Ml/Half.hpp"
#include "Platform/Ml/Importers.hpp"
#include "Platform/Ml/MlError.hpp"

namespace lumavane::ml::detail {

namespace {

// Layer kinds of the format that this runtime does not run, to name them in messages.
const std::map<int, const char*> otherLayerKinds = {{120, "pooling"},
                                                    {140, "innerProduct"},
                                                    {150, "embedding"},
                                                    {160, "batchnorm"},
                                                    {165, "mvn"},
                                                    {170, "l2normalize"},
                                                    {175, "softmax"},
                                                    {180, "lrn"},
                                                    {190, "crop"},
                                                    {211, "resizeBilinear"},
                                                    {212, "cropResize"},
                                                    {220, "unary"},
                                                    {240, "average"},
                                                    {245, "scale"},
                                                    {250, "bias"},
                                                    {260, "max"},
                                                    {261, "min"},
                                                    {270, "dot"},
                                                    {280, "reduce"},
                                                    {290, "loadConstant"},
                                                    {300, "reshape"},
                                                    {301, "flatten"},
                                                    {310, "permute"},
                                                    {330, "split"},
                                                    {340, "sequenceRepeat"},
                                                    {400, "simpleRecurrent"},
                                                    {410, "gru"},
                                                    {420, "uniDirectionalLSTM"},
                                                    {430, "biDirectionalLSTM"},
                                                    {500, "custom"},
                                                    {600, "copy"},
                                                    {605, "branch"},
                                                    {615, "loop"},
                                                    {660, "clip"},
                                                    {760, "tanh"},
                                                    {795, "gelu"},
                                                    {880, "addBroadcastable"},
                                                    {890, "divideBroadcastable"},
                                                    {900, "multiplyBroadcastable"},
                                                    {905, "subtractBroadcastable"},
                                                    {930, "gather"},
                                                    {980, "concatND"},
                                                    {985, "transpose"},
                                                    {995, "sliceStatic"},
                                                    {1140, "reshapeStatic"},
                                                    {1155, "constantPad"},
                                                    {1460, "clampedReLU"},
                                                    {1470, "sliceBySize"},
                                                    {1471, "convolution3d"}};

const std::map<int, const char*> otherActivations = {
    {5, "linear"}, {20, "thresholdedReLU"}, {30, "tanh"},     {31, "scaledTanh"},        {41, "sigmoidHard"},
    {50, "ELU"},   {60, "softsign"},        {70, "softplus"}, {71, "parametricSoftplus"}};

std::string kindName(const std::map<int, const char*>& names, const google::protobuf::Message& message,
                     int minimum) {
    const std::optional<int> field = firstUnknownField(message, minimum);
    if (!field) return "(none)";
    const auto it = names.find(*field);
    return it != names.end() ? it->second : "number " + std::to_string(*field);
}

class Importer {
public:
    explicit Importer(const coreml::NeuralNetwork& network) : network_(network) {}

    Graph run(const coreml::Model& spec) {
        for (int i = 0; i < spec.description().input_size(); ++i) addInput(spec.description().input(i));
        for (const auto& pre : network_.preprocessing())
            if (!pre.featurename().empty() && !blobs_.count(pre.featurename()))
                raise(errorGeneric, "Image preprocessing names the input \"" + pre.featurename() +
                                        "\", which the model does not have.");
        for (const auto& layer : network_.layers()) addLayer(layer);
        for (const auto& output : spec.description().output()) {
            const auto it = blobs_.find(output.name());
            if (it == blobs_.end())
                raise(errorGeneric, "No layer produces the output \"" + output.name() + "\".");
            GraphOutput o{output.name(), it->second, ChannelOrder::rgb};
            if (output.type().has_imagetype()) o.order = channelOrder(output.type().imagetype());
            graph_.outputs.push_back(o);
        }
        return std::move(graph_);
    }

private:
    void addInput(const coreml::FeatureDescription& feature) {
        GraphInput input;
        input.feature = feature.name();
        input.value = graph_.addValue(feature.name());
        if (feature.type().has_imagetype()) input.order = channelOrder(feature.type().imagetype());
        for (const auto& pre : network_.preprocessing()) {
            // An unnamed preprocessor belongs to the only input.
            const bool mine = pre.featurename() == feature.name() ||
                              (pre.featurename().empty() && network_.preprocessing_size() == 1);
            if (!mine) continue;
            if (pre.has_meanimage())
                raise(errorGeneric,
                      "Mean-image preprocessing of the input \"" + feature.name() + "\" is not supported.");
            if (pre.has_scaler()) {
                const auto& s = pre.scaler();
                input.scale = s.channelscale();
                if (input.order == ChannelOrder::bgr)
                    input.bias = {s.bluebias(), s.greenbias(), s.redbias()};
                else if (input.order == ChannelOrder::rgb)
                    input.bias = {s.redbias(), s.greenbias(), s.bluebias()};
                else
                    input.bias = {s.graybias(), 0, 0};
            }
        }
        blobs_[feature.name()] = input.value;
        graph_.inputs.push_back(input);
    }

    [[noreturn]] void layerError(const coreml::NeuralNetworkLayer& layer, const std::string& what) {
        raise(errorGeneric, "Layer \"" + layer.name() + "\": " + what);
    }

    int blob(const coreml::NeuralNetworkLayer& layer, const std::string& name) {
        const auto it = blobs_.find(name);
        if (it == blobs_.end())
            layerError(layer, "reads \"" + name + "\", which no earlier layer or input makes.");
        return it->second;
    }

    std::vector<float> weights(const coreml::NeuralNetworkLayer& layer, const coreml::WeightParams& params,
                               size_t count, const char* what) {
        if (!params.rawvalue().empty() || !params.int8rawvalue().empty() || firstUnknownField(params, 32))
            layerError(layer, std::string("quantized or raw ") + what + " are not supported.");
        std::vector<float> values;
        if (params.floatvalue_size() > 0) {
            values.assign(params.floatvalue().begin(), params.floatvalue().end());
        } else {
            const std::string& bytes = params.float16value();
            if (bytes.size() % 2)
                layerError(layer, std::string("half-precision ") + what + " have an odd byte count.");
            for (size_t i = 0; i < bytes.size(); i += 2)
                values.push_back(
                    halfToFloat(uint16_t(uint8_t(bytes[i]) | (uint16_t(uint8_t(bytes[i + 1])) << 8))));
        }
        if (values.size() != count)
            layerError(layer, std::string("has ") + std::to_string(values.size()) + " " + what + " where " +
                                  std::to_string(count) + " are needed.");
        return values;
    }

    void add(const coreml::NeuralNetworkLayer& layer, Operation op, std::vector<int> inputs) {
        if (layer.output_size() != 1) layerError(layer, "must have exactly one output.");
        Node node{layer.name(), std::move(op), std::move(inputs), graph_.addValue(layer.output(0))};
        blobs_[layer.output(0)] = node.output;
        graph_.nodes.push_back(std::move(node));
    }

    void requireInputs(const coreml::NeuralNetworkLayer& layer, int count) {
        if (layer.input_size() != count)
            layerError(layer, "must have exactly " + std::to_string(count) + " input(s).");
    }

    void addLayer(const coreml::NeuralNetworkLayer& layer) {
        using L = coreml::NeuralNetworkLayer;
        switch (layer.layer_case()) {
        case L::kConvolution:
            return addConvolution(layer);
        case L::kActivation:
            return addActivation(layer);
        case L::kPadding:
            return addPadding(layer);
        case L::kUpsample:
            return addUpsample(layer);
        case L::kAdd:
        case L::kMultiply:
            return addArithmetic(layer);
        case L::kConcat: {
            if (layer.concat().sequenceconcat())
                layerError(layer, "concatenation along the sequence axis is not supported.");
            if (layer.input_size() < 1) layerError(layer, "has no inputs.");
            std::vector<int> inputs;
            for (const auto& name : layer.input()) inputs.push_back(blob(layer, name));
            return add(layer, Concat{axisC}, inputs);
        }
        case L::kReorganizeData: {
            requireInputs(layer, 1);
            const auto& p = layer.reorganizedata();
            if (p.mode() == coreml::ReorganizeDataLayerParams::SPACE_TO_DEPTH)
                layerError(layer, "space-to-depth reorganization is not supported.");
            if (p.blocksize() < 1 || p.blocksize() > 64)
                layerError(layer, "block size " + std::to_string(p.blocksize()) + " is not valid.");
            PixelShuffle op{int(p.blocksize()), p.mode() == coreml::ReorganizeDataLayerParams::PIXEL_SHUFFLE
                                                    ? ShuffleOrder::pixelShuffle
                                                    : ShuffleOrder::depthToSpace};
            return add(layer, op, {blob(layer, layer.input(0))});
        }
        case L::kSlice: {
            requireInputs(layer, 1);
            const auto& p = layer.slice();
            if (p.stride() < 1) layerError(layer, "slice stride must be positive.");
            const int axis = p.axis() == coreml::SliceLayerParams::CHANNEL_AXIS  ? axisC
                             : p.axis() == coreml::SliceLayerParams::HEIGHT_AXIS ? axisH
                                                                                 : axisW;
            Slice op;
            op.begin[size_t(axis)] = p.startindex();
            op.end[size_t(axis)] = p.endindex();
            op.stride[size_t(axis)] = int(std::min<uint64_t>(p.stride(), 1 << 20));
            return add(layer, op, {blob(layer, layer.input(0))});
        }
        default:
            layerError(layer,
                       "layers of type " + kindName(otherLayerKinds, layer, 100) + " are not supported.");
        }
    }

    void addConvolution(const coreml::NeuralNetworkLayer& layer) {
        const auto& p = layer.convolution();
        if (layer.input_size() != 1)
            layerError(layer, "convolution with weights as an input is not supported.");
        if (p.isdeconvolution()) layerError(layer, "deconvolution is not supported.");
        Conv op;
        op.groups = p.ngroups() == 0 ? 1 : int(p.ngroups());
        op.outputChannels = int(p.outputchannels());
        op.inputChannels = int(p.kernelchannels()) * op.groups;
        if (p.kernelsize_size() != 0 && p.kernelsize_size() != 2)
            layerError(layer, "kernel size must have two entries.");
        op.kernelHeight = p.kernelsize_size() ? int(p.kernelsize(0)) : 3;
        op.kernelWidth = p.kernelsize_size() ? int(p.kernelsize(1)) : 3;
        if (p.stride_size() == 2) {
            op.strideY = int(p.stride(0));
            op.strideX = int(p.stride(1));
        } else if (p.stride_size() != 0) {
            layerError(layer, "stride must have two entries.");
        }
        if (p.dilationfactor_size() == 2) {
            op.dilationY = int(p.dilationfactor(0));
            op.dilationX = int(p.dilationfactor(1));
        } else if (p.dilationfactor_size() != 0) {
            layerError(layer, "dilation must have two entries.");
        }
        if (op.outputChannels < 1 || op.inputChannels < 1 || op.outputChannels % op.groups ||
            op.kernelHeight < 1 || op.kernelWidth < 1 || op.strideY < 1 || op.strideX < 1 ||
            op.dilationY < 1 || op.dilationX < 1 || op.kernelHeight > 64 || op.kernelWidth > 64 ||
            op.outputChannels > 65536 || op.inputChannels > 65536)
            layerError(layer, "convolution parameters are not valid.");
        if (p.has_same()) {
            op.padRule = p.same().asymmetrymode() == coreml::SamePadding::TOP_LEFT_HEAVY
                             ? PadRule::sameTopLeftHeavy
                             : PadRule::sameBottomRightHeavy;
        } else if (p.has_valid()) {
            const auto& amounts = p.valid().paddingamounts().borderamounts();
            if (amounts.size() == 2) {
                op.padTop = int(amounts[0].startedgesize());
                op.padBottom = int(amounts[0].endedgesize());
                op.padLeft = int(amounts[1].startedgesize());
                op.padRight = int(amounts[1].endedgesize());
            } else if (!amounts.empty()) {
                layerError(layer, "padding amounts must have two entries.");
            }
        }
        op.weights = weights(layer, p.weights(),
                             size_t(op.outputChannels) * size_t(p.kernelchannels()) *
                                 size_t(op.kernelHeight) * size_t(op.kernelWidth),
                             "weights");
        if (p.hasbias()) op.bias = weights(layer, p.bias(), size_t(op.outputChannels), "biases");
        add(layer, std::move(op), {blob(layer, layer.input(0))});
    }

    void addActivation(const coreml::NeuralNetworkLayer& layer) {
        requireInputs(layer, 1);
        const auto& p = layer.activation();
        Activation op;
        switch (p.NonlinearityType_case()) {
        case coreml::ActivationParams::kReLU:
            op.kind = ActivationKind::relu;
            break;
        case coreml::ActivationParams::kLeakyReLU:
            op.kind = ActivationKind::leakyRelu;
            op.alpha = p.leakyrelu().alpha();
            break;
        case coreml::ActivationParams::kPReLU: {
            op.kind = ActivationKind::prelu;
            const auto& alpha = p.prelu().alpha();
            const size_t count =
                alpha.floatvalue_size() ? size_t(alpha.floatvalue_size()) : alpha.float16value().size() / 2;
            if (count == 0) layerError(layer, "PReLU has no slopes.");
            op.slopes = weights(layer, alpha, count, "slopes");
            break;
        }
        case coreml::ActivationParams::kSigmoid:
            op.kind = ActivationKind::sigmoid;
            break;
        default:
            layerError(layer, "activation " + kindName(otherActivations, p, 1) + " is not supported.");
        }
        add(layer, std::move(op), {blob(layer, layer.input(0))});
    }

    void addPadding(const coreml::NeuralNetworkLayer& layer) {
        requireInputs(layer, 1);
        const auto& p = layer.padding();
        Pad op;
        switch (p.PaddingType_case()) {
        case coreml::PaddingLayerParams::kConstant:
            op.mode = PadMode::constant;
            op.value = p.constant().value();
            break;
        case coreml::PaddingLayerParams::kReflection:
            op.mode = PadMode::reflect;
            break;
        case coreml::PaddingLayerParams::kReplication:
            op.mode = PadMode::replicate;
            break;
        default:
            layerError(layer, "padding type is missing.");
        }
        const auto& amounts = p.paddingamounts().borderamounts();
        if (amounts.size() != 2) layerError(layer, "padding amounts must have two entries.");
        op.top = int(amounts[0].startedgesize());
        op.bottom = int(amounts[0].endedgesize());
        op.left = int(amounts[1].startedgesize());
        op.right = int(amounts[1].endedgesize());
        if (std::max({op.top, op.bottom, op.left, op.right}) > 4096 ||
            std::min({op.top, op.bottom, op.left, op.right}) < 0)
            layerError(layer, "padding amounts are not valid.");
        add(layer, op, {blob(layer, layer.input(0))});
    }

    void addUpsample(const coreml::NeuralNetworkLayer& layer) {
        requireInputs(layer, 1);
        const auto& p = layer.upsample();
        Upsample op;
        op.bilinear = p.mode() == coreml::UpsampleLayerParams::BILINEAR;
        if (p.fractionalscalingfactor_size() > 0) {
            if (p.fractionalscalingfactor_size() != 2)
                layerError(layer, "fractional scaling factors must have two entries.");
            if (!op.bilinear || p.linearupsamplemode() == coreml::UpsampleLayerParams::DEFAULT)
                layerError(layer,
                           "fractional scaling needs bilinear sampling with aligned or unaligned corners.");
            op.scaleY = p.fractionalscalingfactor(0);
            op.scaleX = p.fractionalscalingfactor(1);
        } else if (p.scalingfactor_size() == 2) {
            op.scaleY = float(p.scalingfactor(0));
            op.scaleX = float(p.scalingfactor(1));
        } else if (p.scalingfactor_size() != 0) {
            layerError(layer, "scaling factors must have two entries.");
        }
        if (!(op.scaleY > 0) || !(op.scaleX > 0) || op.scaleY > 64 || op.scaleX > 64)
            layerError(layer, "scaling factors are not valid.");
        switch (p.linearupsamplemode()) {
        case coreml::UpsampleLayerParams::ALIGN_CORNERS_TRUE:
            op.sampling = Sampling::alignCorners;
            break;
        case coreml::UpsampleLayerParams::ALIGN_CORNERS_FALSE:
            op.sampling = Sampling::halfPixel;
            break;
        default:
            op.sampling = Sampling::asymmetric;
            break;
        }
        add(layer, op, {blob(layer, layer.input(0))});
    }

    void addArithmetic(const coreml::NeuralNetworkLayer& layer) {
        const bool isAdd = layer.has_add();
        const BinaryKind kind = isAdd ? BinaryKind::add : BinaryKind::mul;
        if (layer.input_size() < 1) layerError(layer, "has no inputs.");
        if (layer.input_size() == 1) {
            const float alpha = isAdd ? layer.add().alpha() : layer.multiply().alpha();
            return add(layer, Binary{kind, Constant{Shape{1, 1, 1}, {alpha}}}, {blob(layer, layer.input(0))});
        }
        // Several inputs: a chain of pairwise operations, the last one named after the layer.
        int accumulated = blob(layer, layer.input(0));
        for (int i = 1; i < layer.input_size(); ++i) {
            const int operand = blob(layer, layer.input(i));
            if (i + 1 == layer.input_size())
                return add(layer, Binary{kind, std::nullopt}, {accumulated, operand});
            Node node{layer.name(),
                      Binary{kind, std::nullopt},
                      {accumulated, operand},
                      graph_.addValue(layer.name() + "#" + std::to_string(i))};
            accumulated = node.output;
            graph_.nodes.push_back(std::move(node));
        }
    }

    const coreml::NeuralNetwork& network_;
    Graph graph_;
    std::map<std::string, int> blobs_;
};

} // namespace

Graph importNeuralNetwork(const coreml::Model& spec) { return Importer(spec.neuralnetwork()).run(spec); }

} // namespace lumavane::ml::detail
