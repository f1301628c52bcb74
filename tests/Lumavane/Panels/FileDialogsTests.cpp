#include "PanelsTestSupport.hpp"
#include "Lumavane/Session/PlayableVideos.hpp"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <fstream>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

// Runs the video panel of Qt's dialogs; `act` works the dialog once it is up. A dialog that is still
// open afterwards is cancelled, so a refused choice fails the test instead of hanging it.
std::vector<fs::path> runVideoPanel(const std::function<void(QFileDialog&)>& act) {
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        act(*dialog);
        if (dialog->isVisible()) dialog->reject();
    });
    std::vector<fs::path> chosen{"not answered"};
    FileDialogs::qt().chooseItems(nullptr, videoOpenPanelRequest(), [&](auto items) { chosen = std::move(items); });
    return chosen;
}

void type(QFileDialog& dialog, const fs::path& folder, const QString& names) {
    dialog.setDirectory(QString::fromStdString(folder.string()));
    dialog.findChild<QLineEdit*>("fileNameEdit")->setText(names);
    dialog.findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Open)->click();
}

TEST(VideoOpenPanel, OffersTheVideoTypesFirstAndAnyFileAfter) {
    test::PanelHarness h("video-panel");
    auto request = videoOpenPanelRequest();
    EXPECT_EQ(request.title, "動画またはフォルダを選択");
    ASSERT_EQ(request.nameFilters.size(), 2u);
    const std::string& videos = request.nameFilters[0];
    EXPECT_TRUE(videos.starts_with("動画ファイル (*.mp4 *.m4v *.mov *.mkv ")) << videos;
    for (std::string_view extension : supportedVideoExtensions())
        EXPECT_TRUE(videos.find("*." + std::string(extension) + " ") != std::string::npos ||
                    videos.ends_with("*." + std::string(extension) + ")"))
            << extension;
    // A type the file manager calls video without one of the 24 extensions.
    EXPECT_NE(videos.find("*.qt"), std::string::npos);
    EXPECT_EQ(request.nameFilters[1], "すべてのファイル (*)");

    h.defaults.set("LumavanePreferredLanguage", "en");
    request = videoOpenPanelRequest();
    EXPECT_EQ(request.title, "Choose Videos or Folders");
    EXPECT_TRUE(request.nameFilters[0].starts_with("Video Files (*.mp4 ")) << request.nameFilters[0];
    EXPECT_EQ(request.nameFilters[1], "All Files (*)");
}

TEST(VideoOpenPanel, FilesAndFoldersAreChosenTogetherInTheirOrder) {
    test::PanelHarness h("video-items");
    const fs::path root = h.root / "videos";
    fs::create_directories(root / "drop");
    for (const char* name : {"z.mp4", "drop/b.mkv", "a.mp4"}) std::ofstream(root / name) << "x";

    QString title, filter;
    auto chosen = runVideoPanel([&](QFileDialog& dialog) {
        title = dialog.windowTitle();
        filter = dialog.findChild<QComboBox*>("fileTypeCombo")->currentText();
        type(dialog, root, "\"z.mp4\" \"drop\" \"a.mp4\"");
    });
    EXPECT_EQ(title, "動画またはフォルダを選択");
    EXPECT_EQ(filter, "動画ファイル"); // the long list of patterns stays out of sight
    EXPECT_EQ(chosen, (std::vector<fs::path>{root / "z.mp4", root / "drop", root / "a.mp4"}));

    // One folder alone is chosen too, not opened.
    chosen = runVideoPanel([&](QFileDialog& dialog) { type(dialog, root, "drop"); });
    EXPECT_EQ(chosen, std::vector<fs::path>{root / "drop"});
    // Files alone take Qt's own way.
    chosen = runVideoPanel([&](QFileDialog& dialog) { type(dialog, root, "\"a.mp4\" \"z.mp4\""); });
    EXPECT_EQ(chosen, (std::vector<fs::path>{root / "a.mp4", root / "z.mp4"}));
    // A name that is not there is refused with Qt's message; cancelling answers nothing.
    chosen = runVideoPanel([&](QFileDialog& dialog) {
        QTimer::singleShot(0, [] {
            if (QWidget* box = QApplication::activeModalWidget(); box && !qobject_cast<QFileDialog*>(box)) box->close();
        });
        type(dialog, root, "gone.mp4");
    });
    EXPECT_TRUE(chosen.empty());
}

} // namespace
} // namespace lumavane
