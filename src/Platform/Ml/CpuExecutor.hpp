#pragma once

#include <vector>

#include "Platform/Ml/Graph.hpp"
#include "Platform/Video/PixelBuffer.hpp"

namespace lumavane::ml::detail {

struct Tensor {
    Shape shape;
    std::vector<float> data; // channel-major, then rows, then columns
};

// The plain float32 reference: runs every operation with straightforward loops. Used for the
// CPU-only compute units and as the measure the GPU executor is checked against.
// Inputs in the order of graph.inputs; returns the values of graph.outputs in their order.
std::vector<Tensor> runOnCpu(const Graph& graph, const std::vector<Tensor>& inputs);

// One operation on its input tensors (for checking a single operation).
Tensor runNodeOnCpu(const Node& node, const std::vector<const Tensor*>& inputs, const Shape& outputShape);

// BGRA pixels to the network's input tensor (channel values 0...255, then the input's scale and
// biases), and an output tensor to BGRA pixels (rounded, clamped to 0...255, alpha 255).
Tensor tensorFromImage(const PixelBuffer& image, const GraphInput& input);
void imageFromTensor(const Tensor& tensor, ChannelOrder order, const PixelBuffer& image);

} // namespace lumavane::ml::detail
