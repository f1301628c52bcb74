#include "Lumavane/Benchmarks/DiagnosticsInformation.hpp"
#include "Platform/System/MachineFacts.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

namespace lumavane {
namespace {

TEST(DiagnosticsInformation, NamesLinuxTheMachineAndThePlayerStateButNoFile) {
    DiagnosticsFacts facts;
    facts.appVersion = "1.2";
    facts.operatingSystem = "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64 x86_64";
    facts.gpuDevice = "cpu-haswell";
    facts.hardwareModel = "LENOVO 20XW";
    facts.physicalMemory = std::uint64_t(16) << 30;
    facts.hasVideo = true;
    facts.currentVideoURL = "/home/me/Private Film.MKV";
    facts.playing = true;
    facts.playbackRate = 1;
    facts.resolution = "1920 × 1080";
    facts.sourceFPS = 23.976;
    facts.outputResolution = "3840 × 2160";
    facts.viewMode = "Enhanced";
    facts.enabled = true;
    facts.showingEnhancement = true;
    facts.processingMode = "高速";
    facts.outputScale = "2×";
    facts.modelInfo = ModelInfo{"Fast", 256, 256, 2, "", "", false};
    facts.processingMS = NAN;
    facts.enhancedFPS = 59.94;
    facts.tiles = 1;
    EXPECT_EQ(diagnosticInformation(facts),
              "Lumavane Diagnostics\n"
              "App version: 1.2\n"
              "Linux: Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64 x86_64\n"
              "Machine model: LENOVO 20XW\n"
              "OpenCL device: cpu-haswell\n"
              "Memory: 16 GB\n"
              "\n"
              "Video loaded: true\n"
              "Container: mkv\n"
              "Playback backend: GStreamer\n"
              "Playback state: Playing\n"
              "Playback rate: 1.00x\n"
              "Source resolution: 1920 × 1080\n"
              "Source FPS: 23.98\n"
              "Output resolution: 3840 × 2160\n"
              "\n"
              "View mode: Enhanced\n"
              "Enhancement enabled: true\n"
              "Enhancement visible: true\n"
              "Processing mode: Fast\n"
              "Output scale: 2×\n"
              "Model source: Built-in\n"
              "Model shape: 256 x 256, 2x, whole-frame: false\n"
              "Processing time: unavailable ms\n"
              "Enhanced FPS: 59.94\n"
              "Tiles: 1\n"
              "Frame age: 0.00 ms\n"
              "Display GPU: 0.00 ms\n"
              "\n"
              "Media content: Not included\n"
              "File name/path: Not included");
}

TEST(DiagnosticsInformation, ContainerBackendAndFallbackTexts) {
    const auto line = [](const DiagnosticsFacts& facts, const std::string& prefix) {
        const std::string text = diagnosticInformation(facts);
        const auto start = text.find("\n" + prefix);
        return start == std::string::npos ? std::string("missing")
                                          : text.substr(start + 1, text.find('\n', start + 1) - start - 1);
    };
    DiagnosticsFacts none;
    EXPECT_EQ(line(none, "App version"), "App version: unknown");
    EXPECT_EQ(line(none, "OpenCL device"), "OpenCL device: unavailable");
    EXPECT_EQ(line(none, "Container"), "Container: None");
    EXPECT_EQ(line(none, "Playback backend"), "Playback backend: None");
    EXPECT_EQ(line(none, "Playback state"), "Playback state: Stopped");
    EXPECT_EQ(line(none, "Model shape"), "Model shape: None");

    const std::pair<const char*, const char*> containers[] = {{"/v/clip.mp4", "mp4"},
                                                              {"/v/clip.tar-gz", "Other"},
                                                              {"/v/clip.abcdefghijk", "Other"},
                                                              {"/v/clip", "Other"},
                                                              {"/v/clip.ts", "ts"}};
    for (const auto& [path, expected] : containers) {
        DiagnosticsFacts facts;
        facts.hasVideo = true;
        facts.currentVideoURL = path;
        facts.directEngine = true;
        facts.isPaused = true;
        facts.modelInfo = ModelInfo{};
        facts.customModel = true;
        EXPECT_EQ(line(facts, "Container"), std::string("Container: ") + expected) << path;
        EXPECT_EQ(line(facts, "Playback backend"), "Playback backend: Direct (FFmpeg)");
        EXPECT_EQ(line(facts, "Playback state"), "Playback state: Paused");
        EXPECT_EQ(line(facts, "Model source"), "Model source: Custom");
    }

    // The report stays English: the session's stored mode and scale names are Japanese.
    for (const auto& [mode, scale, expectedMode, expectedScale] :
         {std::tuple{"AUTO", "最適", "Auto", "Optimal"}, std::tuple{"高画質", "4×", "Quality", "4×"}}) {
        DiagnosticsFacts facts;
        facts.processingMode = mode;
        facts.outputScale = scale;
        EXPECT_EQ(line(facts, "Processing mode"), std::string("Processing mode: ") + expectedMode);
        EXPECT_EQ(line(facts, "Output scale"), std::string("Output scale: ") + expectedScale);
    }

    const std::pair<std::uint64_t, const char*> memory[] = {{512, "512 bytes"},
                                                            {64 << 10, "64 KB"},
                                                            {3 << 19, "1.5 MB"},
                                                            {std::uint64_t(16772579328), "15.62 GB"}};
    for (const auto& [bytes, expected] : memory) EXPECT_EQ(memoryText(bytes), expected) << bytes;
}

struct FakeFacts final : SystemFacts {
    std::optional<std::string> cpuModel() const override { return std::nullopt; }
    std::optional<std::uint64_t> physicalMemoryBytes() const override { return std::nullopt; }
    std::optional<std::string> kernelVersion() const override { return "Linux 6.1.0-18-amd64 x86_64"; }
    std::optional<std::string> operatingSystemName() const override {
        return "Debian GNU/Linux 12 (bookworm)";
    }
    std::optional<std::string> gpuDeviceName() const override { return std::nullopt; }
};

TEST(DiagnosticsInformation, OperatingSystemNamesTheDistributionAndTheKernel) {
    EXPECT_EQ(diagnosticsOperatingSystem(FakeFacts()),
              "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64 x86_64");
}

} // namespace
} // namespace lumavane
