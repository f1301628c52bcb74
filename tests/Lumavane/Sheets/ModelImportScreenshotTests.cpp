// The effects popover and the import sheet as a person sees them on a virtual X server with the
// application's style, in both languages: the chooser (with and without a failure), and the
// confirmation of a ZIP; every text whole, nothing over anything, the sheet at its own size.
// Grabbed into PNGs to look at: $LUMAVANE_SCREENSHOT_DIR, else /tmp/lumavane-sheets-screenshots.
#include "ModelImportSheetTestSupport.hpp"
#include "Lumavane/Panels/PostProcessPanel.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Views/ScreenChecks.hpp"

#include <QPixmap>
#include <QTest>

#include <gtest/gtest.h>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

// Qt's complaints about widgets and layouts while a test runs ("QWidget::setMinimumSize: ...
// Negative sizes ...").
std::vector<std::string>& warnings() {
    static std::vector<std::string> seen;
    return seen;
}
void keepWarnings(QtMsgType, const QMessageLogContext&, const QString& message) {
    if (message.startsWith("QWidget::") || message.startsWith("QLayout")) warnings().push_back(message.toStdString());
}

TEST(ModelImportScreens, ChooserConfirmationAndEffectsInBothLanguages) {
    applyAppStyle(test::application()); // before the sheet draws its symbols
    warnings().clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepWarnings);
    test::SheetHarness h;
    // The session's messages in the interface language, as the application has them.
    h.sheet.reset();
    h.session.reset();
    auto options = h.sessions.options();
    options.loadModelSeriesManifest = &ModelSeriesManifest::load;
    options.enhancerFactory = h.factory;
    options.localize = [](const std::string& key) { return AppLocalization::string(key); };
    h.session = std::make_unique<PlayerSession>(std::move(options));
    h.sheet = std::make_unique<ModelImportSheet>(*h.session, h.panels.dialogs);
    const fs::path out = test::screenshotFolder("lumavane-sheets-screenshots");
    const QSize sheetSize(560, 480);

    PostProcessPanel panel(*h.session, accentColor());
    panel.setAutoFillBackground(true);
    h.session->setSharpenEnabled(true);
    h.session->setBrightness(-0.25);
    ModelImportSheet chooser(*h.session, h.panels.dialogs);
    panel.show();
    chooser.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chooser));
    nlohmann::json manifest = test::seriesManifest();
    manifest["name"] = "Example Anime Upscaler with a name far too long for one line of the box";
    manifest["variants"][0]["outputScales"] = {4, 2};
    std::vector<test::ZipEntry> entries = test::packageEntries();
    entries[0].data = manifest.dump();
    ASSERT_TRUE(h.sheet->acceptDroppedModel({h.zip("Example.zip", entries)}));
    h.settle();
    ASSERT_TRUE(h.sheet->candidate());
    h.sheet->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(h.sheet.get()));

    for (const char* language : {"ja", "en"}) {
        SCOPED_TRACE(language);
        h.panels.languages.select(language);
        h.session->clearMessage(); // the alert of the last language dismissed
        EXPECT_EQ(test::lookAt(chooser, out / (std::string(language) + "-chooser.png")), "");
        EXPECT_EQ(test::lookAt(panel, out / (std::string(language) + "-effects.png")), "");
        // Then a package file that is not there: its message under the confirmation and in a
        // freshly opened chooser.
        h.sheet->acceptDroppedModel({h.root / "Moved away in the meantime" / "model-series.json"});
        ASSERT_TRUE(h.session->message());
        ModelImportSheet failed(*h.session, h.panels.dialogs);
        failed.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&failed));
        for (auto [widget, name] : {std::pair<QWidget*, const char*>{h.sheet.get(), "import"},
                                    {&chooser, "chooser-failed"},
                                    {&failed, "chooser-opened-after-failure"}}) {
            EXPECT_EQ(test::lookAt(*widget, out / (std::string(language) + "-" + name + ".png")), "") << name;
            EXPECT_EQ(widget->size(), sheetSize) << name;
        }
        EXPECT_TRUE(failed.findChild<QLabel*>("chooserMessage")->isVisible());
    }
    qInstallMessageHandler(previous);
    for (const std::string& warning : warnings()) ADD_FAILURE() << warning;
}

} // namespace
} // namespace lumavane
