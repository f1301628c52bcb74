#pragma once

#include <QImage>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>

#include <optional>
#include <variant>

namespace lumavane {

// The seek preview in the window: shown by a panel floating over it, so it may reach beyond the
// window's edges (kept inside the screen).
struct SeekPreviewBubble {
    std::optional<QImage> image; // the thumbnail; none yet: a black picture
    QString label;               // the time
    std::optional<double> fraction; // the place along the bar, 0...1; none: no preview
    friend bool operator==(const SeekPreviewBubble&, const SeekPreviewBubble&) = default;
};

// The seek preview in the video full screen: the same bubble drawn inside the window.
struct FullscreenSeekPreview {
    std::optional<QImage> image;
    QString label;
    std::optional<double> fraction;
    friend bool operator==(const FullscreenSeekPreview&, const FullscreenSeekPreview&) = default;
};

// The widget that draws either preview: the thumbnail (black until one arrives), the time under
// it and an arrow at the bottom. It takes no pointer input.
class SeekPreviewPanel final : public QWidget {
    Q_OBJECT
public:
    static constexpr int panelWidth = 272, panelHeight = 190;
    static constexpr int gap = 8; // between the bar and the panel

    // Where the panel goes (top-left, y down) for a bar at `anchor` in the same coordinates: centred
    // on the hovered place, 8 above the bar, or 8 under it when the top would leave `visible`,
    // never beyond `visible` (its right and bottom edges taking precedence).
    static QPoint origin(const QRect& anchor, const QRect& visible, double fraction);

    // Floating: a frameless tool window over `owner` that may reach beyond it. Otherwise a child of
    // `owner` (the video full screen).
    SeekPreviewPanel(QWidget* owner, bool floating);

    bool floating() const { return floating_; }
    // Shows the preview over `bar` (hidden while its fraction is none). A bubble belongs to a
    // floating panel, a full-screen preview to one inside the window.
    void present(const SeekPreviewBubble& preview, QWidget* bar);
    void present(const FullscreenSeekPreview& preview, QWidget* bar);
    // The preview last presented.
    const std::variant<std::monostate, SeekPreviewBubble, FullscreenSeekPreview>& presented() const {
        return presented_;
    }
    // Replaces the picture only when the image changed and the caption only when its text did.
    void setContent(const std::optional<QImage>& image, const QString& label);
    QString label() const { return label_; }
    bool hasImage() const { return !image_.isNull(); }
    // Shows the panel over the bar at `fraction` (none: hides it).
    void place(QWidget* anchor, std::optional<double> fraction);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool floating_;
    std::variant<std::monostate, SeekPreviewBubble, FullscreenSeekPreview> presented_;
    QImage image_;
    QString label_;
};

} // namespace lumavane
