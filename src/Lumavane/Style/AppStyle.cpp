#include "Lumavane/Style/AppStyle.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>

#include <algorithm>
#include <array>
#include <map>
#include <utility>

namespace lumavane {
namespace {

struct SymbolEntry {
    const char* symbol;
    std::array<const char*, 3> themeNames;
};

const SymbolEntry symbolTable[] = {
    {"sidebar.left", {"sidebar-expand-left", "view-left-new", "view-split-left-right"}},
    {"sidebar.right", {"sidebar-expand-right", "view-right-new", "view-split-left-right"}},
    {"plus", {"list-add", nullptr, nullptr}},
    {"gearshape", {"configure", "preferences-system", nullptr}},
    {"captions.bubble", {"media-view-subtitles-symbolic", "view-media-lyrics", nullptr}},
    {"camera", {"camera-photo", "camera-photo-symbolic", nullptr}},
    {"info.circle", {"help-about", "dialog-information", nullptr}},
    {"doc.text", {"license", "text-plain", nullptr}},
    {"xmark", {"window-close", "dialog-close", nullptr}},
    {"minus.circle", {"list-remove", nullptr, nullptr}},
    {"doc.on.doc", {"edit-copy", nullptr, nullptr}},
    {"checkmark.circle.fill", {"dialog-ok-apply", "checkmark", nullptr}},
    {"backward.fill", {"media-seek-backward", nullptr, nullptr}},
    {"play.fill", {"media-playback-start", nullptr, nullptr}},
    {"pause.fill", {"media-playback-pause", nullptr, nullptr}},
    {"forward.fill", {"media-seek-forward", nullptr, nullptr}},
    {"stop.fill", {"media-playback-stop", nullptr, nullptr}},
    {"speaker.slash.fill", {"audio-volume-muted", nullptr, nullptr}},
    {"speaker.wave.1.fill", {"audio-volume-low", nullptr, nullptr}},
    {"speaker.wave.2.fill", {"audio-volume-medium", nullptr, nullptr}},
    {"speaker.wave.3.fill", {"audio-volume-high", nullptr, nullptr}},
    {"slider.horizontal.3", {"adjustlevels", "configure", nullptr}},
    {"aspectratio", {"zoom-fit-best", "zoom-original", nullptr}},
    {"waveform", {"view-media-equalizer", "audio-x-generic", nullptr}},
    {"captions.bubble.fill", {"media-view-subtitles-symbolic", "view-media-lyrics", nullptr}},
    {"arrow.down.left.and.arrow.up.right", {"view-fullscreen", nullptr, nullptr}},
    {"arrow.up.right.and.arrow.down.left", {"view-restore", "view-fullscreen", nullptr}},
    {"film", {"video-x-generic", "media-video", nullptr}},
    {"arrow.counterclockwise", {"edit-reset", "edit-undo", nullptr}},
    {"square.and.arrow.down", {"document-import", "download", nullptr}},
    {"shippingbox.and.arrow.backward", {"archive-extract", "package-x-generic", nullptr}},
    {"shippingbox", {"package-x-generic", "application-x-archive", nullptr}},
    {"arrow.down.doc", {"download", "document-import", nullptr}},
    {"folder", {"document-open", "folder-open", nullptr}},
    {"gauge.with.dots.needle.67percent", {"speedometer", "utilities-system-monitor", nullptr}},
    {"trash", {"edit-delete", "user-trash", nullptr}},
    {"safari", {"internet-web-browser", "web-browser", nullptr}},
    {"checkmark", {"checkmark", "dialog-ok-apply", nullptr}},
    {"globe", {"applications-internet", "internet-web-browser", nullptr}},
    {"hand.raised.fill", {"security-high", nullptr, nullptr}},
    {"exclamationmark.triangle", {"dialog-warning", "emblem-important", nullptr}},
    {"sparkles", {"tools-wizard", "starred-symbolic", nullptr}},
    {"chevron.right", {"go-next", nullptr, nullptr}},
    {"chevron.up", {"go-up", nullptr, nullptr}},
    {"chevron.down", {"go-down", nullptr, nullptr}},
    {"clock.arrow.circlepath", {"document-open-recent", "view-history", nullptr}},
    {"play.square.stack", {"view-media-playlist", "media-playlist-repeat", nullptr}},
};

// Where freedesktop icon themes are installed. Platforms without a desktop
// theme (offscreen, minimal) leave them out of Qt's search paths, and then no icon is found.
QStringList xdgIconFolders() {
    QStringList folders;
    const QString home = QDir::homePath();
    const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
    folders << (dataHome.isEmpty() ? home + "/.local/share" : QString::fromLocal8Bit(dataHome)) + "/icons";
    folders << home + "/.icons";
    QByteArray dataDirs = qgetenv("XDG_DATA_DIRS");
    if (dataDirs.isEmpty()) dataDirs = "/usr/local/share:/usr/share";
    for (const QString& dir : QString::fromLocal8Bit(dataDirs).split(':', Qt::SkipEmptyParts)) folders << dir + "/icons";
    return folders;
}

void addIconThemeSearchPaths() {
    QStringList paths = QIcon::themeSearchPaths();
    bool added = false;
    for (const QString& folder : xdgIconFolders()) {
        if (paths.contains(folder) || !QDir(folder).exists()) continue;
        paths << folder;
        added = true;
    }
    if (added) QIcon::setThemeSearchPaths(paths);
}

// Fusion draws an unchecked box's frame a shade darker than the window, which on the dark
// palette is black on dark grey. The indicators get a light frame and the accent when on.
class LumavaneStyle final : public QProxyStyle {
public:
    LumavaneStyle() : QProxyStyle(QStyleFactory::create("Fusion")) {}

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (element != PE_IndicatorCheckBox && element != PE_IndicatorRadioButton) {
            QProxyStyle::drawPrimitive(element, option, painter, widget);
            return;
        }
        const bool enabled = option->state & State_Enabled;
        const bool on = option->state & State_On;
        const bool partial = option->state & State_NoChange;
        const QRectF box = QRectF(option->rect).adjusted(1, 1, -1, -1);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setOpacity(enabled ? 1.0 : 0.45);
        QColor frame = indicatorFrameColor();
        if (option->state & State_MouseOver) frame = frame.lighter(125);
        const bool filled = on || partial;
        painter->setPen(QPen(filled ? accentColor() : frame, 1.0));
        painter->setBrush(filled ? accentColor() : QColor(255, 255, 255, 20));
        const QRectF outline = box.adjusted(0.5, 0.5, -0.5, -0.5);
        if (element == PE_IndicatorRadioButton) {
            painter->drawEllipse(outline);
            if (on) {
                painter->setPen(Qt::NoPen);
                painter->setBrush(QColor(20, 20, 20));
                const double dot = box.width() * 0.36;
                painter->drawEllipse(QRectF(box.center().x() - dot / 2, box.center().y() - dot / 2, dot, dot));
            }
        } else {
            painter->drawRoundedRect(outline, 2, 2);
            QPen mark(QColor(20, 20, 20), std::max(1.5, box.width() / 8), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
            painter->setPen(mark);
            painter->setBrush(Qt::NoBrush);
            const double w = box.width(), h = box.height();
            if (partial) {
                painter->drawLine(QPointF(box.left() + w * 0.28, box.center().y()),
                                  QPointF(box.right() - w * 0.28, box.center().y()));
            } else if (on) {
                QPainterPath check;
                check.moveTo(box.left() + w * 0.24, box.top() + h * 0.52);
                check.lineTo(box.left() + w * 0.43, box.top() + h * 0.72);
                check.lineTo(box.left() + w * 0.78, box.top() + h * 0.30);
                painter->drawPath(check);
            }
        }
        painter->restore();
    }
};

bool themeInstalled(const QString& name) {
    for (const QString& path : QIcon::themeSearchPaths())
        if (QDir(path + "/" + name).exists("index.theme")) return true;
    return false;
}

} // namespace

QColor accentColor() { return QColor::fromRgbF(0.48f, 0.90f, 0.73f, 1.0f); }

QColor indicatorFrameColor() { return QColor(160, 160, 160); }

void applyAppStyle(QApplication& application) {
    application.setStyle(new LumavaneStyle);
    QPalette palette;
    const QColor window(31, 31, 31), base(24, 24, 24), text(235, 235, 235), button(45, 45, 45);
    const QColor dim(120, 120, 120);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, QColor(38, 38, 38));
    palette.setColor(QPalette::ToolTipBase, button);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, dim);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, button);
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::BrightText, Qt::white);
    palette.setColor(QPalette::Light, QColor(70, 70, 70));
    palette.setColor(QPalette::Midlight, QColor(55, 55, 55));
    palette.setColor(QPalette::Mid, QColor(40, 40, 40));
    palette.setColor(QPalette::Dark, QColor(20, 20, 20));
    palette.setColor(QPalette::Shadow, Qt::black);
    palette.setColor(QPalette::Highlight, accentColor());
    palette.setColor(QPalette::HighlightedText, Qt::black);
    palette.setColor(QPalette::Link, accentColor());
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, dim);
    application.setPalette(palette);

    addIconThemeSearchPaths();
    // Dark icons would vanish on the dark palette: prefer the light-on-dark theme, with the
    // desktop's own theme behind it.
    const QString desktopTheme = QIcon::themeName();
    if (themeInstalled("breeze-dark")) {
        if (!desktopTheme.isEmpty() && desktopTheme != "breeze-dark" && desktopTheme != "hicolor")
            QIcon::setFallbackThemeName(desktopTheme);
        QIcon::setThemeName("breeze-dark");
    } else if (desktopTheme.isEmpty() || desktopTheme == "hicolor") {
        QIcon::setThemeName("Adwaita");
    }

    // Japanese glyphs in the Japanese forms, Latin text in the same family.
    for (const char* family : {"Noto Sans CJK JP", "Noto Sans JP"}) {
        if (QFontDatabase::hasFamily(family)) {
            QFont font(family);
            font.setPointSizeF(application.font().pointSizeF() > 0 ? application.font().pointSizeF() : 10);
            application.setFont(font);
            break;
        }
    }
}

QStringList knownSymbols() {
    QStringList symbols;
    for (const SymbolEntry& entry : symbolTable) symbols << entry.symbol;
    return symbols;
}

QString themeIconName(const QString& symbol) {
    for (const SymbolEntry& entry : symbolTable) {
        if (symbol != entry.symbol) continue;
        for (const char* name : entry.themeNames)
            if (name && QIcon::hasThemeIcon(name)) return name;
        return entry.themeNames.front();
    }
    return {};
}

QIcon symbolIcon(const QString& symbol) {
    const QString name = themeIconName(symbol);
    return name.isEmpty() ? QIcon() : QIcon::fromTheme(name);
}

void setSymbol(QAbstractButton& button, const QString& symbol) {
    button.setIcon(symbolIcon(symbol));
    button.setProperty(symbolProperty, symbol);
}

namespace {

std::map<std::pair<QString, QRgb>, QIcon>& tintedIcons() {
    static std::map<std::pair<QString, QRgb>, QIcon> made;
    return made;
}

QIcon tinted(const QIcon& icon, const QColor& colour) {
    QIcon result;
    for (int side : {14, 16, 18, 22, 28, 32, 36, 42, 44}) {
        QPixmap pixmap = icon.pixmap(side, side);
        if (pixmap.isNull()) continue;
        QPainter painter(&pixmap);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(pixmap.rect(), colour);
        painter.end();
        result.addPixmap(pixmap, QIcon::Normal);
        QPixmap dim = pixmap;
        QPainter dimmer(&dim);
        dimmer.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        dimmer.fillRect(dim.rect(), QColor(0, 0, 0, 115)); // opacity 0.45
        dimmer.end();
        result.addPixmap(dim, QIcon::Disabled);
    }
    return result;
}

} // namespace

QIcon tintedSymbolIcon(const QString& symbol, const QIcon& source, const QColor& ink) {
    if (source.isNull() || !ink.isValid()) return source;
    QIcon& made = tintedIcons()[{symbol, ink.rgba()}];
    if (made.isNull()) made = tinted(source, ink);
    return made;
}

std::size_t tintedSymbolIconCount() { return tintedIcons().size(); }

} // namespace lumavane
