#pragma once

#include <filesystem>

namespace lumavane {

// Which enhancer can load a model location.
enum class ModelFormat { coreML, compactMetal };

// Classifies `url`: Core ML extensions are decided without touching the disk;
// anything else must be a folder with a compact manifest. Reads at most
// `manifest.json` inside `url`, and refuses one over the compact module's manifest limit
// unread. Throws EnhancementError.
ModelFormat detect(const std::filesystem::path& url);

} // namespace lumavane
