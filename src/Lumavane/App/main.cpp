#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/App/LumavaneApp.hpp"
#include "Lumavane/Style/LumavaneBrandAssets.hpp"
#include "Lumavane/App/PlayerWindow.hpp"
#include "Lumavane/App/SingleInstance.hpp"
#include "Lumavane/Panels/PlayerSettingsPanel.hpp"
#include "Lumavane/Panels/PostProcessPanel.hpp"
#include "Lumavane/Panels/SubtitleAppearance.hpp"
#include "Lumavane/Sheets/BenchmarkSheetSession.hpp"
#include "Lumavane/Sheets/ModelImportSheet.hpp"
#include "Lumavane/Views/ContentView.hpp"
#include "Lumavane/Views/TransportSessionBinding.hpp"
#include "Lumavane/Session/PlaybackTimingTrace.hpp"

#include <QApplication>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

int main(int argc, char** argv) {
    using namespace lumavane;
    // Mesa's shader cache writes on a thread at the lowest priority; when that thread is the last
    // one out at exit it frees all the process's memory, and on a busy machine it got the processor
    // so rarely that the process lived on for seconds after quitting. The video is drawn with one
    // small shader, compiled at start in milliseconds. A value the user set stays.
    ::setenv("MESA_SHADER_CACHE_DISABLE", "true", 0);
    QApplication application(argc, argv);
    QApplication::setApplicationName("Lumavane");
    QApplication::setDesktopFileName("lumavane");

    // Before anything slow: a launch made while this one starts up must find it.
    const std::vector<std::string> arguments(argv, argv + argc);
    SingleInstance instance(SingleInstance::defaultName());
    switch (instance.claim(LaunchOptions::parse(arguments))) {
    case SingleInstance::Claim::player:
        break;
    case SingleInstance::Claim::forwarded:
        return 0;
    case SingleInstance::Claim::unreachable:
        std::cerr << "lumavane: a running player did not answer\n";
        return 1;
    }

    applyAppStyle(application);
    const QIcon icon = LumavaneBrandAssets::applicationIcon();
    if (!icon.isNull()) QApplication::setWindowIcon(icon);

    LumavaneApp::Options options;
    options.arguments = arguments;
    LumavaneApp player(std::move(options));
    player.openSettings = [&player] { PlayerSettingsPanel::present(player.session(), &player.window()); };
    PlayerSessionBenchmarkSource benchmarks(player.session());
    presentBenchmarkSheets(player.contentView(), benchmarks, &player.window());
    presentModelImportSheets(player.contentView(), player.session(), &player.window());
    if (TransportSessionBinding* transport = player.contentView().transportBinding())
        transport->makeEffectsPanel = [&player] { return new PostProcessPanel(player.session(), accentColor()); };
    player.contentView().setSubtitleRenderer(
        {[](const std::string& name, double size) { return subtitlePreviewFont(name, size); },
         [](const QFont& font, const QString& text, int width, const std::string& style, double transparency) {
             return SubtitleAppearance{style, transparency}.sizeFor(font, text, width);
         },
         [](QPainter& painter, const QRect& area, const QString& text, const std::string& style,
            double transparency) { SubtitleAppearance{style, transparency}.paint(painter, area, text); }});
    player.show();
    instance.setLaunchHandler([&player](const LaunchOptions& launch) { player.openLaunch(launch); });
    const int status = application.exec();
    // A launch made while this player winds down (background kernel builds can keep it for
    // seconds) must not wait for it or be handed to it.
    instance.release();
    PlaybackTimingTrace::shared().finish();
    // Everything was saved when the window closed. A model still building on a background queue
    // (its kernels compile for seconds with an empty cache, and a compile cannot be stopped) would
    // hold the process in the session's teardown: the teardown gets a moment, then the process ends.
    std::thread([status] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::_Exit(status);
    }).detach();
    return status;
}
