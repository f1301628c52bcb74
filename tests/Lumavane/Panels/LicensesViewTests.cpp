#include "PanelsTestSupport.hpp"
#include "Lumavane/Panels/PlayerLicensesView.hpp"

#include <gtest/gtest.h>

#include <QAbstractTextDocumentLayout>
#include <QLabel>
#include <QListWidget>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextFrame>
#include <QTextLayout>
#include <QTextTable>
#include <QFontMetricsF>
#include <QScrollBar>
#include <QTextDocument>

#include <fstream>

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
    auto* text = view.findChild<QTextEdit*>("licenseText");
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

// The notices are Markdown: shown as a heading and a table, no pipes or hashes.
TEST(Licenses, TheNoticesShowAsFormattedText) {
    test::PanelHarness h("license-markdown", "en");
    const fs::path resources = h.root / "resources";
    fs::create_directories(resources);
    std::ofstream(resources / "THIRD_PARTY_NOTICES.md")
        << "# Third-party notices\n\nBuilt on `Debian 12`.\n\n"
           "| Component | Licence |\n|---|---|\n| zlib | Zlib |\n| FFmpeg | LGPL-2.1-or-later |\n"
        << [] {
               std::string more;
               for (int i = 0; i < 60; ++i) more += "\nMore notes.\n";
               return more;
           }();
    PlayerLicensesView view(PlayerLicenseDocument::available(resources));
    view.resize(700, 400);
    view.show();
    QCoreApplication::processEvents();
    // Shown from its start.
    EXPECT_EQ(view.findChild<QTextEdit*>("licenseText")->verticalScrollBar()->value(), 0);
    const QString shown = view.shownText();
    EXPECT_FALSE(shown.contains('|')) << shown.toStdString();
    EXPECT_FALSE(shown.contains('#')) << shown.toStdString();
    EXPECT_FALSE(shown.contains('`')) << shown.toStdString();
    QTextDocument* document = view.findChild<QTextEdit*>("licenseText")->document();
    EXPECT_EQ(document->firstBlock().text(), "Third-party notices");
    EXPECT_EQ(document->firstBlock().blockFormat().headingLevel(), 1);
    QTextTable* table = nullptr;
    for (QTextFrame* frame : document->rootFrame()->childFrames())
        if (auto* found = qobject_cast<QTextTable*>(frame)) table = found;
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->rows(), 3);
    EXPECT_EQ(table->columns(), 2);
    const auto cell = [&](int row, int column) {
        QTextTableCell at = table->cellAt(row, column);
        return document->toPlainText().mid(at.firstPosition(), at.lastPosition() - at.firstPosition());
    };
    EXPECT_EQ(cell(1, 0), "zlib");
    EXPECT_EQ(cell(2, 1), "LGPL-2.1-or-later");
    EXPECT_GT(table->format().border(), 0); // ruled
}

// A licence keeps its lines where they mean something (lists, fields, short lines, blank
// lines), while the lines of a paragraph of prose become one paragraph that wraps at the width.
TEST(Licenses, ALicenceKeepsItsOwnBreaksAndWrapsItsProse) {
    const std::string prose1 = " Most files in this library are licensed under the GNU Lesser General";
    const std::string prose2 = " Public License version 2.1 or later, but some optional parts are under";
    const std::string prose3 = " the GPL.";
    const std::string text = "Files: *\nCopyright:\n  1999-2013, Intel Corporation\n  Christian Holschuh\n"
                             "  2000-2004, A Person With A Rather Long Name Indeed <someone@example.org>\n"
                             "  2005, Another Person\nLicense: LGPL-2.1+\n" +
                             prose1 + "\n" + prose2 + "\n" + prose3 + "\n .\n Short line one.\n Short line two.\n";
    const std::vector<LicenseParagraph> expected{
        {0, "Files: *"},
        {0, "Copyright:"},
        {2, "1999-2013, Intel Corporation"},
        {2, "Christian Holschuh"},
        {2, "2000-2004, A Person With A Rather Long Name Indeed <someone@example.org>"},
        {2, "2005, Another Person"},
        {0, "License: LGPL-2.1+"},
        {1, prose1.substr(1) + " " + prose2.substr(1) + " " + prose3.substr(1)},
        {0, ""},
        {1, "Short line one."},
        {1, "Short line two."},
    };
    EXPECT_EQ(licenseParagraphs(text), expected);
    // Tabs are columns; Windows line ends are line ends.
    EXPECT_EQ(licenseParagraphs("a\r\n\tb\r\n"), (std::vector<LicenseParagraph>{{0, "a"}, {8, "b"}}));

    test::PanelHarness h("license-lines", "en");
    const fs::path resources = h.root / "resources";
    fs::create_directories(resources / "Licenses");
    std::ofstream(resources / "Licenses" / "zlib.txt") << text;
    PlayerLicensesView view(PlayerLicenseDocument::available(resources));
    view.resize(520, 500);
    view.show();
    QCoreApplication::processEvents();
    auto* edit = view.findChild<QTextEdit*>("licenseText");
    QTextDocument* document = edit->document();
    ASSERT_EQ(document->blockCount(), int(expected.size()));
    const double column = QFontMetricsF(document->defaultFont()).horizontalAdvance(' ');
    for (int i = 0; i < document->blockCount(); ++i) {
        const QTextBlock block = document->findBlockByNumber(i);
        EXPECT_EQ(block.text().toStdString(), expected[std::size_t(i)].text);
        EXPECT_NEAR(block.blockFormat().leftMargin(), expected[std::size_t(i)].indent * column, 0.01);
    }
    // The joined prose wraps at the pane's width, every wrapped line indented like the first.
    const QTextBlock prose = document->findBlockByNumber(7);
    ASSERT_GT(prose.layout()->lineCount(), 1);
    for (int i = 0; i < prose.layout()->lineCount(); ++i)
        EXPECT_NEAR(prose.layout()->lineAt(i).x(), prose.layout()->lineAt(0).x(), 0.01);
    // The short lines stay one line each.
    EXPECT_EQ(document->findBlockByNumber(9).layout()->lineCount(), 1);
    EXPECT_EQ(edit->horizontalScrollBar()->maximum(), 0);
}

} // namespace
} // namespace lumavane
