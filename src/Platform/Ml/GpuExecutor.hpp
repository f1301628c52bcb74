#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Gpu/Gpu.hpp"
#include "Platform/Ml/CpuExecutor.hpp"
#include "Platform/Ml/Executor.hpp"

namespace lumavane::ml::detail {

// Runs a graph on the GPU layer: values are feature images; wide convolutions at stride 1 run
// "Lumavane_Ml.bundle/ConvBlocked.cl", other convolutions the layer's Convolution can run use it
// (both with a following ReLU, leaky ReLU or PReLU folded in), everything else runs the kernels
// of "Lumavane_Ml.bundle/Kernels.cl". Each prediction records one command
// buffer on the executor's queue and waits for it; intermediate images come from workspaces
// that concurrent predictions never share.
class GpuExecutor final : public Executor {
public:
    GpuExecutor(std::shared_ptr<const Graph> graph, std::shared_ptr<gpu::Device> device);
    ~GpuExecutor() override;

    void run(const std::vector<PixelBuffer>& inputs, const std::vector<PixelBuffer>& outputs,
             const std::vector<Shape>& shapes) override;

    // Runs the graph on float tensors of any channel count, skipping the image conversions: the
    // check of the GPU work against the CPU reference. Inputs in the order of graph.inputs.
    std::vector<Tensor> runTensors(const std::vector<Tensor>& inputs);

    // How many convolutions run on the layer's Convolution or the blocked kernel, and how many
    // activations were folded.
    size_t layerConvolutionCount() const;
    size_t blockedConvolutionCount() const;
    size_t fusedActivationCount() const;

private:
    struct Step {
        enum class Kind { kernel, layerConvolution, blocked };
        Kind kind = Kind::kernel;
        int node = -1;
        std::vector<int> inputs;
        int output = -1; // the folded activation's output when fused
        bool fused = false;
        std::shared_ptr<gpu::Convolution> convolution;
        std::shared_ptr<gpu::ComputePipelineState> pipeline;
        std::shared_ptr<gpu::Buffer> weights;
        std::shared_ptr<gpu::Buffer> constant; // biases, slopes or the constant operand
        // A blocked convolution's folded PReLU, (left, top) padding, output channel groups,
        // padded output channel count and pixels per work item.
        std::shared_ptr<gpu::Buffer> slopes;
        std::pair<int, int> padding;
        int groups = 1, paddedChannels = 0, pixels = 1;
    };

    // The feature image of every value for one set of input sizes.
    struct Workspace {
        std::vector<std::shared_ptr<gpu::FeatureImage>> images;
    };

    static constexpr size_t maxIdleWorkspaces = 8;

    void plan();
    using Macros = std::vector<std::pair<std::string, int>>;
    std::shared_ptr<gpu::ComputePipelineState> pipeline(const std::string& name,
                                                        const std::string& macro = "", int value = 0);
    std::shared_ptr<gpu::ComputePipelineState> pipeline(const std::string& name, const std::string& file,
                                                        const Macros& macros);
    std::shared_ptr<gpu::Buffer> buffer(const std::vector<float>& values);
    std::unique_ptr<Workspace> makeWorkspace(const std::vector<Shape>& shapes);
    std::unique_ptr<Workspace> takeWorkspace(const std::vector<std::pair<int, int>>& key,
                                             const std::vector<Shape>& shapes);
    void returnWorkspace(const std::vector<std::pair<int, int>>& key, std::unique_ptr<Workspace> workspace,
                         bool keep);
    void finish(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer);
    void encode(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer, const Step& step,
                const Workspace& workspace, const std::vector<Shape>& shapes);

    std::shared_ptr<const Graph> graph_;
    std::shared_ptr<gpu::Device> device_;
    std::shared_ptr<gpu::CommandQueue> queue_;
    std::map<std::string, std::string> sources_; // kernel sources by file name
    std::map<std::string, std::shared_ptr<gpu::ComputePipelineState>> pipelines_;
    std::shared_ptr<gpu::ComputePipelineState> fromBgra_, toBgra_;
    std::vector<Step> steps_;

    std::mutex mutex_;
    std::map<std::vector<std::pair<int, int>>, std::vector<std::unique_ptr<Workspace>>> idle_;
};

} // namespace lumavane::ml::detail
