#include "Lumavane/Panels/FileDialogs.hpp"

#include <QFileDialog>

namespace lumavane {
namespace {

std::optional<std::filesystem::path> chosen(const QString& path) {
    if (path.isEmpty()) return std::nullopt;
    return std::filesystem::path(path.toStdString());
}

class QtFileDialogs final : public FileDialogs {
public:
    void chooseFile(QWidget* parent, const FileRequest& request, Answer answer) override {
        QFileDialog dialog(parent, QString::fromStdString(request.title));
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setNameFilter(QString::fromStdString(request.nameFilter));
        dialog.setLabelText(QFileDialog::Accept, QString::fromStdString(request.prompt));
        dialog.setLabelText(QFileDialog::LookIn, QString::fromStdString(request.message));
        answer(dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()
                   ? chosen(dialog.selectedFiles().front())
                   : std::nullopt);
    }
    void chooseFolder(QWidget* parent, const std::optional<std::filesystem::path>& start, Answer answer) override {
        answer(chosen(QFileDialog::getExistingDirectory(parent, {}, start ? QString::fromStdString(start->string()) : QString())));
    }
};

} // namespace

FileDialogs& FileDialogs::qt() {
    static QtFileDialogs dialogs;
    return dialogs;
}

} // namespace lumavane
