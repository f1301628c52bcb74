#include "Lumavane/App/AppStyle.hpp"
#include "Lumavane/App/LumavaneApp.hpp"
#include "Lumavane/App/LumavaneBrandAssets.hpp"
#include "Lumavane/App/PlayerWindow.hpp"
#include "Lumavane/App/SingleInstance.hpp"
#include "Lumavane/Panels/PlayerSettingsPanel.hpp"

#include <QApplication>

int main(int argc, char** argv) {
    using namespace lumavane;
    QApplication application(argc, argv);
    QApplication::setApplicationName("Lumavane");
    QApplication::setDesktopFileName("lumavane");

    SingleInstance instance(SingleInstance::defaultName());
    // A second launch brings the running player's window back instead.
    if (instance.notifyRunningInstance()) return 0;

    applyAppStyle(application);
    const QIcon icon = LumavaneBrandAssets::applicationIcon();
    if (!icon.isNull()) QApplication::setWindowIcon(icon);

    LumavaneApp::Options options;
    options.arguments.assign(argv, argv + argc);
    LumavaneApp player(std::move(options));
    player.openSettings = [&player] { PlayerSettingsPanel::present(player.session(), &player.window()); };
    instance.onReopen = [&player] { player.reopen(); };
    instance.listen();
    player.show();
    return application.exec();
}
