// Each tab of the settings panel as a person sees it on a virtual X server with the application's
// style, in both languages: every text whole, nothing over anything, every button whole and drawn
// with its icon. Grabbed into PNGs to look at: $LUMAVANE_SCREENSHOT_DIR, else
// /tmp/lumavane-settings-screenshots.
#include "PanelsTestSupport.hpp"
#include "Lumavane/Panels/PlayerLicensesView.hpp"
#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Views/ScreenChecks.hpp"

#include <gtest/gtest.h>

#include <QPixmap>
#include <QTest>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

TEST(SettingsScreenshots, EachTabInBothLanguages) {
    test::PanelHarness h("screenshots");
    applyAppStyle(test::application());
    const fs::path out = test::screenshotFolder("lumavane-settings-screenshots");
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
            const fs::path file = out / (std::string(language) + "-" + names[int(tab)] + ".png");
            EXPECT_EQ(test::lookAt(panel, file, test::Scrolling::allowed), "") << file;
        }
    }
    // A component's licence text after the notices.
    panel.selectTab(PlayerSettingsPanel::Tab::licenses);
    panel.licensesView()->select(1);
    const fs::path file = out / "en-licenses-text.png";
    EXPECT_EQ(test::lookAt(panel, file, test::Scrolling::allowed), "") << file;
}

} // namespace
} // namespace lumavane
