#pragma once

#include <memory>
#include <vector>

#include "Platform/Ml/Graph.hpp"
#include "Platform/Video/PixelBuffer.hpp"

namespace lumavane::ml::detail {

// Runs a graph from input images into output images. Implementations are safe to call from
// several threads at once.
class Executor {
public:
    virtual ~Executor() = default;
    // `inputs` in the order of graph.inputs (BGRA, RGB or BGR features); `outputs` in the order
    // of graph.outputs, BGRA buffers of exactly the output values' sizes; `shapes` of every value.
    virtual void run(const std::vector<PixelBuffer>& inputs, const std::vector<PixelBuffer>& outputs,
                     const std::vector<Shape>& shapes) = 0;
};

std::unique_ptr<Executor> makeCpuExecutor(std::shared_ptr<const Graph> graph);
// nullptr when there is no GPU device to run on.
std::unique_ptr<Executor> makeGpuExecutor(std::shared_ptr<const Graph> graph);

} // namespace lumavane::ml::detail
