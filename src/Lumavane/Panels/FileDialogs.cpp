#include "Lumavane/Panels/FileDialogs.hpp"

#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Session/PlayableVideos.hpp"

#include <QAbstractItemView>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
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
// Folders named as packages are chosen, never opened: a double click or Return on one in the list
// chooses it as an item of its own.
class ItemsDialog final : public QFileDialog {
public:
    ItemsDialog(QWidget* parent, const FileDialogs::ItemsRequest& request)
        : QFileDialog(parent, QString::fromStdString(request.title)) {
        setOption(QFileDialog::DontUseNativeDialog);
        setOption(QFileDialog::HideNameFilterDetails);
        setFileMode(request.oneItem ? QFileDialog::ExistingFile : QFileDialog::ExistingFiles);
        QStringList filters;
        for (const std::string& filter : request.nameFilters) filters << QString::fromStdString(filter);
        if (!filters.isEmpty()) setNameFilters(filters);
        if (request.start) setDirectory(QString::fromStdString(request.start->string()));
        for (const std::string& extension : request.packageExtensions)
            packageSuffixes_ << QString::fromStdString(extension).toLower();
        if (!request.message.empty()) {
            if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
                auto* message = new QLabel(QString::fromStdString(request.message), this);
                message->setObjectName("panelMessage");
                message->setWordWrap(true);
                grid->addWidget(message, grid->rowCount(), 0, 1, grid->columnCount());
            }
        }
        for (QAbstractItemView* view : findChildren<QAbstractItemView*>()) {
            if (view->objectName() != "listView" && view->objectName() != "treeView") continue;
            view->installEventFilter(this);
            view->viewport()->installEventFilter(this);
        }
        giveRoom(*this, parent);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const bool doubleClick = event->type() == QEvent::MouseButtonDblClick;
        const auto* key = event->type() == QEvent::KeyPress ? static_cast<QKeyEvent*>(event) : nullptr;
        if (!doubleClick && !(key && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)))
            return QFileDialog::eventFilter(watched, event);
        auto* view = qobject_cast<QAbstractItemView*>(watched);
        if (!view) view = qobject_cast<QAbstractItemView*>(watched->parent());
        if (!view) return QFileDialog::eventFilter(watched, event);
        const QModelIndex index = doubleClick
                                      ? view->indexAt(static_cast<QMouseEvent*>(event)->position().toPoint())
                                      : view->currentIndex();
        const QString path = index.data(QFileSystemModel::FilePathRole).toString();
        if (path.isEmpty() || !isPackage(path)) return QFileDialog::eventFilter(watched, event);
        selectFile(path);
        accept();
        return true;
    }

    bool isPackage(const QString& path) const {
        const QFileInfo info(path);
        return info.isDir() && packageSuffixes_.contains(info.suffix().toLower());
    }

private:
    QStringList packageSuffixes_;

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

FileDialogs::ItemsRequest modelImportPanelRequest(const std::optional<std::filesystem::path>& modelInUse,
                                                  const std::vector<std::filesystem::path>& recentModels) {
    FileDialogs::ItemsRequest request;
    request.title = AppLocalization::string("モデルをインポート");
    request.message =
        AppLocalization::string("モデルパッケージのZIP、model-series.json、フォルダ、またはモデルファイルを選択してください。");
    request.oneItem = true;
    request.packageExtensions = {"mlpackage", "mlmodelc"};
    const std::optional<std::filesystem::path> model =
        modelInUse ? modelInUse : recentModels.empty() ? std::nullopt : std::optional(recentModels.front());
    if (model) {
        // A model folder given with a final slash is still the folder itself.
        const std::filesystem::path item = model->has_filename() ? *model : model->parent_path();
        request.start = item.parent_path();
    }
    return request;
}

} // namespace lumavane
