#include "PanelsTestSupport.hpp"
#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Panels/SubtitleAppearance.hpp"
#include "Platform/Foundation/AtomicWrite.hpp"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QSlider>
#include <QTest>

#include <fstream>

namespace lumavane {
namespace {

namespace fs = std::filesystem;
using test::PanelHarness;

template <typename W> W* find(PlayerSettingsPanel& panel, const char* name) {
    W* widget = panel.findChild<W*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

// What a bound control shows, whatever its kind.
QVariant shown(PlayerSettingsPanel& panel, const char* name) {
    QWidget* widget = panel.findChild<QWidget*>(name);
    if (auto* slider = qobject_cast<QSlider*>(widget)) return slider->value();
    if (auto* box = qobject_cast<QCheckBox*>(widget)) return box->isChecked();
    if (auto* combo = qobject_cast<QComboBox*>(widget)) return combo->currentData();
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->toolTip();
    return {};
}

void choose(QComboBox& combo, const QVariant& data) {
    const int index = combo.findData(data);
    ASSERT_GE(index, 0) << data.toString().toStdString();
    combo.setCurrentIndex(index);
    combo.activated(index);
}

void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(SettingsPanel, EveryStoredSettingIsWrittenAndSeenByASecondPanel) {
    PanelHarness h("stored");
    PlayerSettingsPanel& a = h.open();
    PlayerSettingsPanel& b = h.open();

    // Defaults of an empty store.
    EXPECT_EQ(a.selectedTab(), PlayerSettingsPanel::Tab::general);
    EXPECT_EQ(shown(a, "player.sidebarTransparency"), 1000);
    EXPECT_EQ(find<QLabel>(a, "player.osdTransparency.readout")->text(), "15%");
    EXPECT_EQ(shown(a, "player.subtitleFontName"), "system");
    EXPECT_EQ(shown(a, "player.captureSize"), "screen");
    EXPECT_TRUE(find<QWidget>(a, "captureFolderRow")->isHidden());

    const QString family = availableSubtitleFonts().value(0);
    ASSERT_FALSE(family.isEmpty());
    const fs::path folder = h.root / "captures";
    fs::create_directories(folder);
    h.dialogs.answers.push_back(folder);

    struct Case {
        const char* key;
        std::function<void()> change; // through panel a's control
        DefaultsValue stored;
        QVariant seen; // by panel b's control
    };
    const Case cases[] = {
        {"player.sidebarTransparency", [&] { find<QSlider>(a, "player.sidebarTransparency")->setValue(400); }, 0.4, 400},
        {"player.osdTransparency", [&] { find<QSlider>(a, "player.osdTransparency")->setValue(250); }, 0.25, 250},
        {"player.subtitleFontName", [&] { choose(*find<QComboBox>(a, "player.subtitleFontName"), family); },
         family.toStdString(), family},
        {"player.subtitleFontSize", [&] { find<QSlider>(a, "player.subtitleFontSize")->setValue(30); }, 30.0, 30},
        {"player.subtitleBackgroundTransparency",
         [&] { find<QSlider>(a, "player.subtitleBackgroundTransparency")->setValue(125); }, 0.125, 125},
        {"player.subtitleStyle", [&] { choose(*find<QComboBox>(a, "player.subtitleStyle"), "outline"); }, "outline",
         "outline"},
        {"player.subtitleFade", [&] { choose(*find<QComboBox>(a, "player.subtitleFade"), true); }, true, true},
        {"player.captureSubtitles", [&] { find<QCheckBox>(a, "player.captureSubtitles")->setChecked(true); }, true, true},
        {"player.captureOSD", [&] { find<QCheckBox>(a, "player.captureOSD")->setChecked(true); }, true, true},
        {"player.captureComparisonGuides",
         [&] { find<QCheckBox>(a, "player.captureComparisonGuides")->setChecked(true); }, true, true},
        {"player.captureSize", [&] { choose(*find<QComboBox>(a, "player.captureSize"), "original"); }, "original",
         "original"},
        {"player.captureSaveMode", [&] { choose(*find<QComboBox>(a, "player.captureSaveMode"), "folder"); }, "folder",
         "folder"},
        {"player.captureDirectory", [&] { a.chooseCaptureDirectory(); }, folder.string(),
         QString::fromStdString(folder.string())},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        c.change();
        EXPECT_EQ(h.defaults.value(c.key), c.stored);
        EXPECT_EQ(shown(b, c.key), c.seen);
    }
    // What follows from the values in the second panel.
    EXPECT_EQ(find<QLabel>(b, "player.subtitleBackgroundTransparency.readout")->text(), "13%");
    EXPECT_FALSE(find<QSlider>(b, "player.subtitleBackgroundTransparency")->isEnabled());
    EXPECT_EQ(find<QLabel>(b, "player.subtitleFontSize.readout")->text(), "30 pt");
    EXPECT_FALSE(find<QWidget>(b, "captureFolderRow")->isHidden());

    // Restoring the subtitle defaults leaves the capture settings alone.
    b.resetSubtitleSettings();
    EXPECT_EQ(shown(a, "player.subtitleFontName"), "system");
    EXPECT_EQ(shown(a, "player.subtitleStyle"), "background");
    EXPECT_TRUE(find<QSlider>(a, "player.subtitleBackgroundTransparency")->isEnabled());
    EXPECT_EQ(h.defaults.string("player.captureSize"), "original");
}

std::vector<QString> visibleTexts(PlayerSettingsPanel& panel) {
    std::vector<QString> texts;
    for (QWidget* widget : panel.findChildren<QWidget*>()) {
        texts.push_back(widget->toolTip());
        texts.push_back(widget->accessibleName());
        if (auto* label = qobject_cast<QLabel*>(widget)) texts.push_back(label->text());
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) texts.push_back(button->text());
        if (auto* combo = qobject_cast<QComboBox*>(widget))
            for (int i = 0; i < combo->count(); ++i) texts.push_back(combo->itemText(i));
    }
    return texts;
}

TEST(SettingsPanel, LanguageChangesRelabelTheOpenPanelAndNoTextNamesAnotherSystem) {
    PanelHarness h("language");
    PlayerSettingsPanel& panel = h.open();
    auto* general = panel.tabButton(PlayerSettingsPanel::Tab::general);
    EXPECT_EQ(general->text(), "一般");
    auto* sample = find<SubtitlePreview>(panel, "subtitlePreview");
    EXPECT_EQ(sample->text(), "字幕のプレビュー");

    choose(*find<QComboBox>(panel, "languageMenu"), "en");
    EXPECT_EQ(h.defaults.string("LumavanePreferredLanguage"), "en");
    EXPECT_EQ(general->text(), "General");
    // The subtitle sample too, without reopening the panel.
    EXPECT_EQ(sample->text().toStdString(), AppLocalization::string("字幕のプレビュー"));
    EXPECT_NE(sample->text(), "字幕のプレビュー");
    EXPECT_EQ(find<QAbstractButton>(panel, "closeSettings")->toolTip(), "Close Settings");
    EXPECT_EQ(find<QLabel>(panel, "player.osdTransparency.readout")->text(), "15%");

    std::vector<QString> texts = visibleTexts(panel);
    // Written elsewhere (another window's picker): the panel follows too.
    h.defaults.set("LumavanePreferredLanguage", "ja");
    EXPECT_EQ(general->text(), "一般");
    EXPECT_EQ(sample->text(), "字幕のプレビュー");
    EXPECT_EQ(find<QComboBox>(panel, "player.captureSaveMode")->itemText(0), "毎回確認");
    const std::vector<QString> japanese = visibleTexts(panel);
    texts.insert(texts.end(), japanese.begin(), japanese.end());
    for (const QString& text : texts)
        for (const char* other : {"Finder", "macOS", "Mac ", "このMac", "ファインダー"})
            EXPECT_FALSE(text.contains(other)) << text.toStdString();
}

TEST(SettingsPanel, LanguagePacksAreAddedAndRemovedThroughTheFileDialog) {
    PanelHarness h("packs");
    PlayerSettingsPanel& panel = h.open();
    auto* menu = find<QComboBox>(panel, "languageMenu");
    auto* remove = find<QAbstractButton>(panel, "removeLanguagePack");
    EXPECT_EQ(menu->count(), 3);
    EXPECT_FALSE(remove->isVisibleTo(&panel));

    const fs::path sources = h.root / "sources";
    writeFile(sources / "fr.strings", "\"一般\" = \"Général\";\n");
    writeFile(sources / "ja.strings", "\"一般\" = \"一般\";\n");
    writeFile(sources / "broken" / "de.strings", "\"一般\" = ;\n");

    struct Case {
        std::optional<fs::path> file;
        std::string selected;
        std::string alert; // empty: none
    };
    const Case cases[] = {
        {std::nullopt, "ja", ""}, // cancelled
        {sources / "fr.strings", "fr", ""},
        // Told in the pack's language, which falls back to English.
        {sources / "fr.strings", "fr", "A language pack for this language is already installed."},
        {sources / "ja.strings", "fr", "Japanese and English are built in and cannot be added as language packs."},
        {sources / "broken" / "de.strings", "fr", "The file is not a strings file with at least one text."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file ? c.file->string() : "cancel");
        if (panel.alert()) panel.alert()->close();
        QCoreApplication::processEvents();
        if (c.file) h.dialogs.answers.push_back(c.file);
        panel.chooseLanguagePack();
        EXPECT_EQ(h.languages.selectedLanguageID(), c.selected);
        if (c.alert.empty()) {
            EXPECT_TRUE(!panel.alert() || !panel.alert()->isVisible());
        } else {
            ASSERT_TRUE(panel.alert());
            EXPECT_TRUE(panel.alert()->isVisible());
            EXPECT_EQ(panel.alert()->windowTitle(), "Language Pack Error");
            if (c.alert != "*") {
                EXPECT_EQ(panel.alert()->text().toStdString(), c.alert);
            } else {
                EXPECT_FALSE(panel.alert()->text().isEmpty());
            }
        }
    }
    // The pack is listed after the built-ins, in its own name, and can be removed.
    EXPECT_EQ(menu->count(), 4);
    EXPECT_EQ(menu->itemData(3), "fr");
    EXPECT_EQ(menu->currentData(), "fr");
    EXPECT_EQ(panel.tabButton(PlayerSettingsPanel::Tab::general)->text(), "Général");
    EXPECT_TRUE(remove->isVisibleTo(&panel));
    remove->click();
    EXPECT_EQ(h.languages.selectedLanguageID(), "system");
    EXPECT_EQ(menu->count(), 3);
    EXPECT_FALSE(remove->isVisibleTo(&panel));
    EXPECT_FALSE(fs::exists(LanguagePackStore::packsDirectory() / "fr.bundle"));

    // A pack whose folder went meanwhile (removed in a file manager): told in the interface's
    // words, not a library's.
    if (panel.alert()) panel.alert()->close();
    QCoreApplication::processEvents();
    h.dialogs.answers.push_back(sources / "fr.strings");
    panel.chooseLanguagePack();
    ASSERT_EQ(menu->count(), 4);
    ASSERT_EQ(h.languages.selectedLanguageID(), "fr"); // told in English, which the pack falls back to
    fs::remove_all(LanguagePackStore::packsDirectory() / "fr.bundle");
    remove->click();
    ASSERT_TRUE(panel.alert());
    EXPECT_EQ(panel.alert()->text().toStdString(), "The language pack could not be removed.");
}

TEST(SettingsPanel, DiagnosticsReplaceTheClipboardAndTheMarkLastsFromTheLastCopy) {
    PanelHarness h("diagnostics");
    int reports = 0;
    PlayerSettingsPanel& panel = h.open([&] { return "Lumavane Diagnostics\nreport " + std::to_string(++reports); });
    auto* copy = find<QAbstractButton>(panel, "copyDiagnostics");
    QGuiApplication::clipboard()->setText("earlier");

    copy->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "Lumavane Diagnostics\nreport 1");
    EXPECT_TRUE(panel.diagnosticsCopied());
    EXPECT_EQ(copy->text(), "診断情報をコピーしました");
    EXPECT_EQ(copy->property(symbolProperty), "checkmark.circle.fill");

    // A second copy before the mark goes restarts its two seconds (scaled down here).
    constexpr int mark = 400;
    panel.copiedMarkTimer().setInterval(mark);
    panel.copyDiagnostics();
    QElapsedTimer sinceFirst;
    sinceFirst.start();
    QTest::qWait(mark / 2);
    panel.copyDiagnostics();
    QElapsedTimer sinceSecond;
    sinceSecond.start();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "Lumavane Diagnostics\nreport 3");
    QTest::qWait(mark * 3 / 4);
    if (sinceSecond.elapsed() < mark) EXPECT_TRUE(panel.diagnosticsCopied()) << "went off with the first copy's timer";
    QTRY_VERIFY_WITH_TIMEOUT(!panel.diagnosticsCopied(), 5000);
    EXPECT_GE(sinceSecond.elapsed(), mark - 20);
    EXPECT_EQ(copy->text(), "診断情報をコピー");
    EXPECT_EQ(copy->property(symbolProperty), "doc.on.doc");
}

TEST(SubtitleFonts, HiddenFamiliesAreDroppedAndNumbersCompareByValue) {
    test::application();
    const QStringList families = {"Noto Sans 10", ".SF Hidden", "zen", "Noto Sans 9", "Arial", "Noto Sans 009b"};
    EXPECT_EQ(availableSubtitleFonts(families),
              QStringList({"Arial", "Noto Sans 9", "Noto Sans 009b", "Noto Sans 10", "zen"}));
}

TEST(CaptureFolder, OnlyAnExistingWritableFolderIsStored) {
    PanelHarness h("capture");
    PlayerSettingsPanel& panel = h.open();
    const fs::path good = h.root / "good", file = h.root / "file.png";
    fs::create_directories(good);
    writeFile(file, "x");

    struct Case {
        std::optional<fs::path> answer;
        std::string stored;
        std::string alert;
    };
    const Case cases[] = {
        {good, good.string(), ""},
        {std::nullopt, good.string(), ""},
        {h.root / "missing", good.string(), "選択したフォルダが見つかりません。"},
        {file, good.string(), "選択した項目はフォルダではありません。"},
        {fs::path("relative/dir"), good.string(), "選択したフォルダが見つかりません。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer ? c.answer->string() : "cancel");
        if (panel.alert()) panel.alert()->close();
        QCoreApplication::processEvents();
        h.dialogs.answers.push_back(c.answer);
        panel.chooseCaptureDirectory();
        EXPECT_EQ(h.defaults.string("player.captureDirectory").value_or(""), c.stored);
        if (c.alert.empty()) {
            EXPECT_TRUE(!panel.alert() || !panel.alert()->isVisible());
        } else {
            ASSERT_TRUE(panel.alert());
            EXPECT_EQ(panel.alert()->text().toStdString(), c.alert);
        }
    }
    // After the first choice the chooser starts in the stored folder.
    ASSERT_EQ(h.dialogs.folderStarts.size(), std::size(cases));
    EXPECT_EQ(h.dialogs.folderStarts[0], std::nullopt);
    EXPECT_EQ(h.dialogs.folderStarts[1], good);

    // No folder yet in folder mode: the row asks for one, with no tooltip.
    h.defaults.set("player.captureDirectory", "");
    h.defaults.set("player.captureSaveMode", "folder");
    auto* shownFolder = find<QLabel>(panel, "player.captureDirectory");
    EXPECT_EQ(shownFolder->text(), "保存フォルダを選択してください");
    EXPECT_TRUE(shownFolder->toolTip().isEmpty());
}

} // namespace
} // namespace lumavane
