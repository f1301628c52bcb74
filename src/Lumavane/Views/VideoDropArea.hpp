#pragma once

#include <QObject>
#include <QString>

#include <filesystem>
#include <functional>
#include <vector>

class QMimeData;
class QWidget;

namespace lumavane {

// Turns a widget into a drop target for files: while files are dragged over it a highlighted
// frame with a titled badge covers it; a drop hands the file URLs, unfiltered, to `action`,
// whose answer is the drop's.
class VideoDropArea final : public QObject {
    Q_OBJECT
public:
    using Action = std::function<bool(const std::vector<std::filesystem::path>&)>;
    VideoDropArea(QWidget& target, QString title, Action action);

    void setTitle(QString title);
    bool isTargeted() const { return targeted_; }
    // The local files among the dragged items, in order; other URLs (web, other schemes) are left out.
    static std::vector<std::filesystem::path> fileURLs(const QMimeData& data);
    // What a drop of `data` answers.
    bool drop(const QMimeData& data);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setTargeted(bool targeted);

    QWidget& target_;
    QWidget* highlight_;
    QString title_;
    Action action_;
    bool targeted_ = false;
};

} // namespace lumavane
