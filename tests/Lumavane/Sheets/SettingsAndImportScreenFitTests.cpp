// The settings panel (every tab) and the model-import sheet on a 1280x720 screen in both
// languages: each window lies wholly in the screen's available area, its buttons whole.
#include "ModelImportSheetTestSupport.hpp"
#include "SheetScreenFit.hpp"

#include <gtest/gtest.h>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

TEST(SheetsOnASmallScreen, SettingsPanelAndImportSheetInBothLanguages) {
    applyAppStyle(test::application());
    ASSERT_EQ(QGuiApplication::primaryScreen()->availableGeometry().size(), QSize(1280, 720));
    const fs::path out = test::screenshotFolder("lumavane-small-screen-screenshots");
    test::SheetHarness h;
    const char* tabs[] = {"general", "subtitles", "capture", "about", "licenses"};
    for (const char* language : {"ja", "en"}) {
        SCOPED_TRACE(language);
        h.panels.languages.select(language);
        PlayerSettingsPanel& panel = h.panels.open([] { return std::string("Lumavane Diagnostics"); });
        panel.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
        for (PlayerSettingsPanel::Tab tab : PlayerSettingsPanel::allTabs()) {
            panel.selectTab(tab);
            EXPECT_EQ(test::screenFitFindings(panel, {"closeSettings"}), "") << tabs[int(tab)];
            EXPECT_EQ(test::lookAt(panel, out / (std::string(language) + "-settings-" + tabs[int(tab)] + ".png"),
                                   test::Scrolling::allowed),
                      "")
                << tabs[int(tab)];
        }
        h.panels.panels.clear();

        ModelImportSheet sheet(*h.session, h.panels.dialogs);
        sheet.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
        EXPECT_EQ(test::screenFitFindings(sheet, {"close", "chooseFile"}), "");
    }
}

} // namespace
} // namespace lumavane
