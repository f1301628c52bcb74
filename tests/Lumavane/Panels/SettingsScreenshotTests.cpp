// Grabs each tab of the panel, in the application's style, into PNGs to look at:
// $LUMAVANE_SCREENSHOT_DIR, else /tmp/lumavane-settings-screenshots.
#include "PanelsTestSupport.hpp"
#include "Lumavane/Style/AppStyle.hpp"

#include <gtest/gtest.h>

#include <QPixmap>
#include <QTest>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

TEST(SettingsScreenshots, EachTabInBothLanguages) {
    test::PanelHarness h("screenshots");
    applyAppStyle(test::application());
    const char* dir = std::getenv("LUMAVANE_SCREENSHOT_DIR");
    const fs::path out = dir ? dir : "/tmp/lumavane-settings-screenshots";
    fs::create_directories(out);
    h.defaults.set("player.captureSaveMode", "folder");
    h.defaults.set("player.captureDirectory", "/home/someone/Pictures/Lumavane captures/a rather long folder name/2026");
    PlayerSettingsPanel::Dependencies d;
    d.defaults = h.defaults;
    d.languages = &h.languages;
    d.packs = &h.packs;
    d.fileDialogs = &h.dialogs;
    d.diagnostics = [] { return std::string("Lumavane Diagnostics"); };
    PlayerSettingsPanel panel(std::move(d)); // the shipped licences
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    const char* names[] = {"general", "subtitles", "capture", "about", "licenses"};
    for (const char* language : {"ja", "en"}) {
        h.languages.select(language);
        for (PlayerSettingsPanel::Tab tab : PlayerSettingsPanel::allTabs()) {
            panel.selectTab(tab);
            if (tab == PlayerSettingsPanel::Tab::about && std::string(language) == "en") panel.copyDiagnostics();
            QTest::qWait(50);
            const fs::path file = out / (std::string(language) + "-" + names[int(tab)] + ".png");
            ASSERT_TRUE(panel.grab().save(QString::fromStdString(file.string()))) << file;
        }
    }
}

} // namespace
} // namespace lumavane
