#pragma once

#include <filesystem>
#include <memory>

#include "Platform/Ml/FeatureValue.hpp"
#include "Platform/Ml/MlTypes.hpp"

namespace lumavane::ml {

namespace detail {
struct LoadedModel;
}

// A loaded model: an image-to-image network read from a compiled model folder.
//
// Compiled folders (".mlmodelc") are this runtime's own form, made by compileModel():
//   <name>.mlmodelc/model.mlmodel         the model spec file (protobuf), unchanged
//   <name>.mlmodelc/weights/...           the weight files of an ML program, unchanged
//   <name>.mlmodelc/compiled.json         {"format": "lumavane-mlmodelc", "version": 1}
// Folders compiled by other tools are refused at load.
//
// Every failure throws PlatformError of errorDomain with a description that says what was wrong
// (an unsupported layer or operation is named, with the layer or value it produces).
class Model {
public:
    // Reads a ".mlmodel" file or ".mlpackage" folder, checks that it is a model spec file
    // of a kind this runtime reads, and writes a compiled folder into the temporary directory
    // (a new, uniquely named "<name>-XXXXXX.mlmodelc"). The caller owns and removes it.
    static std::filesystem::path compileModel(const std::filesystem::path& url);

    // Loads a compiled folder: builds the network, refusing layers and operations it cannot run,
    // format versions and operation sets newer than it reads, and fixed-size models whose network
    // makes outputs of other sizes than they declare; then prepares it for the compute units.
    static std::shared_ptr<Model> load(const std::filesystem::path& compiledURL,
                                       const ModelConfiguration& configuration = {});

    ~Model();
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    const ModelDescription& modelDescription() const noexcept;
    const ModelConfiguration& configuration() const noexcept;
    // True when predictions run on the GPU layer, false on the CPU reference executor.
    bool runsOnGPU() const noexcept;

    // Runs the network on the input images (32-bit BGRA pixel buffers, each of a size its image
    // constraint allows) and returns every output image as a BGRA pixel buffer. Safe to call
    // from several threads at once; each call waits for its own work only.
    FeatureProvider prediction(const FeatureProvider& input, const PredictionOptions& options = {}) const;

    // Internal.
    explicit Model(std::unique_ptr<detail::LoadedModel> loaded);

private:
    std::unique_ptr<detail::LoadedModel> loaded_;
};

} // namespace lumavane::ml
