#pragma once

#include <QColor>
#include <QRectF>
#include <QSizeF>
#include <QString>

class QPainter;

namespace lumavane {

struct AppearanceSettings;
struct SubtitleRenderer;

// The paused badge and the subtitles as drawn over the picture and into captures.
namespace overlays {

// The badge's side: 92 points in the video-only full screen, 80 otherwise.
double pausedBadgeSide(bool fullscreen);
// `shown` from 0 (hidden: scaled 0.88, transparent) to 1.
void paintPausedBadge(QPainter& painter, QSizeF size, bool fullscreen, double osdTransparency, double shown);

// Subtitle text at the bottom: padded 80/32 points at the sides and 112/34 at the bottom (full
// screen / windowed), at most four lines, shrinking to 0.7 of the size before it is cut. In the
// full screen the text also stays clear of the floating controls, `controlsHeight` from the bottom.
void paintSubtitles(QPainter& painter, QSizeF size, const QString& text, const AppearanceSettings& appearance,
                    const SubtitleRenderer& renderer, bool fullscreen, double controlsHeight = 0);
// The bottom padding of the subtitles.
double subtitleBottomPadding(bool fullscreen, double controlsHeight);

// The rounded, translucent card of the full-screen on-screen display.
void paintOSDBackground(QPainter& painter, const QRectF& rect, double osdTransparency);

} // namespace overlays
} // namespace lumavane
