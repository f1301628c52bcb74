#pragma once

// Small shared pieces of the two benchmark sheets' look (dark palette colours, fonts, labels).

#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"

#include <QAbstractButton>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include <string>
#include <vector>

namespace lumavane::sheetstyle {

inline QString text(const std::string& utf8) { return QString::fromStdString(utf8); }
// A looked-up Japanese key.
inline QString loc(const char* key) { return text(AppLocalization::string(key)); }

inline const QColor blue{10, 132, 255};
inline const QColor secondary{235, 235, 245, 153};
inline const QColor tertiary{235, 235, 245, 77};
inline const QColor red{255, 69, 58};
inline const QColor green{48, 209, 88};
inline const QColor orange{255, 159, 10};

inline QString colour(const QColor& c) {
    return QStringLiteral("color: rgba(%1, %2, %3, %4);").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alpha());
}

inline QFont scaled(double factor, QFont::Weight weight = QFont::Normal) {
    QFont font;
    font.setPointSizeF(font.pointSizeF() * factor);
    font.setWeight(weight);
    return font;
}

inline QLabel* label(const QString& content, double size = 1.0, const QColor* tint = nullptr,
                     QFont::Weight weight = QFont::Normal, const char* name = nullptr) {
    auto* l = new QLabel(content);
    l->setFont(scaled(size, weight));
    if (tint) l->setStyleSheet(colour(*tint));
    l->setWordWrap(true);
    if (name) l->setObjectName(name);
    return l;
}

inline QLabel* symbolLabel(const char* symbol, int size) {
    auto* l = new QLabel;
    l->setProperty(symbolProperty, QString(symbol));
    l->setPixmap(symbolIcon(symbol).pixmap(size, size));
    l->setFixedSize(size, size);
    l->setAlignment(Qt::AlignCenter);
    return l;
}

inline QFrame* divider() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setStyleSheet("color: rgba(255, 255, 255, 38);");
    return line;
}

// A sheet's header row: the symbol at 30 points and a column of title lines (title-2, semibold,
// then `lines`), stretched; the caller adds its buttons to the row.
inline QHBoxLayout* headerRow(const char* symbol, const QString& title, const std::vector<QLabel*>& lines) {
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    row->addWidget(symbolLabel(symbol, 30));
    auto* titles = new QVBoxLayout;
    titles->setSpacing(3);
    titles->addWidget(label(title, 1.5, nullptr, QFont::DemiBold));
    for (QLabel* line : lines) titles->addWidget(line);
    row->addLayout(titles, 1);
    return row;
}

// The icon buttons of the sheets' headers ("xmark", "trash"): 28 x 28, flat, with a help text.
inline QToolButton* iconButton(const char* symbol, const char* helpKey, const char* name) {
    auto* button = new QToolButton;
    button->setObjectName(name);
    setSymbol(*button, symbol);
    button->setAutoRaise(true);
    button->setFixedSize(28, 28);
    button->setToolTip(loc(helpKey));
    button->setAccessibleName(loc(helpKey));
    return button;
}

inline QPushButton* pushButton(const QString& title, const char* name, const char* symbol = nullptr,
                               bool prominent = false) {
    auto* button = new QPushButton(title);
    button->setObjectName(name);
    if (symbol) setSymbol(*button, symbol);
    if (prominent) {
        const QColor accent = accentColor();
        button->setStyleSheet(QStringLiteral("QPushButton { background: rgb(%1, %2, %3); color: black; border-radius: "
                                             "5px; padding: 4px 12px; } QPushButton:disabled { background: rgba(255, "
                                             "255, 255, 30); color: rgba(235, 235, 245, 77); }")
                                  .arg(accent.red())
                                  .arg(accent.green())
                                  .arg(accent.blue()));
    }
    return button;
}

} // namespace lumavane::sheetstyle
