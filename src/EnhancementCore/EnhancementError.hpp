#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace lumavane {

// The one error the enhancement module raises itself. The payload is the whole
// user-facing message; platform and engine errors travel as their own types.
class EnhancementError : public std::runtime_error {
public:
    static EnhancementError invalid(std::string message) { return EnhancementError(std::move(message)); }

    const std::string& message() const noexcept { return message_; }
    std::optional<std::string> errorDescription() const { return message_; }

private:
    explicit EnhancementError(std::string message)
        : std::runtime_error(message), message_(std::move(message)) {}

    std::string message_;
};

// Every message the module raises, so the vocabulary stands in one place.
namespace EnhancementMessage {

inline constexpr const char* onnxUnsupported =
    "ONNXを直接読み込む機能は未対応です。Real-CUGAN 2x-fastはScripts/convert_realcugan.pyで.mlpackageへ変換してから選択してください。";
inline constexpr const char* chooseModel =
    "Core MLモデル（.mlpackage / .mlmodel / .mlmodelc）またはexport_compact.pyで作成したMetalモデルフォルダを選択してください。";
inline constexpr const char* manifestTooLarge =
    "manifest.jsonが大きすぎます（上限4MiB）。export_compact.pyで作成したMetalモデルフォルダを選択してください。";
inline constexpr const char* textureCache = "Metal texture cacheを作れません。";
inline constexpr const char* outputPool = "出力プールを作れません。";
inline constexpr const char* imageExtent = "有限の整数サイズ・原点0の画像が必要です。";
inline constexpr const char* inputTexture = "入力テクスチャを作れません。";
inline constexpr const char* metalOutputLimit = "Metal出力上限（各辺8192px・約33MP）を超えています。";
inline constexpr const char* resizedPool = "動画サイズに合わせたGPUバッファを作れません。";
inline constexpr const char* outputBusy = "Metal出力バッファが使用中です。";
inline constexpr const char* metalCommand = "Metalコマンドを作れません。";
inline constexpr const char* renderTargetSize = "描画先テクスチャのサイズが推論出力と一致しません。";
inline constexpr const char* directDestination = "直接描画先は出力サイズのBGRA8Unormテクスチャが必要です。";
inline constexpr const char* chooseCoreML =
    "Core ML（.mlpackage / .mlmodel / .mlmodelc）を選択してください。.pth は Scripts/convert_model.py で先に変換します。";
inline constexpr const char* unsupportedWholeFrame =
    "未対応の全画面モデルです。固定入力サイズと1〜4倍の出力倍率を変換時に指定してください。";
inline constexpr const char* realCUGANWholeFrame =
    "Real-CUGANは全画面処理が必要です。Scripts/convert_realcugan.pyで変換したモデルを選択してください。";
inline constexpr const char* unsupportedModel =
    "対応モデルはRGB画像の1入力・1出力、固定タイル、等倍〜4倍です。変換スクリプトで作成したモデルを使用してください。";
inline constexpr const char* noMetalDevice = "OpenCL対応のデバイスが見つかりません。";
inline constexpr const char* wholeFrameSize = "全画面モデルの入力は各辺1〜2048pxの整数サイズに対応します。";
std::string fixedSizeOnly(long long modelWidth, long long modelHeight);
inline constexpr const char* outputScaleMismatch = "モデルの出力サイズが宣言された倍率と一致しません。";
inline constexpr const char* outputLimitSequential =
    "PoCの出力上限（各辺8192px、合計約33MP）を超えます。小さい動画を使用してください。";
inline constexpr const char* outputLimitPipelined = "PoCの出力上限（各辺8192px、合計約33MP）を超えます。";
inline constexpr const char* tileGeometry = "タイルサイズまたは余白が不正です。";
inline constexpr const char* noModelImage = "モデルから画像を取得できませんでした。";
inline constexpr const char* tilesInFlight = "同時処理タイル数は1〜6にしてください。";
inline constexpr const char* outputBufferPool = "出力バッファプールを作成できません。";
inline constexpr const char* outputBuffer = "出力バッファを取得できません。";
std::string imageMemory(int status);
inline constexpr const char* compositeCommand = "Metalの合成コマンドを作成できません。";
std::string sharedTexture(int status);
inline constexpr const char* compositeResources = "Metal合成用のリソースを確保できません。";

} // namespace EnhancementMessage

} // namespace lumavane
