#include "Lumavane/Benchmarks/DiagnosticsInformation.hpp"

#include "Platform/System/MachineFacts.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace lumavane {

namespace {

std::string number(double value) {
    return std::isfinite(value) ? fmt::format("{:.2f}", value) : "unavailable";
}

std::string truth(bool value) { return value ? "true" : "false"; }

std::string container(const DiagnosticsFacts& facts) {
    if (facts.currentVideoURL) {
        std::string extension = facts.currentVideoURL->extension().string();
        if (!extension.empty()) extension.erase(0, 1);
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        if (!extension.empty() && extension.size() <= 10 &&
            std::all_of(extension.begin(), extension.end(),
                        [](unsigned char c) { return std::isalnum(c) != 0; })) {
            return extension;
        }
    }
    return facts.hasVideo ? "Other" : "None";
}

std::string trimmedTrailingZeros(std::string text) {
    if (text.find('.') == std::string::npos) return text;
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text;
}

// The report is written in English whatever the interface language; the stored names of the
// processing modes and of the optimal scale are Japanese.
std::string english(const std::string& stored) {
    if (stored == "AUTO") return "Auto";
    if (stored == "高速") return "Fast";
    if (stored == "高画質") return "Quality";
    if (stored == "最適") return "Optimal";
    return stored;
}

} // namespace

std::string memoryText(std::uint64_t bytes) {
    if (bytes < 1024) return fmt::format("{} bytes", bytes);
    static constexpr const char* units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double value = double(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 5) {
        value /= 1024;
        ++unit;
    }
    // Kilobytes whole, megabytes to one decimal, larger units to two.
    const int decimals = unit == 0 ? 0 : unit == 1 ? 1 : 2;
    return trimmedTrailingZeros(fmt::format("{:.{}f}", value, decimals)) + " " + units[unit];
}

std::string diagnosticsOperatingSystem(const SystemFacts& facts) {
    std::string kernel = facts.kernelVersion().value_or("unavailable");
    if (kernel.rfind("Linux ", 0) == 0) kernel.erase(0, 6);
    return facts.operatingSystemName().value_or("unavailable") + ", kernel " + kernel;
}

std::string diagnosticInformation(const DiagnosticsFacts& facts) {
    const std::string backend = !facts.hasVideo      ? "None"
                                : facts.directEngine ? "Direct (FFmpeg)"
                                                     : "GStreamer";
    const std::string state = facts.playing ? "Playing" : facts.isPaused ? "Paused" : "Stopped";
    const std::string source = !facts.modelInfo ? "None" : facts.customModel ? "Custom" : "Built-in";
    const std::string shape = !facts.modelInfo
                                  ? "None"
                                  : fmt::format("{} x {}, {}x, whole-frame: {}", facts.modelInfo->inputWidth,
                                                facts.modelInfo->inputHeight, facts.modelInfo->scale,
                                                truth(facts.modelInfo->isWholeFrame));
    const std::string lines[] = {
        "Lumavane Diagnostics",
        "App version: " + facts.appVersion.value_or("unknown"),
        "Linux: " + facts.operatingSystem,
        "Machine model: " + facts.hardwareModel,
        "OpenCL device: " + facts.gpuDevice.value_or("unavailable"),
        "Memory: " + memoryText(facts.physicalMemory),
        "",
        "Video loaded: " + truth(facts.hasVideo),
        "Container: " + container(facts),
        "Playback backend: " + backend,
        "Playback state: " + state,
        "Playback rate: " + number(facts.playbackRate) + "x",
        "Source resolution: " + facts.resolution,
        "Source FPS: " + number(facts.sourceFPS),
        "Output resolution: " + facts.outputResolution,
        "",
        "View mode: " + facts.viewMode,
        "Enhancement enabled: " + truth(facts.enabled),
        "Enhancement visible: " + truth(facts.showingEnhancement),
        "Processing mode: " + english(facts.processingMode),
        "Output scale: " + english(facts.outputScale),
        "Model source: " + source,
        "Model shape: " + shape,
        "Processing time: " + number(facts.processingMS) + " ms",
        "Enhanced FPS: " + number(facts.enhancedFPS),
        "Tiles: " + std::to_string(facts.tiles),
        "Frame age: " + number(facts.frameAgeMS) + " ms",
        "Display GPU: " + number(facts.displayGPUms) + " ms",
        "",
        "Media content: Not included",
        "File name/path: Not included",
    };
    return fmt::format("{}", fmt::join(lines, "\n"));
}

} // namespace lumavane
