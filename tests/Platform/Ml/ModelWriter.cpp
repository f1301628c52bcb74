#include "Platform/Ml/ModelWriter.hpp"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <google/protobuf/unknown_field_set.h>

#include "Platform/Ml/Half.hpp"

namespace lumavane::ml::fixtures {

namespace mil = coreml::mil;

std::vector<float> randomValues(size_t count, float scale, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-scale, scale);
    std::vector<float> values(count);
    for (float& v : values) v = uniform(random);
    return values;
}

namespace {

// Little-endian half-precision values.
std::string halfBytes(const std::vector<float>& values) {
    std::string bytes;
    for (float v : values) {
        const uint16_t h = detail::floatToHalf(v);
        bytes.push_back(char(h & 0xff));
        bytes.push_back(char(h >> 8));
    }
    return bytes;
}

} // namespace

coreml::FeatureDescription* addImage(google::protobuf::RepeatedPtrField<coreml::FeatureDescription>* features,
                                     const std::string& name, int width, int height,
                                     coreml::ImageFeatureType::ColorSpace space) {
    coreml::FeatureDescription* f = features->Add();
    f->set_name(name);
    auto* image = f->mutable_type()->mutable_imagetype();
    image->set_width(width);
    image->set_height(height);
    image->set_colorspace(space);
    return f;
}

void setSizeRange(coreml::FeatureDescription* feature, int minWidth, int maxWidth, int minHeight,
                  int maxHeight) {
    auto* range = feature->mutable_type()->mutable_imagetype()->mutable_imagesizerange();
    range->mutable_widthrange()->set_lowerbound(uint64_t(minWidth));
    range->mutable_widthrange()->set_upperbound(maxWidth);
    range->mutable_heightrange()->set_lowerbound(uint64_t(minHeight));
    range->mutable_heightrange()->set_upperbound(maxHeight);
}

void addMultiArray(google::protobuf::RepeatedPtrField<coreml::FeatureDescription>* features,
                   const std::string& name, std::vector<int64_t> shape) {
    coreml::FeatureDescription* f = features->Add();
    f->set_name(name);
    for (int64_t d : shape) f->mutable_type()->mutable_multiarraytype()->add_shape(d);
    f->mutable_type()->mutable_multiarraytype()->set_datatype(65568); // FLOAT32
}

void setMetadata(coreml::Model& model, const std::map<std::string, std::string>& creatorDefined) {
    auto* metadata = model.mutable_description()->mutable_metadata();
    for (const auto& [key, value] : creatorDefined) (*metadata->mutable_userdefined())[key] = value;
}

coreml::NeuralNetworkLayer* addLayer(coreml::NeuralNetwork* network, const std::string& name,
                                     std::vector<std::string> inputs, const std::string& output) {
    coreml::NeuralNetworkLayer* layer = network->add_layers();
    layer->set_name(name);
    for (const auto& input : inputs) layer->add_input(input);
    layer->add_output(output);
    return layer;
}

coreml::NeuralNetworkLayer* addConvolution(coreml::NeuralNetwork* network, const std::string& name,
                                           const std::string& input, const std::string& output,
                                           int inChannels, int outChannels, int kernel,
                                           const std::vector<float>& weights, const std::vector<float>& bias,
                                           bool half) {
    coreml::NeuralNetworkLayer* layer = addLayer(network, name, {input}, output);
    auto* conv = layer->mutable_convolution();
    conv->set_outputchannels(uint64_t(outChannels));
    conv->set_kernelchannels(uint64_t(inChannels));
    conv->set_ngroups(1);
    conv->add_kernelsize(uint64_t(kernel));
    conv->add_kernelsize(uint64_t(kernel));
    conv->add_stride(1);
    conv->add_stride(1);
    conv->add_dilationfactor(1);
    conv->add_dilationfactor(1);
    conv->mutable_same();
    auto put = [half](coreml::WeightParams* params, const std::vector<float>& values) {
        if (half) return params->set_float16value(halfBytes(values));
        for (float v : values) params->add_floatvalue(v);
    };
    put(conv->mutable_weights(), weights);
    if (!bias.empty()) {
        conv->set_hasbias(true);
        put(conv->mutable_bias(), bias);
    }
    return layer;
}

void addUnknownField(google::protobuf::Message* message, int number) {
    message->GetReflection()->MutableUnknownFields(message)->AddLengthDelimited(number, "");
}

// ---- weight file --------------------------------------------------------------------------

namespace {

void appendLittle(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(char((value >> (8 * i)) & 0xff));
}

void alignTo64(std::string& out) {
    while (out.size() % 64) out.push_back('\0');
}

} // namespace

WeightFileWriter::WeightFileWriter() { bytes_.assign(64, '\0'); }

uint64_t WeightFileWriter::add(uint32_t type, const std::string& data) {
    alignTo64(bytes_);
    const uint64_t metadataOffset = bytes_.size();
    const uint64_t dataOffset = metadataOffset + 64;
    appendLittle(bytes_, 0xDEADBEEF, 4);
    appendLittle(bytes_, type, 4);
    appendLittle(bytes_, data.size(), 8);
    appendLittle(bytes_, dataOffset, 8);
    bytes_.append(40, '\0');
    bytes_ += data;
    ++count_;
    return metadataOffset;
}

uint64_t WeightFileWriter::addFloat16(const std::vector<float>& values) { return add(1, halfBytes(values)); }

uint64_t WeightFileWriter::addFloat32(const std::vector<float>& values) {
    std::string data;
    for (float v : values) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        appendLittle(data, bits, 4);
    }
    return add(2, data);
}

std::string WeightFileWriter::bytes() const {
    std::string out = bytes_;
    std::string header;
    appendLittle(header, count_, 4);
    appendLittle(header, 2, 4); // version
    out.replace(0, 8, header);
    alignTo64(out);
    return out;
}

// ---- ML programs ----------------------------------------------------------------------------

namespace {

mil::ValueType tensorType(mil::DataType type, const std::vector<int64_t>& shape) {
    mil::ValueType t;
    auto* tensor = t.mutable_tensortype();
    tensor->set_datatype(type);
    tensor->set_rank(int64_t(shape.size()));
    for (int64_t d : shape) tensor->add_dimensions()->mutable_constant()->set_size(uint64_t(d));
    return t;
}

} // namespace

ProgramWriter::ProgramWriter(std::string opset) : opset_(std::move(opset)) { function_.set_opset(opset_); }

void ProgramWriter::input(const std::string& name, std::vector<int64_t> shape) {
    auto* input = function_.add_inputs();
    input->set_name(name);
    *input->mutable_type() = tensorType(mil::FLOAT32, shape);
}

mil::Operation* ProgramWriter::addConst(const std::string& name, const mil::Value& value) {
    mil::Operation* op = block_.add_operations();
    op->set_type("const");
    auto* out = op->add_outputs();
    out->set_name(name);
    *out->mutable_type() = value.type();
    mil::Value nameValue;
    *nameValue.mutable_type() = tensorType(mil::STRING, {});
    nameValue.mutable_immediatevalue()->mutable_tensor()->mutable_strings()->add_values(name);
    (*op->mutable_attributes())["name"] = nameValue;
    (*op->mutable_attributes())["val"] = value;
    return op;
}

std::string ProgramWriter::constFloat(const std::string& name, std::vector<int64_t> shape,
                                      const std::vector<float>& values, Precision precision,
                                      Storage storage) {
    mil::Value value;
    *value.mutable_type() = tensorType(precision == Precision::fp16 ? mil::FLOAT16 : mil::FLOAT32, shape);
    if (storage == Storage::blob) {
        auto* blob = value.mutable_blobfilevalue();
        blob->set_filename("@model_path/weights/weight.bin");
        blob->set_offset(precision == Precision::fp16 ? weights_.addFloat16(values)
                                                      : weights_.addFloat32(values));
    } else if (precision == Precision::fp16) {
        value.mutable_immediatevalue()->mutable_tensor()->mutable_bytes()->set_values(halfBytes(values));
    } else {
        auto* floats = value.mutable_immediatevalue()->mutable_tensor()->mutable_floats();
        for (float v : values) floats->add_values(v);
    }
    addConst(name, value);
    return name;
}

std::string ProgramWriter::constInts(const std::string& name, std::vector<int64_t> shape,
                                     const std::vector<int32_t>& values) {
    mil::Value value;
    *value.mutable_type() = tensorType(mil::INT32, shape);
    auto* ints = value.mutable_immediatevalue()->mutable_tensor()->mutable_ints();
    for (int32_t v : values) ints->add_values(v);
    addConst(name, value);
    return name;
}

std::string ProgramWriter::constBools(const std::string& name, std::vector<int64_t> shape,
                                      const std::vector<bool>& values) {
    mil::Value value;
    *value.mutable_type() = tensorType(mil::BOOL, shape);
    auto* bools = value.mutable_immediatevalue()->mutable_tensor()->mutable_bools();
    for (bool v : values) bools->add_values(v);
    addConst(name, value);
    return name;
}

std::string ProgramWriter::constString(const std::string& name, const std::string& text) {
    mil::Value value;
    *value.mutable_type() = tensorType(mil::STRING, {});
    value.mutable_immediatevalue()->mutable_tensor()->mutable_strings()->add_values(text);
    addConst(name, value);
    return name;
}

std::string ProgramWriter::op(const std::string& type,
                              const std::vector<std::pair<std::string, std::vector<std::string>>>& inputs,
                              const std::string& output, mil::DataType outputType) {
    mil::Operation* op = block_.add_operations();
    op->set_type(type);
    for (const auto& [parameter, names] : inputs) {
        mil::Argument& argument = (*op->mutable_inputs())[parameter];
        for (const auto& name : names) argument.add_arguments()->set_name(name);
    }
    auto* out = op->add_outputs();
    out->set_name(output);
    *out->mutable_type() = tensorType(outputType, {});
    out->mutable_type()->mutable_tensortype()->set_rank(4);
    for (int i = 0; i < 4; ++i)
        out->mutable_type()->mutable_tensortype()->add_dimensions()->mutable_unknown();
    return output;
}

mil::Program ProgramWriter::program() const {
    mil::Program program;
    program.set_version(1);
    mil::Function function = function_;
    mil::Block block = block_;
    for (const auto& name : outputs_) block.add_outputs(name);
    (*function.mutable_block_specializations())[opset_] = block;
    (*program.mutable_functions())["main"] = function;
    return program;
}

coreml::Model neuralNetworkModel() {
    coreml::Model model;
    model.set_specificationversion(4);
    model.mutable_neuralnetwork();
    return model;
}

coreml::Model programModel(const ProgramWriter& program) {
    coreml::Model model;
    model.set_specificationversion(6);
    *model.mutable_mlprogram() = program.program();
    return model;
}

// ---- files ----------------------------------------------------------------------------------

void writeModelFile(const fs::path& file, const coreml::Model& model) {
    std::ofstream out(file, std::ios::binary);
    if (!model.SerializeToOstream(&out)) throw std::runtime_error("cannot write " + file.string());
}

void writePackage(const fs::path& folder, const coreml::Model& model, const std::string& weightBytes) {
    const fs::path data = folder / "Data" / "com.apple.CoreML";
    fs::create_directories(data);
    writeModelFile(data / "model.mlmodel", model);
    std::string entries =
        R"("A1B2C3D4-0000-4000-8000-000000000001": {"author": "com.apple.CoreML", "description": "CoreML Model", "name": "model.mlmodel", "path": "com.apple.CoreML/model.mlmodel"})";
    if (!weightBytes.empty()) {
        fs::create_directories(data / "weights");
        std::ofstream(data / "weights" / "weight.bin", std::ios::binary) << weightBytes;
        entries +=
            R"(, "A1B2C3D4-0000-4000-8000-000000000002": {"author": "com.apple.CoreML", "description": "CoreML Model Weights", "name": "weights", "path": "com.apple.CoreML/weights"})";
    }
    std::ofstream(folder / "Manifest.json")
        << R"({"fileFormatVersion": "1.0.0", "itemInfoEntries": {)" << entries
        << R"(}, "rootModelIdentifier": "A1B2C3D4-0000-4000-8000-000000000001"})";
}

TemporaryFolder::TemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "lumavane-ml-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

} // namespace lumavane::ml::fixtures
