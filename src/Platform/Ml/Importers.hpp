#pragma once

#include <google/protobuf/message.h>
#include <optional>
#include <string>

#include "Platform/Ml/CoreMLFormat.pb.h"
#include "Platform/Ml/Graph.hpp"
#include "Platform/Ml/MlTypes.hpp"
#include "Platform/Ml/WeightFile.hpp"

namespace lumavane::ml::detail {

// The description and metadata a spec file declares.
ModelDescription describeModel(const coreml::Model& spec);

// Which kind of model a spec file holds; throws PlatformError naming any other kind.
enum class ModelKind { neuralNetwork, mlProgram };
ModelKind modelKind(const coreml::Model& spec);

// The network of a spec file. Throws PlatformError naming the first layer or operation it
// cannot run, and for structural faults (unknown names, wrong weight counts).
Graph importNeuralNetwork(const coreml::Model& spec);
Graph importProgram(const coreml::Model& spec, WeightFiles& weights);

// The field number of the first field a message carried that our schema does not declare, with
// a number of at least `minimum` (used to name layer and model kinds we do not read).
std::optional<int> firstUnknownField(const google::protobuf::Message& message, int minimum);

ChannelOrder channelOrder(const coreml::ImageFeatureType& image);

} // namespace lumavane::ml::detail
