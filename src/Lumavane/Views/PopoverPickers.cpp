#include "Lumavane/Views/PopoverPickers.hpp"

#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Presentation/VideoAspectMode.hpp"
#include "Lumavane/Views/ButtonStyles.hpp"

#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace lumavane {
namespace {

QString localized(const std::string& text) { return QString::fromStdString(text); }

} // namespace

QString trackTitle(const std::string& title, const std::string& language, const QString& fallback) {
    const QString lang = language == "und" ? QString() : QString::fromStdString(language).toUpper();
    if (!title.empty())
        return lang.isEmpty() ? QString::fromStdString(title) : QString::fromStdString(title) + " · " + lang;
    return lang.isEmpty() ? fallback : lang;
}

QString playbackRateText(double rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", rate);
    return QString::fromLatin1(text) + QChar(0x00D7);
}

PickerContent subtitlePicker(const std::vector<DirectSubtitleTrack>& tracks, std::optional<int> selected,
                             std::function<void(std::optional<int>)> select) {
    PickerContent content{localized(AppLocalization::string("字幕")), {}};
    content.rows.push_back(
        {localized(AppLocalization::string("なし")), !selected, [select] { select(std::nullopt); }});
    const QString fallback = localized(AppLocalization::string("字幕"));
    for (const auto& track : tracks)
        content.rows.push_back({trackTitle(track.title, track.language, fallback), selected == track.id,
                                [select, id = track.id] { select(id); }});
    return content;
}

PickerContent audioTrackPicker(const std::vector<DirectAudioTrack>& tracks, std::optional<int> selected,
                               std::function<void(int)> select) {
    PickerContent content{localized(AppLocalization::string("音声トラック")), {}};
    const QString fallback = localized(AppLocalization::string("音声"));
    for (const auto& track : tracks)
        content.rows.push_back({trackTitle(track.title, track.language, fallback), selected == track.id,
                                [select, id = track.id] { select(id); }});
    return content;
}

PickerContent playbackRatePicker(double rate, std::function<void(double)> set) {
    PickerContent content{localized(AppLocalization::string("再生速度")), {}};
    for (double offered : offeredPlaybackRates)
        content.rows.push_back(
            {playbackRateText(offered), std::abs(rate - offered) < 0.001, [set, offered] { set(offered); }});
    return content;
}

PickerContent aspectModePicker(const std::string& stored, std::function<void(const std::string&)> set) {
    PickerContent content{localized(AppLocalization::string("アスペクト比")), {}};
    const VideoAspectMode current = videoAspectModeFromRawValue(stored).value_or(VideoAspectMode::automatic);
    for (VideoAspectMode mode : allVideoAspectModes) {
        QString title;
        switch (mode) {
        case VideoAspectMode::automatic:
            title = localized(AppLocalization::string("自動"));
            break;
        case VideoAspectMode::fit:
            title = localized(AppLocalization::string("画面に合わせる"));
            break;
        case VideoAspectMode::fill:
            title = localized(AppLocalization::string("画面を埋める"));
            break;
        case VideoAspectMode::ratio16x9:
            title = "16:9";
            break;
        case VideoAspectMode::ratio4x3:
            title = "4:3";
            break;
        case VideoAspectMode::ratio1x1:
            title = "1:1";
            break;
        case VideoAspectMode::ratio21x9:
            title = "21:9";
            break;
        }
        content.rows.push_back(
            {title, mode == current, [set, raw = std::string(rawValue(mode))] { set(raw); }});
    }
    return content;
}

PickerRow::PickerRow(const QString& title, bool selected, const QColor& accent, QWidget* parent)
    : QAbstractButton(parent), selected_(selected), accent_(accent) {
    setText(title);
    setCheckable(false);
    setAttribute(Qt::WA_Hover);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize PickerRow::sizeHint() const {
    const QFontMetrics metrics(font());
    // 8 + check 14 + 8 + title + spacer 12 + 8, and 5 above and below.
    return {8 + 14 + 8 + metrics.horizontalAdvance(text()) + 12 + 8, metrics.height() + 10};
}

void PickerRow::enterEvent(QEnterEvent*) {
    hovered_ = true;
    update();
}

void PickerRow::leaveEvent(QEvent*) {
    hovered_ = false;
    update();
}

void PickerRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const ButtonLook look =
        buttonLook(ButtonStyle::popoverPickerRow,
                   ButtonState{isEnabled(), hovered_, isDown(), selected_, false}, accent_);
    painter.setPen(Qt::NoPen);
    painter.setBrush(look.fill);
    painter.drawRoundedRect(bounds, look.radius, look.radius);
    const QColor ink = look.foreground.isValid() ? look.foreground : palette().color(QPalette::WindowText);
    if (selected_) {
        QPainterPath check;
        const double cy = height() / 2.0;
        check.moveTo(8 + 2, cy);
        check.lineTo(8 + 5.5, cy + 3.5);
        check.lineTo(8 + 12, cy - 4);
        painter.setPen(QPen(accent_, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(check);
    }
    painter.setPen(ink);
    painter.drawText(QRect(8 + 14 + 8, 0, width() - 30 - 8, height()), Qt::AlignVCenter | Qt::AlignLeft,
                     text());
}

PopoverFrame::PopoverFrame(QWidget* button, int minimumWidth)
    : QFrame(button, Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint), button_(button) {
    setObjectName("popover");
    setAttribute(Qt::WA_TranslucentBackground);
    setMinimumWidth(minimumWidth);
    column_ = new QVBoxLayout(this);
    column_->setContentsMargins(8, 8, 8, 8);
    column_->setSpacing(4);
}

void PopoverFrame::clear() {
    while (QLayoutItem* item = column_->takeAt(0)) {
        if (QWidget* widget = item->widget()) widget->deleteLater();
        delete item;
    }
}

void PopoverFrame::setPicker(const PickerContent& content, const QColor& accent) {
    clear();
    auto* header = new QLabel(content.header, this);
    QFont bold = header->font();
    bold.setBold(true);
    header->setFont(bold);
    header->setContentsMargins(8, 4, 8, 0);
    column_->addWidget(header);
    auto* divider = new QFrame(this);
    divider->setFixedHeight(1);
    divider->setStyleSheet("background: rgba(255,255,255,0.12);");
    column_->addWidget(divider);
    for (const PickerChoice& choice : content.rows) {
        auto* row = new PickerRow(choice.title, choice.selected, accent, this);
        connect(row, &QAbstractButton::clicked, this, [this, choose = choice.choose] {
            if (choose) choose();
            hide();
        });
        column_->addWidget(row);
    }
    adjustSize();
}

void PopoverFrame::setView(QWidget* view) {
    clear();
    column_->setContentsMargins(0, 0, 0, 0);
    view->setParent(this);
    column_->addWidget(view);
    adjustSize();
}

std::vector<PickerRow*> PopoverFrame::rows() const {
    std::vector<PickerRow*> found;
    for (int i = 0; i < column_->count(); ++i)
        if (auto* row = qobject_cast<PickerRow*>(column_->itemAt(i)->widget())) found.push_back(row);
    return found;
}

void PopoverFrame::popUp() {
    adjustSize();
    const QRect anchor(button_->mapToGlobal(QPoint(0, 0)), button_->size());
    const QScreen* screen = button_->screen();
    const QRect visible = screen ? screen->availableGeometry() : anchor;
    int x = anchor.center().x() - width() / 2;
    x = std::clamp(x, visible.left(), std::max(visible.left(), visible.x() + visible.width() - width()));
    int y = anchor.bottom() + 1;
    // No room under the button (the bar sits at the window's bottom): above it instead.
    if (y + height() > visible.y() + visible.height()) y = std::max(visible.top(), anchor.top() - height());
    move(x, y);
    show();
}

void PopoverFrame::hideEvent(QHideEvent* event) {
    QFrame::hideEvent(event);
    if (closed) closed();
}

void PopoverFrame::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.12f), 1));
    painter.setBrush(QColor(40, 40, 42, 250));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
}

} // namespace lumavane
