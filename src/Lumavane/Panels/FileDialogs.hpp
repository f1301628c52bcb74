#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

class QWidget;

namespace lumavane {

// The open panels the settings ask through; the application uses Qt's dialogs, tests a fake.
// Each answers once, with nothing when the user cancels.
class FileDialogs {
public:
    using Answer = std::function<void(std::optional<std::filesystem::path>)>;

    struct FileRequest {
        std::string title;
        std::string message;
        std::string prompt;        // the confirming button
        std::string nameFilter;    // "Strings (*.strings)"
    };

    virtual ~FileDialogs() = default;
    virtual void chooseFile(QWidget* parent, const FileRequest& request, Answer answer) = 0;
    // A folder; starts in `start` when given. New folders may be made.
    virtual void chooseFolder(QWidget* parent, const std::optional<std::filesystem::path>& start, Answer answer) = 0;

    // Qt's own file dialogs.
    static FileDialogs& qt();
};

} // namespace lumavane
