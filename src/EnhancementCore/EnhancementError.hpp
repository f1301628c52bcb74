#pragma once

#include "CompactMetal/CompactMetalError.hpp"

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumavane {

// The one error the enhancement module raises itself. The payload is the whole
// user-facing message; platform and engine errors travel as their own types.
class EnhancementError : public std::runtime_error {
public:
    static EnhancementError invalid(const std::string& message) {
        return EnhancementError(message, message, {});
    }
    // A message with numbers in it: each "%lld" of `format` is filled in with the next number. The
    // format travels with the error, so that the text can be looked up and filled in another
    // language.
    static EnhancementError invalid(const char* format, std::vector<long long> numbers);

    const std::string& message() const noexcept { return message_; }
    std::optional<std::string> errorDescription() const { return message_; }
    // The message before its numbers were filled in (the message itself when it has none).
    const std::string& format() const noexcept { return format_; }
    const std::vector<long long>& numbers() const noexcept { return numbers_; }

private:
    EnhancementError(std::string message, std::string format, std::vector<long long> numbers)
        : std::runtime_error(message),
          message_(std::move(message)),
          format_(std::move(format)),
          numbers_(std::move(numbers)) {}

    std::string message_;
    std::string format_;
    std::vector<long long> numbers_;
};

// Every message the module raises, so the vocabulary stands in one place. The texts are the
// keys of the interface's string tables.
namespace EnhancementMessage {

inline constexpr const char* onnxUnsupported =
    "ONNXを直接読み込む機能は未対応です。Core ML形式（.mlpackage / .mlmodel）へ変換してから選択してください。";
inline constexpr const char* chooseModel =
    "Core MLモデル（.mlpackage / .mlmodel / .mlmodelc）またはtools/models/export.pyで作成したコンパクトモデルフォルダを選択してください。";
inline constexpr const char* manifestTooLarge =
    "manifest.jsonが大きすぎます（上限4MiB）。tools/models/export.pyで作成したコンパクトモデルフォルダを選択してください。";
inline constexpr const char* textureCache = "GPUテクスチャキャッシュを作れません。";
inline constexpr const char* outputPool = "出力プールを作れません。";
inline constexpr const char* imageExtent = "有限の整数サイズ・原点0の画像が必要です。";
inline constexpr const char* inputTexture = "入力テクスチャを作れません。";
inline constexpr const char* metalOutputLimit = CompactMetalError::outputLimitMessage;
inline constexpr const char* resizedPool = "動画サイズに合わせたGPUバッファを作れません。";
inline constexpr const char* outputBusy = "GPU出力バッファが使用中です。";
inline constexpr const char* metalCommand = "GPUコマンドを作れません。";
inline constexpr const char* renderTargetSize = "描画先テクスチャのサイズが推論出力と一致しません。";
inline constexpr const char* directDestination = "直接描画先は出力サイズのBGRA8Unormテクスチャが必要です。";
inline constexpr const char* chooseCoreML =
    "Core ML（.mlpackage / .mlmodel / .mlmodelc）を選択してください。.pth は先にCore ML形式へ変換します。";
inline constexpr const char* unsupportedWholeFrame =
    "未対応の全画面モデルです。固定入力サイズと1〜4倍の出力倍率を変換時に指定してください。";
inline constexpr const char* realCUGANWholeFrame =
    "Real-CUGANは全画面処理が必要です。全画面処理用に変換したモデルを選択してください。";
inline constexpr const char* unsupportedModel =
    "対応モデルはRGB画像の1入力・1出力、固定タイル、等倍〜4倍です。この条件に合わせて変換したモデルを使用してください。";
inline constexpr const char* noMetalDevice = "OpenCL対応のデバイスが見つかりません。";
inline constexpr const char* wholeFrameSize = "全画面モデルの入力は各辺1〜2048pxの整数サイズに対応します。";
// Numbers: the model's width and height.
inline constexpr const char* fixedSizeOnly =
    "このモデルは%lld×%lld入力専用です。動画と同じ解像度のモデルを使用してください。";
inline constexpr const char* outputScaleMismatch = "モデルの出力サイズが宣言された倍率と一致しません。";
inline constexpr const char* outputLimitSequential =
    "出力上限（各辺8192px、合計約33MP）を超えます。小さい動画を使用してください。";
inline constexpr const char* outputLimitPipelined = "出力上限（各辺8192px、合計約33MP）を超えます。";
inline constexpr const char* tileGeometry = "タイルサイズまたは余白が不正です。";
inline constexpr const char* noModelImage = "モデルから画像を取得できませんでした。";
inline constexpr const char* tilesInFlight = "同時処理タイル数は1〜6にしてください。";
inline constexpr const char* outputBufferPool = "出力バッファプールを作成できません。";
inline constexpr const char* outputBuffer = "出力バッファを取得できません。";
// Number: the pixel-buffer layer's status.
inline constexpr const char* imageMemory = "画像用メモリを確保できませんでした（%lld）。";
inline constexpr const char* compositeCommand = "GPUの合成コマンドを作成できません。";
// Number: the pixel-buffer layer's status.
inline constexpr const char* sharedTexture = "ピクセルバッファをGPUテクスチャとして共有できません（%lld）。";
inline constexpr const char* compositeResources = "GPU合成用のリソースを確保できません。";

// All of the above: each needs its translations in the interface's string tables.
inline constexpr std::array all{
    onnxUnsupported,     chooseModel,           manifestTooLarge,     textureCache,   outputPool,
    imageExtent,         inputTexture,          metalOutputLimit,     resizedPool,    outputBusy,
    metalCommand,        renderTargetSize,      directDestination,    chooseCoreML,   unsupportedWholeFrame,
    realCUGANWholeFrame, unsupportedModel,      noMetalDevice,        wholeFrameSize, fixedSizeOnly,
    outputScaleMismatch, outputLimitSequential, outputLimitPipelined, tileGeometry,   noModelImage,
    tilesInFlight,       outputBufferPool,      outputBuffer,         imageMemory,    compositeCommand,
    sharedTexture,       compositeResources,
};

} // namespace EnhancementMessage

} // namespace lumavane
