#pragma once

#include "EnhancementCore/EnhancementResult.hpp"
#include "EnhancementCore/ModelInfo.hpp"
#include "Lumavane/Session/SessionTypes.hpp"
#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Image/Geometry.hpp"
#include "Platform/Image/Image.hpp"
#include "Platform/Video/PixelBuffer.hpp"
#include "VideoPresentation/PostProcessSettings.hpp"

#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace lumavane {

class CompactEnhancer;
class Enhancer;
class PostProcessRenderer;

// The session's loaded model: a Core ML enhancer or a compact one. Called on the inference
// queue, one call at a time.
class PlaybackEnhancer {
public:
    virtual ~PlaybackEnhancer() = default;
    virtual const ModelInfo& info() const = 0;
    // The enhanced picture and its tile count. `buffer` is the decoder's frame of `image` when it
    // may be read directly; `outputSize` the display-sized target of the optimal scale.
    virtual EnhancementResult enhancePipelined(const image::Image& image, const std::optional<PixelBuffer>& buffer,
                                               std::optional<image::Size> outputSize,
                                               const CancellationToken& cancellation) = 0;
    // GPU milliseconds of the last frame (compact models only; the trace's "complete" value).
    virtual double lastGPUMS() const { return 0; }
    virtual bool supportsNative4xOutput() const { return false; }
    virtual bool supportsOptimalDisplayOutput() const { return false; }
};

// Builds the enhancer for a model location and output scale; slow, so call it off the main thread.
class PlaybackEnhancerFactory {
public:
    virtual ~PlaybackEnhancerFactory() = default;
    virtual std::shared_ptr<PlaybackEnhancer> make(const std::filesystem::path& url, OutputScale scale) = 0;
};

// The application's factory: a compact model folder (direct input; native 4x output for `four`,
// display-sized output for `optimal` when the model can write it) or a Core ML model in tiles
// (16 pixels of padding, CPU and GPU). Throws the enhancers' errors unchanged.
class ModelPlaybackEnhancerFactory final : public PlaybackEnhancerFactory {
public:
    std::shared_ptr<PlaybackEnhancer> make(const std::filesystem::path& url, OutputScale scale) override;
};

// The effects pass before upscaling. Built on first use on the inference queue; without a GPU
// device there is none, and the enhancer then reads the source itself.
class PreEnhancementProcessor {
public:
    PreEnhancementProcessor();
    ~PreEnhancementProcessor();
    // The picture with the effects, or nothing when no renderer can be had. Throws the
    // renderer's errors.
    std::optional<image::Image> render(const image::Image& image, const PostProcessConfiguration& configuration);

private:
    std::once_flag once_;
    std::unique_ptr<PostProcessRenderer> renderer_;
};

// The session's lookup of an interface text in the user's language.
using Localize = std::function<std::string(const std::string&)>;

// The general texts of a failure, each naming what failed ("%@").
namespace ModelFailureMessage {
inline constexpr const char* unreadable = "「%@」を読み込めませんでした。";
inline constexpr const char* enhancement = "「%@」で高画質化できませんでした。";
inline constexpr const char* installation = "「%@」をインポートできませんでした。";
// The model's file or folder is no longer there (moved or deleted since it was imported).
inline constexpr const char* missing = "「%@」が見つかりません。移動または削除された可能性があります。";
} // namespace ModelFailureMessage

// One of the ModelFailureMessage texts in the user's language, naming `name`.
std::string failureText(const Localize& localize, const char* message, const std::string& name);
// What a file or folder is called in a message: its last path component.
std::string displayName(const std::filesystem::path& url);

// The text an error shows the user, in the user's language. Our own messages are shown, their
// numbers filled in; a library's or a developer's text never is (it means nothing to a person, and
// may name private paths): the user reads `general` instead, and the detail goes to the standard
// error stream.
std::string errorDescription(const std::exception_ptr& error, const Localize& localize,
                             const std::string& general);
// errorDescription with one of the ModelFailureMessage texts, naming `name`, as the general text.
std::string modelFailureDescription(const std::exception_ptr& error, const Localize& localize,
                                    const char* message, const std::string& name);
// The compact enhancer lends only a few output buffers; while the display and the queue of
// enhanced frames hold them all it has no buffer for the next frame, which is no model fault.
bool isOutputBusy(const std::exception_ptr& error);

} // namespace lumavane
