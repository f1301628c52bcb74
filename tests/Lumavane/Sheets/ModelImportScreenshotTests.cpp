// Grabs the effects popover and the import sheet's confirmation of a ZIP, in the application's
// style and both languages, into PNGs to look at: $LUMAVANE_SCREENSHOT_DIR, else
// /tmp/lumavane-sheets-screenshots.
#include "ModelImportSheetTestSupport.hpp"
#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Panels/PostProcessPanel.hpp"

#include <QPixmap>
#include <QTest>

#include <gtest/gtest.h>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

TEST(ModelImportScreenshots, EffectsPanelAndImportConfirmation) {
    applyAppStyle(test::application()); // before the sheet draws its symbols
    test::SheetHarness h;
    const char* dir = std::getenv("LUMAVANE_SCREENSHOT_DIR");
    const fs::path out = dir ? dir : "/tmp/lumavane-sheets-screenshots";
    fs::create_directories(out);

    PostProcessPanel panel(*h.session, accentColor());
    panel.setAutoFillBackground(true);
    h.session->setSharpenEnabled(true);
    h.session->setBrightness(-0.25);
    nlohmann::json manifest = test::seriesManifest();
    manifest["name"] = "Example Anime Upscaler with a name far too long for one line of the box";
    manifest["variants"][0]["outputScales"] = {4, 2};
    std::vector<test::ZipEntry> entries = test::packageEntries();
    entries[0].data = manifest.dump();
    ASSERT_TRUE(h.sheet->acceptDroppedModel({h.zip("Example.zip", entries)}));
    h.settle();
    ASSERT_TRUE(h.sheet->candidate());
    // A failed replacement's message under the confirmation.
    h.sheet->acceptDroppedModel({h.root / "missing.json"});

    // And the chooser with the same message, as a freshly opened sheet shows it.
    ModelImportSheet chooser(*h.session, h.panels.dialogs);

    panel.show();
    h.sheet->show();
    chooser.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(h.sheet.get()));
    for (const char* language : {"ja", "en"}) {
        h.panels.languages.select(language);
        QTest::qWait(50);
        for (auto [widget, name] : {std::pair<QWidget*, const char*>{&panel, "effects"},
                                    {h.sheet.get(), "import"},
                                    {&chooser, "chooser"}}) {
            const fs::path file = out / (std::string(language) + "-" + name + ".png");
            ASSERT_TRUE(widget->grab().save(QString::fromStdString(file.string()))) << file;
        }
    }
}

} // namespace
} // namespace lumavane
