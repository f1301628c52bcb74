#include "EnhancementCore/EnhancementError.hpp"

namespace lumavane::EnhancementMessage {

std::string fixedSizeOnly(long long modelWidth, long long modelHeight) {
    return "このモデルは" + std::to_string(modelWidth) + "×" + std::to_string(modelHeight) +
           "入力専用です。動画と同じ解像度のモデルを使用してください。";
}

std::string imageMemory(int status) {
    return "画像用メモリを確保できませんでした（" + std::to_string(status) + "）。";
}

std::string sharedTexture(int status) {
    return "ピクセルバッファをMetalテクスチャとして共有できません（" + std::to_string(status) + "）。";
}

} // namespace lumavane::EnhancementMessage
