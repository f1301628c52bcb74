#pragma once

#include <QFont>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <string>

class QPainter;

namespace lumavane {

// How subtitle text is drawn for "player.subtitleStyle" and
// "player.subtitleBackgroundTransparency": "outline" a one-point black outline, "shadow" a soft
// drop shadow, anything else a black box at opacity 1 - transparency. Font and colour are the
// caller's.
struct SubtitleAppearance {
    std::string style;
    double transparency = 0.5;

    bool drawsBox() const { return style != "outline" && style != "shadow"; }
    // The size the text takes with its padding.
    QSize sizeFor(const QFont& font, const QString& text, int maxWidth) const;
    // Draws the text centred in `area`, in the painter's pen colour.
    void paint(QPainter& painter, const QRect& area, const QString& text) const;
};

// The installed families offered for subtitles: hidden ones (a leading ".") dropped, sorted in
// the file browser's order (case-insensitive, runs of digits by value).
QStringList availableSubtitleFonts(const QStringList& families);
QStringList availableSubtitleFonts(); // the installed families

// The sample line's font: the family at `size` pixels, semibold; the application's font when the
// name is "system" or the family is not installed.
QFont subtitlePreviewFont(const std::string& name, double size);

// The subtitles tab's sample line over a dark rounded backdrop.
class SubtitlePreview final : public QWidget {
public:
    explicit SubtitlePreview(QWidget* parent = nullptr);
    void show(const QString& text, const QFont& font, SubtitleAppearance appearance);
    const SubtitleAppearance& appearance() const { return appearance_; }
    const QString& text() const { return text_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString text_;
    SubtitleAppearance appearance_;
};

} // namespace lumavane
