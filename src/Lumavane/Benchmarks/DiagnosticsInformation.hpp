#pragma once

#include "EnhancementCore/ModelInfo.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace lumavane {

class SystemFacts;

// What the diagnostics text tells: the machine's facts and the player's state, read by the
// session on the main thread.
struct DiagnosticsFacts {
    std::optional<std::string> appVersion;
    // diagnosticsOperatingSystem(): the distribution and the kernel.
    std::string operatingSystem;
    std::optional<std::string> gpuDevice;
    // hardwareModelIdentifier().
    std::string hardwareModel;
    std::uint64_t physicalMemory = 0;

    bool hasVideo = false;
    // Only its extension is told.
    std::optional<std::filesystem::path> currentVideoURL;
    bool directEngine = false;
    bool playing = false;
    bool isPaused = false;
    double playbackRate = 1;
    std::string resolution;
    double sourceFPS = 0;
    std::string outputResolution;

    // The raw values of the view mode, processing preset and output scale.
    std::string viewMode;
    bool enabled = false;
    bool showingEnhancement = false;
    std::string processingMode;
    std::string outputScale;
    std::optional<ModelInfo> modelInfo;
    bool customModel = false;
    double processingMS = 0;
    double enhancedFPS = 0;
    int tiles = 0;
    double frameAgeMS = 0;
    double displayGPUms = 0;
};

// The plain-text diagnostics the user copies (and the benchmark report ends with). Names no
// media content, file name or path.
std::string diagnosticInformation(const DiagnosticsFacts& facts);

// "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64 x86_64"; "unavailable" parts when
// unknown.
std::string diagnosticsOperatingSystem(const SystemFacts& facts);

// Memory in 1024-based units: "512 bytes", "64 KB", "1.5 MB", "15.62 GB".
std::string memoryText(std::uint64_t bytes);

} // namespace lumavane
