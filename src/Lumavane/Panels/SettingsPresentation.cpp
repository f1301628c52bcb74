#include "Lumavane/Benchmarks/DiagnosticsInformation.hpp"
#include "Lumavane/Panels/PlayerSettingsPanel.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Platform/Foundation/AppInfo.hpp"
#include "Platform/System/MachineFacts.hpp"

#include <QPointer>

namespace lumavane {

std::string PlayerSettingsPanel::sessionDiagnostics(const PlayerSession& session) {
    static const MachineFacts machine;
    DiagnosticsFacts facts;
    // The report's own rule: no version when the application facts lack one.
    facts.appVersion = appInfoString("CFBundleShortVersionString");
    facts.operatingSystem = diagnosticsOperatingSystem(machine);
    facts.gpuDevice = machine.gpuDeviceName();
    facts.hardwareModel = hardwareModelIdentifier();
    facts.physicalMemory = machine.physicalMemoryBytes().value_or(0);
    facts.hasVideo = session.hasVideo.get();
    facts.currentVideoURL = session.currentVideoURL.get();
    facts.playing = session.playing.get();
    facts.isPaused = session.isPaused.get();
    facts.playbackRate = session.playbackRate.get();
    facts.resolution = session.resolution.get();
    facts.sourceFPS = session.sourceFPS.get();
    facts.outputResolution = session.outputResolution.get();
    facts.viewMode = rawValue(session.mode.get());
    facts.enabled = session.enabled.get();
    facts.showingEnhancement = session.showingEnhancement.get();
    facts.processingMode = rawValue(session.bundledModelPreset.get());
    facts.outputScale = rawValue(session.outputScale.get());
    facts.modelInfo = session.modelInfo.get();
    facts.customModel = session.customModelURL.get().has_value();
    const PlaybackStatistics statistics = session.statistics();
    facts.processingMS = statistics.processingMS;
    facts.enhancedFPS = statistics.enhancedFPS;
    facts.tiles = statistics.tiles;
    facts.frameAgeMS = statistics.frameAgeMS;
    facts.displayGPUms = statistics.displayGPUms;
    return diagnosticInformation(facts);
}

PlayerSettingsPanel* PlayerSettingsPanel::present(PlayerSession& session, QWidget* window) {
    static QPointer<PlayerSettingsPanel> open;
    if (!open) {
        Dependencies dependencies;
        dependencies.diagnostics = [&session] { return sessionDiagnostics(session); };
        open = new PlayerSettingsPanel(std::move(dependencies), window);
        open->setAttribute(Qt::WA_DeleteOnClose);
        open->setWindowModality(Qt::WindowModal);
    }
    open->show();
    open->raise();
    open->activateWindow();
    return open;
}

} // namespace lumavane
