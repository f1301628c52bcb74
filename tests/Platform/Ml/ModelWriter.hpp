#pragma once

// Writes Core ML model files and packages for the tests: neural networks in ".mlmodel" files,
// ML programs in ".mlpackage" folders with their weights in "weights/weight.bin".

#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Platform/Ml/CoreMLFormat.pb.h"

namespace lumavane::ml::fixtures {

namespace fs = std::filesystem;

std::vector<float> randomValues(size_t count, float scale, uint32_t seed);

// Description helpers.
coreml::FeatureDescription*
addImage(google::protobuf::RepeatedPtrField<coreml::FeatureDescription>* features, const std::string& name,
         int width, int height, coreml::ImageFeatureType::ColorSpace space = coreml::ImageFeatureType::RGB);
void setSizeRange(coreml::FeatureDescription* feature, int minWidth, int maxWidth, int minHeight,
                  int maxHeight);
void addMultiArray(google::protobuf::RepeatedPtrField<coreml::FeatureDescription>* features,
                   const std::string& name, std::vector<int64_t> shape);
void setMetadata(coreml::Model& model, const std::map<std::string, std::string>& creatorDefined);

// Neural-network layers.
coreml::NeuralNetworkLayer* addLayer(coreml::NeuralNetwork* network, const std::string& name,
                                     std::vector<std::string> inputs, const std::string& output);
// A convolution with "same" padding and the given (or random) weights; half-precision weights
// when `half` is set.
coreml::NeuralNetworkLayer* addConvolution(coreml::NeuralNetwork* network, const std::string& name,
                                           const std::string& input, const std::string& output,
                                           int inChannels, int outChannels, int kernel,
                                           const std::vector<float>& weights, const std::vector<float>& bias,
                                           bool half = false);
// Marks a message as carrying a field our schema does not declare (a layer or model kind the
// runtime does not read).
void addUnknownField(google::protobuf::Message* message, int number);

// The blob storage file of an ML program.
class WeightFileWriter {
public:
    WeightFileWriter();
    // Returns the offset of the blob's metadata record.
    uint64_t addFloat16(const std::vector<float>& values);
    uint64_t addFloat32(const std::vector<float>& values);
    std::string bytes() const;

private:
    uint64_t add(uint32_t type, const std::string& data);
    std::string bytes_;
    uint32_t count_ = 0;
};

enum class Storage { immediate, blob };
enum class Precision { fp16, fp32 };

// Builds the "main" function of an ML program.
class ProgramWriter {
public:
    explicit ProgramWriter(std::string opset = "CoreML5");

    void input(const std::string& name, std::vector<int64_t> shape);
    void output(const std::string& name) { outputs_.push_back(name); }

    std::string constFloat(const std::string& name, std::vector<int64_t> shape,
                           const std::vector<float>& values, Precision precision = Precision::fp32,
                           Storage storage = Storage::immediate);
    std::string constInts(const std::string& name, std::vector<int64_t> shape,
                          const std::vector<int32_t>& values);
    std::string constInt(const std::string& name, int32_t value) { return constInts(name, {}, {value}); }
    std::string constFloatScalar(const std::string& name, float value) {
        return constFloat(name, {}, {value});
    }
    std::string constBools(const std::string& name, std::vector<int64_t> shape,
                           const std::vector<bool>& values);
    std::string constBool(const std::string& name, bool value) { return constBools(name, {}, {value}); }
    std::string constString(const std::string& name, const std::string& value);

    // An operation whose inputs are bound to earlier names (one or several per parameter).
    std::string op(const std::string& type,
                   const std::vector<std::pair<std::string, std::vector<std::string>>>& inputs,
                   const std::string& output, coreml::mil::DataType outputType = coreml::mil::FLOAT32);

    coreml::mil::Program program() const;
    std::string weightBytes() const { return weights_.bytes(); }

private:
    coreml::mil::Operation* addConst(const std::string& name, const coreml::mil::Value& value);
    std::string opset_;
    coreml::mil::Function function_;
    coreml::mil::Block block_;
    std::vector<std::string> outputs_;
    WeightFileWriter weights_;
};

coreml::Model neuralNetworkModel();
coreml::Model programModel(const ProgramWriter& program);

void writeModelFile(const fs::path& file, const coreml::Model& model);
// A package: Manifest.json, Data/com.apple.CoreML/model.mlmodel and, when given, weights.
void writePackage(const fs::path& folder, const coreml::Model& model, const std::string& weightBytes = {});

// A fresh folder under the system's temporary folder, removed by the destructor.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

} // namespace lumavane::ml::fixtures
