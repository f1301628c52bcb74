#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace lumavane {

// The open panels the settings, the sheets and the open command ask through; the application
// uses Qt's dialogs, tests a fake. Each answers once, with nothing when the user cancels.
class FileDialogs {
public:
    using Answer = std::function<void(std::optional<std::filesystem::path>)>;
    using ItemsAnswer = std::function<void(std::vector<std::filesystem::path>)>;

    struct FileRequest {
        std::string title;
        std::string message;
        std::string prompt;        // the confirming button
        std::string nameFilter;    // "Strings (*.strings)"
    };
    struct ItemsRequest {
        std::string title;
        std::vector<std::string> nameFilters; // "Videos (*.mp4 *.mkv)", "All Files (*)": the first is shown
        std::string message;                  // under the list, when not empty
        bool oneItem = false;                 // a single file or folder
        std::optional<std::filesystem::path> start; // the folder shown first; else the dialog's own
        // Folders with these extensions ("mlpackage") are one item: opening one chooses it.
        std::vector<std::string> packageExtensions;
    };

    virtual ~FileDialogs() = default;
    virtual void chooseFile(QWidget* parent, const FileRequest& request, Answer answer) = 0;
    // A folder; starts in `start` when given. New folders may be made.
    virtual void chooseFolder(QWidget* parent, const std::optional<std::filesystem::path>& start, Answer answer) = 0;
    // Several files and folders in one panel, in the order chosen; an empty list when cancelled.
    virtual void chooseItems(QWidget* parent, const ItemsRequest& request, ItemsAnswer answer) = 0;

    // Qt's own file dialogs.
    static FileDialogs& qt();
};

// The open panel of the open command, the open buttons and the playlist's add button: titled
// "動画またはフォルダを選択", offering the video types and the 24 video extensions first while
// still allowing any file, and folders.
FileDialogs::ItemsRequest videoOpenPanelRequest();

// The model-import panel: titled "モデルをインポート", one file or folder of any type, model
// packages chosen as one item, starting in the folder of the model in use (else of the most recent
// standalone model).
FileDialogs::ItemsRequest modelImportPanelRequest(const std::optional<std::filesystem::path>& modelInUse,
                                                  const std::vector<std::filesystem::path>& recentModels);

} // namespace lumavane
