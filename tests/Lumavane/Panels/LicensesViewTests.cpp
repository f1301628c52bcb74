#include "PanelsTestSupport.hpp"
#include "Lumavane/Panels/PlayerLicensesView.hpp"

#include <gtest/gtest.h>

#include <QListWidget>

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

TEST(Licenses, EveryShippedTextIsListedAndReadsAsUtf8) {
    test::application();
    const fs::path shipped = fs::path(LUMAVANE_SOURCE_DIR) / "resources";
    const auto documents = PlayerLicenseDocument::available(shipped);
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(shipped / "Licenses")) files += entry.is_regular_file();
    EXPECT_EQ(documents.size(), files) << "a file under resources/Licenses is missing from the list";
    for (const auto& document : documents)
        EXPECT_TRUE(PlayerLicenseDocument::readText(document.url)) << document.url;
}

} // namespace
} // namespace lumavane
