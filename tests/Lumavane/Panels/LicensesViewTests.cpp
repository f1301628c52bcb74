#include "PanelsTestSupport.hpp"
#include "Lumavane/Panels/PlayerLicensesView.hpp"

#include <gtest/gtest.h>

#include <QAbstractScrollArea>
#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QClipboard>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextDocument>

#include <fstream>
#include <iterator>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

TEST(Licenses, ListedInTheFixedOrderAndBadUtf8IsRefused) {
    test::PanelHarness h("licenses");
    const fs::path folder = h.root / "resources" / "Licenses";
    fs::create_directories(folder);
    const std::pair<const char*, std::string> files[] = {
        {"zlib.txt", "zlib licence"},
        {"Qt.txt", "Qt — LGPL-3 © The Qt Company"},
        {"dav1d.txt", std::string("BSD \xff\xfe broken")},
        {"FFmpeg.txt", "FFmpeg LGPL-2.1+"},
        {"unknown.txt", "not ours"},
    };
    for (const auto& [name, text] : files) std::ofstream(folder / name, std::ios::binary) << text;

    const auto documents = PlayerLicenseDocument::available(h.root / "resources");
    std::vector<std::string> files_;
    for (const auto& document : documents) files_.push_back(document.url.filename().string());
    EXPECT_EQ(files_, (std::vector<std::string>{"FFmpeg.txt", "dav1d.txt", "Qt.txt", "zlib.txt"}));
    EXPECT_EQ(PlayerLicenseDocument::readText(folder / "Qt.txt"), "Qt — LGPL-3 © The Qt Company");
    EXPECT_EQ(PlayerLicenseDocument::readText(folder / "dav1d.txt"), std::nullopt);
    EXPECT_EQ(PlayerLicenseDocument::readText(folder / "missing.txt"), std::nullopt);

    // In the panel: the first document selected, a bad one refused with the failure text.
    PlayerSettingsPanel& panel = h.open();
    PlayerLicensesView& view = *panel.licensesView();
    panel.selectTab(PlayerSettingsPanel::Tab::licenses);
    EXPECT_EQ(view.selection(), documents.front());
    EXPECT_EQ(view.shownText(), "FFmpeg LGPL-2.1+");
    view.select(1);
    EXPECT_EQ(view.shownText(), "ライセンス本文を読み込めませんでした。");
    panel.selectTab(PlayerSettingsPanel::Tab::about);
    panel.selectTab(PlayerSettingsPanel::Tab::licenses);
    EXPECT_EQ(view.selection(), documents.front());
    // Without documents nothing is selected and the pane asks for a choice.
    PlayerLicensesView empty(std::vector<PlayerLicenseDocument>{});
    EXPECT_EQ(empty.selection(), std::nullopt);
    EXPECT_EQ(empty.shownText(), "ライセンスを選択してください");
}

TEST(Licenses, TheAgreementAndTheNoticesComeFirstEachOnlyWhenPresent) {
    test::PanelHarness h("license-order");
    const fs::path resources = h.root / "resources";
    const fs::path agreement = resources / "Lumavane_Lumavane.bundle" / "Licenses" / "Lumavane-EULA.txt";
    const fs::path notices = resources / "THIRD_PARTY_NOTICES.md";
    fs::create_directories(agreement.parent_path());
    fs::create_directories(resources / "Licenses");
    std::ofstream(agreement) << "agreement";
    std::ofstream(notices) << "notices";
    for (const char* name : {"zlib.txt", "FFmpeg.txt"}) std::ofstream(resources / "Licenses" / name) << name;
    const auto titles = [&] {
        std::vector<std::string> list;
        for (const auto& document : PlayerLicenseDocument::available(resources)) list.push_back(document.title);
        return list;
    };
    EXPECT_EQ(titles(), (std::vector<std::string>{"Lumavane — License Agreement", "サードパーティ通知", "FFmpeg", "zlib"}));
    EXPECT_EQ(PlayerLicenseDocument::available(resources)[1].url, notices);
    fs::remove(notices);
    EXPECT_EQ(titles(), (std::vector<std::string>{"Lumavane — License Agreement", "FFmpeg", "zlib"}));
    std::ofstream(notices) << "notices";
    fs::remove(agreement);
    EXPECT_EQ(titles(), (std::vector<std::string>{"サードパーティ通知", "FFmpeg", "zlib"}));
    fs::remove(notices);
    EXPECT_EQ(titles(), (std::vector<std::string>{"FFmpeg", "zlib"}));
}

TEST(Licenses, LongLinesWrapInsteadOfScrollingSideways) {
    test::PanelHarness h("license-wrap", "en");
    const fs::path resources = h.root / "resources";
    fs::create_directories(resources);
    std::string line = "See https://example.invalid/";
    line += std::string(300, 'x');
    std::ofstream(resources / "THIRD_PARTY_NOTICES.md") << "# Notices\n\n" << line << " and " << line << "\n";
    PlayerLicensesView view(PlayerLicenseDocument::available(resources));
    view.resize(700, 400);
    view.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(view.findChild<QLabel*>("licenseTitle")->text(), "Third-Party Notices");
    EXPECT_EQ(view.findChild<QListWidget*>("licenseList")->item(0)->text(), "Third-Party Notices");
    auto* text = view.findChild<QPlainTextEdit*>("licenseText");
    EXPECT_EQ(text->horizontalScrollBar()->maximum(), 0);
    EXPECT_FALSE(text->horizontalScrollBar()->isVisible());
    // The text is all there, only laid out over more lines.
    EXPECT_GT(text->document()->documentLayout()->documentSize().height(), 4);
    EXPECT_EQ(view.shownText().toStdString().find(line) != std::string::npos, true);
}

TEST(Licenses, EveryShippedTextIsListedAndReadsAsUtf8) {
    test::application();
    const fs::path shipped = fs::path(LUMAVANE_SOURCE_DIR) / "resources";
    const auto documents = PlayerLicenseDocument::available(shipped);
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(shipped / "Licenses")) files += entry.is_regular_file();
    // No agreement ships: the notices come first, then one entry per component text.
    ASSERT_FALSE(documents.empty());
    EXPECT_EQ(documents.front().title, "サードパーティ通知");
    EXPECT_EQ(documents.size(), files + 1) << "a file under resources/Licenses is missing from the list";
    for (const auto& document : documents)
        EXPECT_TRUE(PlayerLicenseDocument::readText(document.url)) << document.url;
    // The notices are the top-level file, and they point at every component text.
    EXPECT_EQ(PlayerLicenseDocument::readText(documents.front().url),
              PlayerLicenseDocument::readText(fs::path(LUMAVANE_SOURCE_DIR) / "THIRD_PARTY_NOTICES.md"));
    const std::string notices = PlayerLicenseDocument::readText(documents.front().url).value_or("");
    for (const auto& entry : fs::directory_iterator(shipped / "Licenses"))
        EXPECT_NE(notices.find("Licenses/" + entry.path().filename().string()), std::string::npos)
            << entry.path().filename();
}

std::string fileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every document shows exactly as its file holds it, monospaced: the notices' Markdown as
// written, a licence's own line breaks, indentation, tabs and blank lines; all of it selected and
// copied is the file again, byte for byte.
TEST(Licenses, EachTextIsShownAndCopiedAsItsFileHoldsIt) {
    test::PanelHarness h("license-verbatim", "en");
    const fs::path made = h.root / "resources";
    fs::create_directories(made / "Licenses");
    std::ofstream(made / "THIRD_PARTY_NOTICES.md", std::ios::binary)
        << "# Third-party notices\n\nBuilt on `Debian 12`.\n\n"
           "| Component | Licence |\n|---|---|\n| zlib | Zlib |\n| FFmpeg | LGPL-2.1-or-later |\n";
    std::ofstream(made / "Licenses" / "zlib.txt", std::ios::binary)
        << "Files: *\nCopyright:\n  1999-2013, Intel Corporation\nLicense: LGPL-2.1+\n"
           " Most files in this library are licensed under the GNU Lesser General\n"
           " Public License version 2.1 or later, but some optional parts are under\n"
           " the GPL.\n .\n\tA tabbed line   \n\n\n  © 2026 — 日本語の行";

    for (const fs::path& resources : {made, fs::path(LUMAVANE_SOURCE_DIR) / "resources"}) {
        SCOPED_TRACE(resources.string());
        PlayerLicensesView view(PlayerLicenseDocument::available(resources));
        view.resize(700, 400);
        view.show();
        QCoreApplication::processEvents();
        auto* edit = view.findChild<QAbstractScrollArea*>("licenseText");
        ASSERT_TRUE(edit);
        ASSERT_FALSE(view.documents().empty());
        // Monospaced: a narrow letter as wide as a broad one.
        EXPECT_TRUE(QFontInfo(edit->font()).fixedPitch()) << QFontInfo(edit->font()).family().toStdString();
        const QFontMetricsF metrics(edit->font());
        EXPECT_EQ(metrics.horizontalAdvance('i'), metrics.horizontalAdvance('M'));
        for (int row = 0; row < int(view.documents().size()); ++row) {
            const PlayerLicenseDocument& document = view.documents()[std::size_t(row)];
            SCOPED_TRACE(document.url.string());
            view.select(row);
            QCoreApplication::processEvents();
            const std::string file = fileBytes(document.url);
            EXPECT_EQ(view.shownText().toStdString(), file);
            EXPECT_EQ(edit->verticalScrollBar()->value(), 0) << "shown from its start";
            QApplication::clipboard()->clear();
            QMetaObject::invokeMethod(edit, "selectAll");
            QMetaObject::invokeMethod(edit, "copy");
            EXPECT_EQ(QApplication::clipboard()->text().toStdString(), file);
        }
    }
}

} // namespace
} // namespace lumavane
