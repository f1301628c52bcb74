#include "Lumavane/Panels/FileDialogs.hpp"

#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Session/PlayableVideos.hpp"

#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QMimeDatabase>
#include <QScreen>
#include <QTreeView>
#include <QWidget>

namespace lumavane {
namespace {

std::optional<std::filesystem::path> chosen(const QString& path) {
    if (path.isEmpty()) return std::nullopt;
    return std::filesystem::path(path.toStdString());
}

// Qt's dialog opens at a size that cuts the dates of its list short: give it room, within the
// screen the player is on.
void giveRoom(QFileDialog& dialog, QWidget* parent) {
    QScreen* screen = parent ? parent->screen() : dialog.screen();
    QSize size(880, 560);
    if (screen) size = size.boundedTo(screen->availableGeometry().size() * 9 / 10);
    dialog.resize(size.expandedTo(dialog.minimumSizeHint()));
    // The name takes what the size, type and date leave.
    if (auto* details = dialog.findChild<QTreeView*>()) {
        QHeaderView* header = details->header();
        header->setStretchLastSection(false);
        for (int column = 1; column < header->count(); ++column)
            header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
        header->setSectionResizeMode(0, QHeaderView::Stretch);
    }
}

// The one item chosen in a dialog that has room, or none.
std::optional<std::filesystem::path> run(QFileDialog& dialog, QWidget* parent) {
    giveRoom(dialog, parent);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return chosen(dialog.selectedFiles().front());
}

// Files and folders chosen together. Qt's own dialog, not the desktop's: the portal's and GTK's
// open dialogs choose either files or folders, never both in one selection. A folder selected
// (or typed) is chosen like a file; double-clicking it opens it.
class ItemsDialog final : public QFileDialog {
public:
    ItemsDialog(QWidget* parent, const FileDialogs::ItemsRequest& request)
        : QFileDialog(parent, QString::fromStdString(request.title)) {
        setOption(QFileDialog::DontUseNativeDialog);
        setOption(QFileDialog::HideNameFilterDetails);
        setFileMode(QFileDialog::ExistingFiles);
        QStringList filters;
        for (const std::string& filter : request.nameFilters) filters << QString::fromStdString(filter);
        setNameFilters(filters);
        giveRoom(*this, parent);
    }

protected:
    void accept() override {
        const QStringList items = selectedFiles();
        bool folders = false;
        for (const QString& item : items) {
            const QFileInfo info(item);
            if (!info.exists()) return QFileDialog::accept(); // Qt names what is missing
            folders = folders || info.isDir();
        }
        // Qt's own accept would open the first folder instead of choosing it.
        if (items.isEmpty() || !folders) return QFileDialog::accept();
        QDialog::accept();
    }
};

class QtFileDialogs final : public FileDialogs {
public:
    void chooseFile(QWidget* parent, const FileRequest& request, Answer answer) override {
        QFileDialog dialog(parent, QString::fromStdString(request.title));
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setNameFilter(QString::fromStdString(request.nameFilter));
        dialog.setLabelText(QFileDialog::Accept, QString::fromStdString(request.prompt));
        dialog.setLabelText(QFileDialog::LookIn, QString::fromStdString(request.message));
        answer(run(dialog, parent));
    }
    void chooseFolder(QWidget* parent, const std::optional<std::filesystem::path>& start, Answer answer) override {
        QFileDialog dialog(parent, {}, start ? QString::fromStdString(start->string()) : QString());
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        answer(run(dialog, parent));
    }
    void chooseItems(QWidget* parent, const ItemsRequest& request, ItemsAnswer answer) override {
        ItemsDialog dialog(parent, request);
        std::vector<std::filesystem::path> items;
        if (dialog.exec() == QDialog::Accepted)
            for (const QString& item : dialog.selectedFiles()) items.emplace_back(item.toStdString());
        answer(std::move(items));
    }
};

} // namespace

FileDialogs& FileDialogs::qt() {
    static QtFileDialogs dialogs;
    return dialogs;
}

FileDialogs::ItemsRequest videoOpenPanelRequest() {
    QStringList patterns;
    for (std::string_view extension : supportedVideoExtensions())
        patterns << QStringLiteral("*.") + QString::fromUtf8(extension.data(), qsizetype(extension.size()));
    // Every video type the desktop knows, as the file manager names them.
    for (const QMimeType& type : QMimeDatabase().allMimeTypes()) {
        if (!type.name().startsWith(QStringLiteral("video/"))) continue;
        for (const QString& pattern : type.globPatterns())
            if (!patterns.contains(pattern, Qt::CaseInsensitive)) patterns << pattern;
    }
    const auto filter = [](const std::string& label, const QString& patterns) {
        return label + " (" + patterns.toStdString() + ")";
    };
    return {AppLocalization::string("動画またはフォルダを選択"),
            {filter(AppLocalization::string("動画ファイル"), patterns.join(' ')),
             filter(AppLocalization::string("すべてのファイル"), QStringLiteral("*"))}};
}

} // namespace lumavane
