#include <cmath>
#include <functional>
#include <map>
#include <set>

#include "Platform/Ml/Half.hpp"
#include "Platform/Ml/Importers.hpp"
#include "Platform/Ml/MlError.hpp"

namespace lumavane::ml::detail {

namespace {

namespace mil = coreml::mil;

// A constant of the program: numbers as floats or integers, or strings.
struct ConstTensor {
    enum class Kind { floating, integer, boolean, string };
    Kind kind = Kind::floating;
    mil::DataType type = mil::FLOAT32;
    std::vector<int64_t> shape;
    std::vector<float> floats;
    std::vector<int64_t> integers; // integer and boolean
    std::vector<std::string> strings;

    size_t count() const {
        return kind == Kind::floating ? floats.size()
               : kind == Kind::string ? strings.size()
                                      : integers.size();
    }
};

// What a name of the program stands for: a computed value, or a constant.
struct Ref {
    int value = -1;
    int rank = 0;
    std::optional<ConstTensor> constant;
    bool isConstant() const { return constant.has_value(); }
};

size_t elementCount(const std::vector<int64_t>& shape) {
    size_t n = 1;
    for (int64_t d : shape) n *= size_t(d);
    return n;
}

class Importer {
public:
    explicit Importer(WeightFiles& weights) : weights_(weights) {}

    Graph run(const coreml::Model& spec) {
        const mil::Program& program = spec.mlprogram();
        const auto main = program.functions().find("main");
        if (main == program.functions().end())
            raise(errorGeneric, "The ML program has no function \"main\".");
        const mil::Function& function = main->second;
        const auto block = function.block_specializations().find(function.opset());
        if (block == function.block_specializations().end())
            raise(errorGeneric, "The ML program's function \"main\" has no block for its opset \"" +
                                    function.opset() + "\".");

        for (const auto& input : spec.description().input()) addInput(function, input);
        for (const mil::Operation& op : block->second.operations()) addOperation(op);

        for (const auto& output : spec.description().output()) {
            bool produced = false;
            for (const auto& name : block->second.outputs()) produced = produced || name == output.name();
            if (!produced)
                raise(errorGeneric, "The ML program does not return the output \"" + output.name() + "\".");
            const Ref& ref = lookup(output.name(), "the program's outputs");
            if (ref.isConstant()) raise(errorGeneric, "The output \"" + output.name() + "\" is a constant.");
            GraphOutput o{output.name(), ref.value, ChannelOrder::rgb};
            if (output.type().has_imagetype()) o.order = channelOrder(output.type().imagetype());
            graph_.outputs.push_back(o);
        }
        return std::move(graph_);
    }

private:
    void addInput(const mil::Function& function, const coreml::FeatureDescription& feature) {
        const mil::NamedValueType* declared = nullptr;
        for (const auto& input : function.inputs())
            if (input.name() == feature.name()) declared = &input;
        if (!declared) raise(errorGeneric, "The ML program has no input \"" + feature.name() + "\".");
        const mil::TensorType& type = declared->type().tensortype();
        const int rank = type.dimensions_size();
        if (rank != 3 && rank != 4)
            raise(errorGeneric, "The input \"" + feature.name() + "\" must have rank 3 or 4.");
        if (rank == 4 && type.dimensions(0).has_constant() && type.dimensions(0).constant().size() != 1)
            raise(errorGeneric, "The input \"" + feature.name() + "\" has a batch larger than 1.");
        GraphInput input;
        input.feature = feature.name();
        input.value = graph_.addValue(feature.name());
        if (feature.type().has_imagetype()) input.order = channelOrder(feature.type().imagetype());
        graph_.inputs.push_back(input);
        names_[feature.name()] = Ref{input.value, rank, std::nullopt};
    }

    [[noreturn]] void opError(const mil::Operation& op, const std::string& what) {
        const std::string produced = op.outputs_size() ? op.outputs(0).name() : std::string("?");
        raise(errorGeneric, "Operation " + op.type() + " (\"" + produced + "\"): " + what);
    }

    const Ref& lookup(const std::string& name, const std::string& where) {
        const auto it = names_.find(name);
        if (it == names_.end())
            raise(errorGeneric, "\"" + name + "\" in " + where + " is not defined before its use.");
        return it->second;
    }

    ConstTensor readValue(const mil::Operation& op, const mil::Value& value) {
        ConstTensor t;
        if (!value.type().has_tensortype()) opError(op, "only tensor values are supported.");
        const mil::TensorType& type = value.type().tensortype();
        t.type = type.datatype();
        for (const auto& d : type.dimensions()) {
            if (!d.has_constant()) opError(op, "a constant has a dimension of unknown size.");
            t.shape.push_back(int64_t(d.constant().size()));
        }
        const size_t count = elementCount(t.shape);
        if (count > (size_t(1) << 28)) opError(op, "a constant is too large.");

        if (value.has_blobfilevalue()) {
            const auto& blob = value.blobfilevalue();
            if (t.type != mil::FLOAT16 && t.type != mil::FLOAT32)
                opError(op, "weights of data type " + mil::DataType_Name(t.type) + " are not supported.");
            t.floats = weights_.read(blob.filename(), blob.offset(),
                                     t.type == mil::FLOAT16 ? WeightFiles::BlobType::float16
                                                            : WeightFiles::BlobType::float32,
                                     count);
            return t;
        }
        if (!value.has_immediatevalue() || !value.immediatevalue().has_tensor())
            opError(op, "a constant has no tensor value.");
        const mil::TensorValue& v = value.immediatevalue().tensor();
        switch (v.value_case()) {
        case mil::TensorValue::kFloats:
            t.floats.assign(v.floats().values().begin(), v.floats().values().end());
            break;
        case mil::TensorValue::kDoubles:
            for (double d : v.doubles().values()) t.floats.push_back(float(d));
            break;
        case mil::TensorValue::kInts:
            t.kind = ConstTensor::Kind::integer;
            t.integers.assign(v.ints().values().begin(), v.ints().values().end());
            break;
        case mil::TensorValue::kLongInts:
            t.kind = ConstTensor::Kind::integer;
            t.integers.assign(v.longints().values().begin(), v.longints().values().end());
            break;
        case mil::TensorValue::kBools:
            t.kind = ConstTensor::Kind::boolean;
            t.integers.assign(v.bools().values().begin(), v.bools().values().end());
            break;
        case mil::TensorValue::kStrings:
            t.kind = ConstTensor::Kind::string;
            t.strings.assign(v.strings().values().begin(), v.strings().values().end());
            break;
        case mil::TensorValue::kBytes: {
            const std::string& bytes = v.bytes().values();
            if (t.type == mil::FLOAT16) {
                if (bytes.size() != count * 2)
                    opError(op, "half-precision constant has the wrong byte count.");
                for (size_t i = 0; i < count; ++i)
                    t.floats.push_back(halfToFloat(
                        uint16_t(uint8_t(bytes[2 * i]) | (uint16_t(uint8_t(bytes[2 * i + 1])) << 8))));
            } else if (t.type == mil::INT8 || t.type == mil::UINT8) {
                if (bytes.size() != count) opError(op, "byte constant has the wrong byte count.");
                t.kind = ConstTensor::Kind::integer;
                for (char b : bytes)
                    t.integers.push_back(t.type == mil::INT8 ? int64_t(int8_t(b)) : int64_t(uint8_t(b)));
            } else {
                opError(op,
                        "byte constants of data type " + mil::DataType_Name(t.type) + " are not supported.");
            }
            break;
        }
        default:
            opError(op, "a constant has no value.");
        }
        if (t.count() != count)
            opError(op, "a constant has " + std::to_string(t.count()) + " values for its shape.");
        return t;
    }

    const mil::Argument* argument(const mil::Operation& op, const std::string& name) {
        const auto it = op.inputs().find(name);
        return it == op.inputs().end() ? nullptr : &it->second;
    }

    Ref bind(const mil::Operation& op, const mil::Argument::Binding& binding) {
        if (binding.has_value()) return Ref{-1, 0, readValue(op, binding.value())};
        return lookup(binding.name(), "operation " + op.type());
    }

    std::optional<Ref> optionalInput(const mil::Operation& op, const std::string& name) {
        const mil::Argument* arg = argument(op, name);
        if (!arg) return std::nullopt;
        if (arg->arguments_size() != 1) opError(op, "input \"" + name + "\" must be a single value.");
        return bind(op, arg->arguments(0));
    }

    Ref input(const mil::Operation& op, const std::string& name) {
        std::optional<Ref> ref = optionalInput(op, name);
        if (!ref) opError(op, "input \"" + name + "\" is missing.");
        return *ref;
    }

    Ref activation(const mil::Operation& op, const std::string& name) {
        Ref ref = input(op, name);
        if (ref.isConstant()) opError(op, "input \"" + name + "\" must be computed, not a constant.");
        return ref;
    }

    std::optional<ConstTensor> optionalConstant(const mil::Operation& op, const std::string& name) {
        std::optional<Ref> ref = optionalInput(op, name);
        if (!ref) return std::nullopt;
        if (!ref->isConstant()) opError(op, "input \"" + name + "\" must be a constant.");
        return ref->constant;
    }

    ConstTensor constant(const mil::Operation& op, const std::string& name) {
        std::optional<ConstTensor> c = optionalConstant(op, name);
        if (!c) opError(op, "input \"" + name + "\" is missing.");
        return *c;
    }

    std::vector<double> numbers(const mil::Operation& op, const ConstTensor& c, const std::string& name) {
        std::vector<double> out;
        if (c.kind == ConstTensor::Kind::floating)
            for (float f : c.floats) out.push_back(f);
        else if (c.kind != ConstTensor::Kind::string)
            for (int64_t i : c.integers) out.push_back(double(i));
        else
            opError(op, "input \"" + name + "\" must be numeric.");
        return out;
    }

    double scalar(const mil::Operation& op, const std::string& name, double fallback) {
        std::optional<ConstTensor> c = optionalConstant(op, name);
        if (!c) return fallback;
        const std::vector<double> v = numbers(op, *c, name);
        if (v.size() != 1) opError(op, "input \"" + name + "\" must be a single number.");
        return v[0];
    }

    std::vector<int64_t> integers(const mil::Operation& op, const std::string& name,
                                  std::vector<int64_t> fallback) {
        std::optional<ConstTensor> c = optionalConstant(op, name);
        if (!c) return fallback;
        std::vector<int64_t> out;
        for (double d : numbers(op, *c, name)) {
            if (d != std::floor(d) || std::abs(d) > 1e9)
                opError(op, "input \"" + name + "\" must hold integers.");
            out.push_back(int64_t(d));
        }
        return out;
    }

    std::string text(const mil::Operation& op, const std::string& name, const std::string& fallback) {
        std::optional<ConstTensor> c = optionalConstant(op, name);
        if (!c) return fallback;
        if (c->kind != ConstTensor::Kind::string || c->strings.size() != 1)
            opError(op, "input \"" + name + "\" must be a string.");
        return c->strings[0];
    }

    // An axis of a value of this rank as one of C, H, W.
    int chwAxis(const mil::Operation& op, int64_t axis, int rank) {
        const int64_t a = axis < 0 ? axis + rank : axis;
        if (a < 0 || a >= rank) opError(op, "axis " + std::to_string(axis) + " is out of range.");
        const int64_t chw = a - (rank - 3);
        if (chw < 0) opError(op, "operating along the batch axis is not supported.");
        return int(chw);
    }

    // A constant operand of element-wise arithmetic, aligned to the trailing (C, H, W) axes.
    Constant broadcastConstant(const mil::Operation& op, const ConstTensor& c) {
        if (c.kind != ConstTensor::Kind::floating && c.kind != ConstTensor::Kind::integer)
            opError(op, "arithmetic needs a numeric constant.");
        const size_t rank = c.shape.size();
        for (size_t i = 0; i + 3 < rank; ++i)
            if (c.shape[i] != 1)
                opError(op, "a constant operand with more than three non-unit axes is not supported.");
        Constant k;
        k.shape.c = rank >= 3 ? int(c.shape[rank - 3]) : 1;
        k.shape.h = rank >= 2 ? int(c.shape[rank - 2]) : 1;
        k.shape.w = rank >= 1 ? int(c.shape[rank - 1]) : 1;
        for (double d : numbers(op, c, "y")) k.values.push_back(float(d));
        return k;
    }

    void define(const mil::Operation& op, Ref ref) {
        if (op.outputs_size() != 1) opError(op, "must have exactly one output.");
        names_[op.outputs(0).name()] = std::move(ref);
    }

    void emit(const mil::Operation& op, Operation operation, std::vector<int> inputs, int rank) {
        if (op.outputs_size() != 1) opError(op, "must have exactly one output.");
        Node node{op.outputs(0).name(), std::move(operation), std::move(inputs),
                  graph_.addValue(op.outputs(0).name())};
        names_[op.outputs(0).name()] = Ref{node.output, rank, std::nullopt};
        graph_.nodes.push_back(std::move(node));
    }

    void addOperation(const mil::Operation& op) {
        struct Handler {
            void (Importer::*add)(const mil::Operation&);
            std::set<std::string> parameters;
        };
        static const std::map<std::string, Handler> handlers = {
            {"const", {&Importer::addConst, {}}},
            {"cast", {&Importer::addCast, {"x", "dtype"}}},
            {"relu", {&Importer::addActivation, {"x"}}},
            {"sigmoid", {&Importer::addActivation, {"x"}}},
            {"silu", {&Importer::addActivation, {"x"}}},
            {"leaky_relu", {&Importer::addActivation, {"x", "alpha"}}},
            {"prelu", {&Importer::addActivation, {"x", "alpha"}}},
            {"add", {&Importer::addBinary, {"x", "y"}}},
            {"mul", {&Importer::addBinary, {"x", "y"}}},
            {"conv",
             {&Importer::addConv,
              {"x", "weight", "bias", "strides", "pad_type", "pad", "dilations", "groups"}}},
            {"pixel_shuffle", {&Importer::addPixelShuffle, {"x", "upscale_factor"}}},
            {"upsample_nearest_neighbor",
             {&Importer::addUpsample, {"x", "scale_factor_height", "scale_factor_width"}}},
            {"upsample_bilinear",
             {&Importer::addUpsample,
              {"x", "scale_factor_height", "scale_factor_width", "align_corners", "half_pixel_centers"}}},
            {"concat", {&Importer::addConcat, {"values", "axis", "interleave"}}},
            {"pad", {&Importer::addPad, {"x", "pad", "mode", "constant_val"}}},
            {"slice_by_index",
             {&Importer::addSlice,
              {"x", "begin", "end", "stride", "begin_mask", "end_mask", "squeeze_mask"}}},
            {"gather", {&Importer::addGather, {"x", "indices", "axis", "batch_dims", "validate_indices"}}},
        };
        const auto handler = handlers.find(op.type());
        if (handler == handlers.end()) opError(op, "this operation is not supported.");
        // An input we do not know would otherwise be ignored silently and change the result.
        for (const auto& [parameter, argument] : op.inputs())
            if (!handler->second.parameters.count(parameter))
                opError(op, "its input \"" + parameter + "\" is not supported.");
        (this->*handler->second.add)(op);
    }

    void addConst(const mil::Operation& op) {
        const auto val = op.attributes().find("val");
        if (val == op.attributes().end()) opError(op, "the constant has no value.");
        define(op, Ref{-1, 0, readValue(op, val->second)});
    }

    void addCast(const mil::Operation& op) {
        const std::string dtype = text(op, "dtype", "");
        Ref x = input(op, "x");
        if (!x.isConstant()) {
            // Values are computed in float whatever their declared precision.
            if (dtype != "fp16" && dtype != "fp32")
                opError(op, "casting computed values to " + dtype + " is not supported.");
            return define(op, x);
        }
        ConstTensor& c = *x.constant;
        if (dtype == "fp16" || dtype == "fp32") {
            if (c.kind != ConstTensor::Kind::floating) {
                for (int64_t i : c.integers) c.floats.push_back(float(i));
                c.integers.clear();
                c.kind = ConstTensor::Kind::floating;
            }
            if (dtype == "fp16")
                for (float& f : c.floats) f = halfToFloat(floatToHalf(f));
            c.type = dtype == "fp16" ? mil::FLOAT16 : mil::FLOAT32;
        } else if (dtype == "int32" || dtype == "int64") {
            if (c.kind == ConstTensor::Kind::floating)
                for (float f : c.floats) c.integers.push_back(int64_t(f));
            c.floats.clear();
            c.kind = ConstTensor::Kind::integer;
        } else {
            opError(op, "casting to " + dtype + " is not supported.");
        }
        define(op, x);
    }

    void addActivation(const mil::Operation& op) {
        const Ref x = activation(op, "x");
        Activation a;
        if (op.type() == "relu") {
            a.kind = ActivationKind::relu;
        } else if (op.type() == "sigmoid") {
            a.kind = ActivationKind::sigmoid;
        } else if (op.type() == "silu") {
            a.kind = ActivationKind::silu;
        } else if (op.type() == "leaky_relu") {
            a.kind = ActivationKind::leakyRelu;
            a.alpha = float(scalar(op, "alpha", 0.01));
        } else {
            a.kind = ActivationKind::prelu;
            const ConstTensor alpha = constant(op, "alpha");
            for (double d : numbers(op, alpha, "alpha")) a.slopes.push_back(float(d));
            if (a.slopes.empty()) opError(op, "PReLU has no slopes.");
        }
        emit(op, std::move(a), {x.value}, x.rank);
    }

    void addBinary(const mil::Operation& op) {
        const Ref x = input(op, "x"), y = input(op, "y");
        const BinaryKind kind = op.type() == "add" ? BinaryKind::add : BinaryKind::mul;
        if (x.isConstant() && y.isConstant()) opError(op, "arithmetic on two constants is not supported.");
        if (!x.isConstant() && !y.isConstant())
            return emit(op, Binary{kind, std::nullopt}, {x.value, y.value}, std::max(x.rank, y.rank));
        const Ref& value = x.isConstant() ? y : x;
        const ConstTensor& c = *(x.isConstant() ? x : y).constant;
        emit(op, Binary{kind, broadcastConstant(op, c)}, {value.value},
             std::max(value.rank, int(c.shape.size())));
    }

    void addConv(const mil::Operation& op) {
        const Ref x = activation(op, "x");
        const ConstTensor weight = constant(op, "weight");
        if (weight.shape.size() != 4) opError(op, "only two-dimensional convolution is supported.");
        if (weight.kind != ConstTensor::Kind::floating) opError(op, "weights must be floating point.");
        Conv c;
        c.groups = int(scalar(op, "groups", 1));
        c.outputChannels = int(weight.shape[0]);
        c.inputChannels = int(weight.shape[1]) * c.groups;
        c.kernelHeight = int(weight.shape[2]);
        c.kernelWidth = int(weight.shape[3]);
        const auto strides = integers(op, "strides", {1, 1});
        const auto dilations = integers(op, "dilations", {1, 1});
        if (strides.size() != 2 || dilations.size() != 2)
            opError(op, "strides and dilations must have two entries.");
        c.strideY = int(strides[0]);
        c.strideX = int(strides[1]);
        c.dilationY = int(dilations[0]);
        c.dilationX = int(dilations[1]);
        if (c.groups < 1 || c.outputChannels % c.groups || c.strideY < 1 || c.strideX < 1 ||
            c.dilationY < 1 || c.dilationX < 1 || c.kernelHeight < 1 || c.kernelWidth < 1 ||
            c.kernelHeight > 64 || c.kernelWidth > 64)
            opError(op, "convolution parameters are not valid.");
        const std::string padType = text(op, "pad_type", "valid");
        if (padType == "custom") {
            const auto pad = integers(op, "pad", {0, 0, 0, 0});
            if (pad.size() != 4 || *std::min_element(pad.begin(), pad.end()) < 0)
                opError(op, "custom padding must be four non-negative amounts.");
            c.padTop = int(pad[0]);
            c.padBottom = int(pad[1]);
            c.padLeft = int(pad[2]);
            c.padRight = int(pad[3]);
        } else if (padType == "same") {
            c.padRule = PadRule::sameBottomRightHeavy;
        } else if (padType == "same_lower") {
            c.padRule = PadRule::sameTopLeftHeavy;
        } else if (padType != "valid") {
            opError(op, "padding type \"" + padType + "\" is not supported.");
        }
        c.weights = weight.floats;
        if (std::optional<ConstTensor> bias = optionalConstant(op, "bias")) {
            for (double d : numbers(op, *bias, "bias")) c.bias.push_back(float(d));
            if (c.bias.size() != size_t(c.outputChannels))
                opError(op, "there must be one bias per output channel.");
        }
        emit(op, std::move(c), {x.value}, x.rank);
    }

    void addPixelShuffle(const mil::Operation& op) {
        const Ref x = activation(op, "x");
        const double factor = scalar(op, "upscale_factor", -1);
        if (factor < 1 || factor > 64 || factor != std::floor(factor))
            opError(op, "the upscale factor must be a positive integer.");
        emit(op, PixelShuffle{int(factor), ShuffleOrder::pixelShuffle}, {x.value}, x.rank);
    }

    void addUpsample(const mil::Operation& op) {
        const Ref x = activation(op, "x");
        Upsample u;
        u.scaleY = float(scalar(op, "scale_factor_height", 1));
        u.scaleX = float(scalar(op, "scale_factor_width", 1));
        if (!(u.scaleY > 0) || !(u.scaleX > 0) || u.scaleY > 64 || u.scaleX > 64)
            opError(op, "scale factors are not valid.");
        if (op.type() == "upsample_bilinear") {
            u.bilinear = true;
            const bool alignCorners = scalar(op, "align_corners", 1) != 0;
            const bool halfPixel = scalar(op, "half_pixel_centers", alignCorners ? 0 : 1) != 0;
            if (alignCorners && halfPixel)
                opError(op, "aligned corners and half-pixel centres cannot both be set.");
            u.sampling = alignCorners ? Sampling::alignCorners
                         : halfPixel  ? Sampling::halfPixel
                                      : Sampling::asymmetric;
        }
        emit(op, u, {x.value}, x.rank);
    }

    void addConcat(const mil::Operation& op) {
        const mil::Argument* values = argument(op, "values");
        if (!values || values->arguments_size() == 0) opError(op, "it has no values.");
        if (scalar(op, "interleave", 0) != 0) opError(op, "interleaved concatenation is not supported.");
        std::vector<int> inputs;
        int rank = 0;
        for (const auto& binding : values->arguments()) {
            const Ref r = bind(op, binding);
            if (r.isConstant()) opError(op, "concatenating constants is not supported.");
            inputs.push_back(r.value);
            rank = std::max(rank, r.rank);
        }
        const std::vector<int64_t> axis = integers(op, "axis", {});
        if (axis.size() != 1) opError(op, "the axis must be a single integer.");
        emit(op, Concat{chwAxis(op, axis[0], rank)}, inputs, rank);
    }

    void addPad(const mil::Operation& op) {
        const Ref x = activation(op, "x");
        const std::vector<int64_t> pad = integers(op, "pad", {});
        if (pad.empty() || pad.size() % 2 || pad.size() / 2 > size_t(x.rank))
            opError(op, "padding amounts do not fit the input.");
        Pad p;
        const std::string mode = text(op, "mode", "constant");
        if (mode == "constant")
            p.mode = PadMode::constant;
        else if (mode == "reflect")
            p.mode = PadMode::reflect;
        else if (mode == "replicate")
            p.mode = PadMode::replicate;
        else
            opError(op, "padding mode \"" + mode + "\" is not supported.");
        p.value = float(scalar(op, "constant_val", 0));
        // Amounts are begin/end pairs for the last pad.size() / 2 axes.
        const size_t axes = pad.size() / 2;
        for (size_t i = 0; i < axes; ++i) {
            const int64_t begin = pad[2 * i], end = pad[2 * i + 1];
            if (begin < 0 || end < 0 || begin > 4096 || end > 4096)
                opError(op, "padding amounts are not valid.");
            const size_t fromEnd = axes - i; // 1 = width, 2 = height
            if (fromEnd == 1) {
                p.left = int(begin);
                p.right = int(end);
            } else if (fromEnd == 2) {
                p.top = int(begin);
                p.bottom = int(end);
            } else if (begin || end) {
                opError(op, "padding other than along height and width is not supported.");
            }
        }
        emit(op, p, {x.value}, x.rank);
    }

    void addSlice(const mil::Operation& op) {
        const Ref x = activation(op, "x");
        const size_t rank = size_t(x.rank);
        const auto begin = integers(op, "begin", {});
        const auto end = integers(op, "end", {});
        const auto stride = integers(op, "stride", std::vector<int64_t>(rank, 1));
        const auto beginMask = integers(op, "begin_mask", std::vector<int64_t>(rank, 0));
        const auto endMask = integers(op, "end_mask", std::vector<int64_t>(rank, 0));
        const auto squeezeMask = integers(op, "squeeze_mask", std::vector<int64_t>(rank, 0));
        if (begin.size() != rank || end.size() != rank || stride.size() != rank || beginMask.size() != rank ||
            endMask.size() != rank || squeezeMask.size() != rank)
            opError(op, "slice arguments must have one entry per axis.");
        Slice s;
        for (size_t i = 0; i < rank; ++i) {
            if (squeezeMask[i]) opError(op, "squeezing axes is not supported.");
            if (stride[i] < 1) opError(op, "only positive slice strides are supported.");
            const int64_t chw = int64_t(i) - int64_t(rank - 3);
            if (chw < 0) {
                // The batch axis holds one image: it must stay whole.
                Slice batch;
                if (!beginMask[i]) batch.begin[0] = begin[i];
                if (!endMask[i]) batch.end[0] = end[i];
                const SliceRange r = resolveSlice(batch, 0, 1);
                if (r.begin != 0 || r.count != 1) opError(op, "slicing the batch axis is not supported.");
                continue;
            }
            if (!beginMask[i]) s.begin[size_t(chw)] = begin[i];
            if (!endMask[i]) s.end[size_t(chw)] = end[i];
            s.stride[size_t(chw)] = int(std::min<int64_t>(stride[i], 1 << 20));
        }
        emit(op, s, {x.value}, x.rank);
    }

    void addGather(const mil::Operation& op) {
        const Ref x = activation(op, "x");
        const ConstTensor indices = constant(op, "indices");
        if (indices.kind != ConstTensor::Kind::integer) opError(op, "indices must be integers.");
        if (indices.shape.size() != 1) opError(op, "only a list of indices is supported.");
        if (scalar(op, "batch_dims", 0) != 0) opError(op, "batch dimensions are not supported.");
        const std::vector<int64_t> axis = integers(op, "axis", {0});
        if (axis.size() != 1) opError(op, "the axis must be a single integer.");
        if (chwAxis(op, axis[0], x.rank) != axisC)
            opError(op, "gathering is supported along the channel axis only.");
        if (indices.integers.empty()) opError(op, "there are no indices.");
        emit(op, GatherChannels{indices.integers}, {x.value}, x.rank);
    }

    WeightFiles& weights_;
    Graph graph_;
    std::map<std::string, Ref> names_;
};

} // namespace

Graph importProgram(const coreml::Model& spec, WeightFiles& weights) { return Importer(weights).run(spec); }

} // namespace lumavane::ml::detail
