#pragma once

#include "Lumavane/Session/PlaybackSleepAssertion.hpp"
#include "Lumavane/Session/PlaybackTimingTrace.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Platform/Foundation/ManualRunLoop.hpp"
#include "Platform/System/MachineFacts.hpp"
#include "support/TemporaryDirectory.hpp"

#include <memory>
#include <string>
#include <vector>

namespace lumavane::test {

class FakeSystemFacts final : public SystemFacts {
public:
    std::optional<std::string> gpu = "Test GPU";
    std::optional<std::string> cpuModel() const override { return "Test CPU"; }
    std::optional<std::uint64_t> physicalMemoryBytes() const override { return 1ull << 30; }
    std::optional<std::string> kernelVersion() const override { return "Linux test x86_64"; }
    std::optional<std::string> operatingSystemName() const override { return "Test OS"; }
    std::optional<std::string> gpuDeviceName() const override { return gpu; }
};

// Remembers every call of the `playing` change behaviour.
class RecordingSleepPrevention final : public PlaybackSleepPreventing {
public:
    std::vector<bool> calls;
    void setPlaybackActive(bool active) override { calls.push_back(active); }
};

// A session on a manual run loop with a fresh defaults file and fakes for every service.
struct SessionHarness {
    TemporaryDirectory directory;
    DefaultsStore store{directory.path() / "defaults.json"};
    ManualRunLoop loop;
    std::shared_ptr<RecordingSleepPrevention> sleep = std::make_shared<RecordingSleepPrevention>();
    std::shared_ptr<FakeSystemFacts> facts = std::make_shared<FakeSystemFacts>();
    PlaybackTimingTrace trace{PlaybackTimingTrace::Options{}};

    // Written now, so no background write outlives the folder.
    ~SessionHarness() {
        try {
            store.synchronize();
        } catch (const std::exception&) {}
    }

    PlayerSession::Options options(PlaybackTimingTrace* timingTrace = nullptr) {
        // A manifest "loads" when its file exists; its id is the file's folder name.
        const auto loadManifest = [](const std::filesystem::path& path) {
            if (!std::filesystem::exists(path)) throw std::runtime_error("no manifest");
            ModelSeriesManifest manifest;
            manifest.id = path.parent_path().filename().string();
            return manifest;
        };
        PlayerSession::Options options{
            .preferences = store,
            .modelImportsDirectory = directory.path() / "imports",
            .playbackSleepPrevention = sleep,
            .executor = &loop,
            .systemFacts = facts,
            .timingTrace = timingTrace ? timingTrace : &trace,
            .loadModelSeriesManifest = loadManifest,
            .localize = [](const std::string& text) { return "<" + text + ">"; },
        };
        return options;
    }

    std::unique_ptr<PlayerSession> make(PlaybackTimingTrace* timingTrace = nullptr) {
        return std::make_unique<PlayerSession>(options(timingTrace));
    }
};

} // namespace lumavane::test
