#pragma once

#include "Lumavane/Models/ModelImportCandidate.hpp"
#include "Platform/Foundation/Signal.hpp"

#include <QDialog>
#include <QLabel>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QAbstractButton;
class QProgressBar;
class QStackedWidget;

namespace lumavane {

class ContentView;
class FileDialogs;
class PlayerSession;
class VideoDropArea;

// A one-line label that elides its text in the middle when it does not fit.
class ElidedLabel final : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(const QString& text, QWidget* parent = nullptr);
    const QString& fullText() const { return full_; }
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString full_;
};

// The sheet that adds a model: a package or model file is chosen or dropped, the session
// prepares it as a candidate, the sheet shows what it declares and hands it over on confirmation.
// It holds no package logic; choosing goes through FileDialogs, the rest through the session.
class ModelImportSheet final : public QDialog {
    Q_OBJECT
public:
    enum class State { nothingChosen, preparing, failed, candidateShown };

    ModelImportSheet(PlayerSession& session, FileDialogs& fileDialogs, QWidget* parent = nullptr);
    // Closing without done() (the presenter deleting it) still lets go of the candidate.
    ~ModelImportSheet() override;

    // The application's sheet over the window: window-modal, deleted on close.
    static ModelImportSheet* present(PlayerSession& session, QWidget* window, FileDialogs* fileDialogs = nullptr);

    State state() const;
    const std::optional<ModelImportCandidate>& candidate() const noexcept { return candidate_; }

    // "ファイルを選択…" and "別のモデルを選ぶ": the open panel, then the session prepares the item.
    void chooseModel();
    // The middle area's drop: whether it was taken.
    bool acceptDroppedModel(const std::vector<std::filesystem::path>& urls);
    // "モデルをインポート": hands the candidate over and closes.
    void importCandidate();

    // The confirmation's rows (label, value) for a candidate, labels looked up.
    static std::vector<std::pair<QString, QString>> confirmationRows(const ModelImportCandidate& candidate);
    // Every declared output scale once, ascending: "2× / 4×".
    static QString scaleList(const ModelSeriesManifest& manifest);

    // Every label looked up again in the stored language.
    void relabel();
    // The view follows the candidate and the session's state.
    void refresh();

    void done(int result) override;

private:
    QWidget* buildHeader();
    QWidget* buildChooser();
    QWidget* buildConfirmation();
    void prepare(const std::filesystem::path& url);
    void showCandidate(std::optional<ModelImportCandidate> candidate);
    void rebuildRows();
    void disappear();
    void labelled(std::function<void()> relabel);

    PlayerSession& session_;
    FileDialogs& fileDialogs_;
    std::optional<ModelImportCandidate> candidate_;
    bool disappeared_ = false;
    bool handedOver_ = false;

    QWidget* middle_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    QAbstractButton* chooseButton_ = nullptr;
    QWidget* progress_ = nullptr;
    QLabel* chooserMessage_ = nullptr;
    QLabel* confirmationMessage_ = nullptr;
    QWidget* rows_ = nullptr;
    QAbstractButton* importButton_ = nullptr;
    VideoDropArea* dropArea_ = nullptr;
    std::vector<std::function<void()>> relabels_;
    std::vector<Connection> connections_;
};

// The main view's model-import requests open the sheet over the window; closing it tells the view.
void presentModelImportSheets(ContentView& content, PlayerSession& session, QWidget* window);

} // namespace lumavane
