#pragma once

// Core ML models for the enhancer tests, written with the model runtime's test writer: a small
// super-resolution network (conv 3x3, PReLU, conv 3x3, pixel shuffle) as a neural network in a
// ".mlmodel" file, as an ML program in a ".mlpackage", or compiled into a ".mlmodelc".

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "EnhancementCore/EnhancementError.hpp"
#include "EnhancementCore/Enhancer.hpp"
#include "EnhancementCore/MessageOf.hpp"
#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Foundation/PlatformError.hpp"
#include "Platform/Ml/Model.hpp"
#include "Platform/Ml/ModelWriter.hpp"
#include "Platform/Video/PixelBuffer.hpp"

namespace lumavane::testing {

namespace fs = std::filesystem;

enum class ModelForm { modelFile, package, compiled };
inline constexpr ModelForm allForms[] = {ModelForm::modelFile, ModelForm::package, ModelForm::compiled};
const char* extensionOf(ModelForm form);

// Weights of the network; every value exact in half precision.
struct NetworkWeights {
    NetworkWeights(int scale, int channels, std::uint32_t seed, int outputChannels = 3);
    int scale;
    int channels;
    int outputChannels;
    std::vector<float> w1, b1, slopes, w2, b2;
};

struct ModelShape {
    int inputWidth = 0, inputHeight = 0;
    int outputWidth = 0, outputHeight = 0;
    std::map<std::string, std::string> metadata;
    // Accepts any input from 1 × 1 up to maximumSide × maximumSide.
    bool flexible = false;
    int maximumSide = 2048;
    // The input is a multi-array instead of an image.
    bool arrayInput = false;
    // A second image output.
    bool secondOutput = false;
};

// Writes `folder`/`stem`.<extension of form> and returns its path. The network computes what
// `weights` say; the description says what `shape` says, true or not.
fs::path writeModel(const fs::path& folder, const std::string& stem, ModelForm form,
                    const NetworkWeights& weights, const ModelShape& shape);

// Compiled copies the runtime left in the temporary folder for models named `stem`.
std::vector<fs::path> compiledCopies(const std::string& stem);

// The same network on the CPU reference executor, for any input size up to 4096 per side.
std::shared_ptr<ml::Model> referenceModel(const fs::path& folder, const NetworkWeights& weights);
PixelBuffer predict(const ml::Model& model, const PixelBuffer& image);

PixelBuffer randomImage(int width, int height, std::uint32_t seed);
// The image with its edge pixels repeated `margin` pixels outward on every side.
PixelBuffer extendedByEdges(const PixelBuffer& image, int margin);
// Copies a BGRA image's pixels into a new buffer of the same size (a prediction result must
// not share memory with a later one).
PixelBuffer copyOf(const PixelBuffer& image);

// Largest absolute difference of the colour bytes of `a` and the region of `b` whose top-left
// corner (in memory rows) is at (x, row); `a` gives the size.
int largestDifference(const PixelBuffer& a, const PixelBuffer& b, int x = 0, int row = 0);

} // namespace lumavane::testing

namespace lumavane {

// What the tests read of an enhancer's private state.
struct EnhancerTestAccess {
    static const PixelBuffer& wholeFrameBuffer(const Enhancer& e) { return e.wholeFrameBuffer_; }
    static const std::optional<image::Size>& wholeFrameFixedSize(const Enhancer& e) {
        return e.wholeFrameFixedSize_;
    }
    static std::size_t pipelineSlotCount(const Enhancer& e) { return e.pipelineSlots_.size(); }
    static const EnhancerOutputPool& outputPool(const Enhancer& e) { return e.outputPool_; }
    static const PixelBuffer& inputBuffer(const Enhancer& e) { return e.inputBuffer_; }
};

} // namespace lumavane
