#include "Lumavane/Views/DisplayModeControl.hpp"

#include "Lumavane/Localization/AppLocalization.hpp"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>

namespace lumavane {

HoverSegments::HoverSegments(QWidget* parent, int segmentHeight) : QWidget(parent), segmentHeight_(segmentHeight) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(2, 2, 2, 2);
    row->setSpacing(2);
}

void HoverSegments::setTitles(const std::vector<std::string>& titles) {
    auto* row = static_cast<QHBoxLayout*>(layout());
    while (segments_.size() > titles.size()) {
        delete segments_.back();
        segments_.pop_back();
    }
    while (segments_.size() < titles.size()) {
        auto* button = new StyledButton(ButtonStyle::displayMode, this);
        // A click leaves the keyboard where it was: space and the arrows stay the player's, not a
        // press of the segment last chosen. Tab still reaches it.
        button->setFocusPolicy(Qt::TabFocus);
        button->setFixedHeight(segmentHeight_);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        const int index = int(segments_.size());
        connect(button, &QAbstractButton::clicked, this, [this, index] {
            setSelectedIndex(index);
            if (chosen) chosen(index);
        });
        row->addWidget(button);
        segments_.push_back(button);
    }
    for (std::size_t i = 0; i < titles.size(); ++i) {
        segments_[i]->setText(QString::fromStdString(titles[i]));
        segments_[i]->setAccessibleName(QString::fromStdString(titles[i]));
    }
    restyle();
}

void HoverSegments::setSelectedIndex(int index) {
    selected_ = index;
    restyle();
}

StyledButton* HoverSegments::segment(int index) const {
    return index >= 0 && index < count() ? segments_[std::size_t(index)] : nullptr;
}

void HoverSegments::restyle() {
    for (int i = 0; i < count(); ++i) {
        StyledButton* button = segments_[std::size_t(i)];
        const bool selected = i == selected_;
        button->setSelected(selected);
        QFont font = button->font();
        font.setPixelSize(12);
        font.setWeight(boldSelection_ && selected ? QFont::DemiBold : QFont::Normal);
        button->setFont(font);
    }
}

void HoverSegments::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    painter.fillPath(shape, QColor::fromRgbF(1, 1, 1, float(backgroundOpacity_)));
    if (bordered_) {
        painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.08f), 1));
        painter.drawPath(shape);
    }
}

DisplayModeControl::DisplayModeControl(QWidget* parent) : HoverSegments(parent, 26) {
    backgroundOpacity_ = 0.035;
    bordered_ = true;
    boldSelection_ = true;
    setFixedWidth(fixedWidth);
    relabel();
    setSelection(ViewMode::compare);
    chosen = [this](int index) {
        if (selectionChanged) selectionChanged(ViewMode(index));
    };
}

std::string DisplayModeControl::title(ViewMode mode) {
    switch (mode) {
    case ViewMode::original: return AppLocalization::string("view_mode.original");
    case ViewMode::enhanced: return AppLocalization::string("view_mode.enhanced");
    case ViewMode::compare: break;
    }
    return AppLocalization::string("view_mode.compare");
}

void DisplayModeControl::relabel() {
    setTitles({title(ViewMode::original), title(ViewMode::enhanced), title(ViewMode::compare)});
    setAccessibleName(QString::fromStdString(AppLocalization::string("表示モード")));
}

} // namespace lumavane
