#pragma once

// What a person would notice in a window, as lists of findings a test can assert empty:
// texts that do not fit their widgets, controls laid over each other, buttons cut off or out
// of the window, symbol icons that draw nothing. Each finding names the widget so a failure
// says where to look.

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QCheckBox>
#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTextDocument>
#include <QToolButton>
#include <QWidget>

#include <string>
#include <vector>

namespace lumavane::test {

// Widgets that draw text elided on purpose (a file name cut in the middle) carry this property.
inline constexpr const char* elidesByDesignProperty = "lumavaneElidesByDesign";

inline std::string describeWidget(const QWidget& widget) {
    std::string name = widget.metaObject()->className();
    if (!widget.objectName().isEmpty()) name += " '" + widget.objectName().toStdString() + "'";
    if (const auto* label = qobject_cast<const QLabel*>(&widget))
        name += " \"" + label->text().left(60).toStdString() + "\"";
    else if (const auto* button = qobject_cast<const QAbstractButton*>(&widget))
        name += " \"" + button->text().left(60).toStdString() + "\"";
    const QRect r = widget.geometry();
    name += " at " + std::to_string(r.x()) + "," + std::to_string(r.y()) + " " + std::to_string(r.width()) + "x" +
            std::to_string(r.height());
    return name;
}

// Shown on screen: visible, not hidden behind a zero size, inside a shown window.
inline bool isOnScreen(const QWidget& widget) {
    return widget.isVisible() && widget.width() > 0 && widget.height() > 0;
}

namespace detail {

inline bool isRichText(const QLabel& label) {
    return label.textFormat() == Qt::RichText ||
           (label.textFormat() == Qt::AutoText && Qt::mightBeRichText(label.text()));
}

// The size the label's text needs at the label's width (wrapping labels) or on one line.
inline bool labelTextFits(const QLabel& label) {
    const QString text = label.text();
    if (text.isEmpty() || !label.pixmap().isNull()) return true;
    const QRect area = label.contentsRect().adjusted(label.margin(), label.margin(), -label.margin(), -label.margin());
    const int indent = label.indent() > 0 ? label.indent() : 0;
    const int width = area.width() - indent;
    if (isRichText(label)) {
        QTextDocument document;
        document.setDefaultFont(label.font());
        document.setDocumentMargin(0);
        document.setHtml(text);
        if (label.wordWrap()) document.setTextWidth(width);
        return document.idealWidth() <= width + 1 && document.size().height() <= area.height() + 1;
    }
    const QFontMetrics metrics(label.font());
    const int flags = Qt::TextExpandTabs | (label.wordWrap() ? Qt::TextWordWrap : Qt::TextSingleLine);
    const QRect needed = metrics.boundingRect(QRect(0, 0, label.wordWrap() ? width : 100000, 100000), flags, text);
    return needed.width() <= width + 1 && needed.height() <= area.height() + 1;
}

inline bool buttonTextFits(const QAbstractButton& button) {
    if (button.text().isEmpty()) return true;
    // A button narrower or lower than the size its style asks for cuts its text.
    const QSize hint = button.sizeHint();
    if (qobject_cast<const QToolButton*>(&button) || qobject_cast<const QPushButton*>(&button) ||
        qobject_cast<const QCheckBox*>(&button) || qobject_cast<const QRadioButton*>(&button))
        return button.width() + 1 >= hint.width() && button.height() + 1 >= std::min(hint.height(), 16);
    return true;
}

template <typename Visit>
void forEachShown(const QWidget& root, Visit&& visit) {
    for (QWidget* child : root.findChildren<QWidget*>()) {
        if (!isOnScreen(*child) || child->isWindow()) continue;
        visit(*child);
    }
}

} // namespace detail

// Labels and buttons whose text does not fit their rectangle, and labels showing an ellipsis
// that no one asked for.
inline std::vector<std::string> clippedTexts(const QWidget& root) {
    std::vector<std::string> found;
    detail::forEachShown(root, [&](const QWidget& widget) {
        if (widget.property(elidesByDesignProperty).toBool()) return;
        if (const auto* label = qobject_cast<const QLabel*>(&widget)) {
            if (!detail::labelTextFits(*label))
                found.push_back("text does not fit: " + describeWidget(widget));
            else if (label->text().contains(QChar(0x2026)))
                found.push_back("text elided: " + describeWidget(widget));
        } else if (const auto* button = qobject_cast<const QAbstractButton*>(&widget)) {
            if (!detail::buttonTextFits(*button)) found.push_back("button text cut: " + describeWidget(widget));
        }
    });
    return found;
}

// Siblings that one layout places and that lie over each other: the layout was squeezed below
// what its contents need.
inline std::vector<std::string> overlappingSiblings(const QWidget& root) {
    std::vector<std::string> found;
    auto check = [&](const QWidget& parent) {
        const QLayout* layout = parent.layout();
        if (!layout) return;
        std::vector<const QWidget*> placed;
        for (QWidget* child : parent.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (!isOnScreen(*child) || child->isWindow()) continue;
            // Only widgets some layout of this parent manages (nested layouts included).
            bool managed = false;
            std::vector<const QLayout*> pending{layout};
            while (!pending.empty() && !managed) {
                const QLayout* current = pending.back();
                pending.pop_back();
                for (int i = 0; i < current->count(); ++i) {
                    QLayoutItem* item = current->itemAt(i);
                    if (item->widget() == child) managed = true;
                    else if (item->layout()) pending.push_back(item->layout());
                }
            }
            if (managed) placed.push_back(child);
        }
        for (size_t i = 0; i < placed.size(); ++i)
            for (size_t j = i + 1; j < placed.size(); ++j)
                if (placed[i]->geometry().intersects(placed[j]->geometry()))
                    found.push_back("overlap: " + describeWidget(*placed[i]) + " and " + describeWidget(*placed[j]));
    };
    check(root);
    detail::forEachShown(root, check);
    return found;
}

// Buttons a person cannot reach whole: cut by an ancestor's edge or outside the window.
inline std::vector<std::string> unreachableButtons(const QWidget& window) {
    std::vector<std::string> found;
    detail::forEachShown(window, [&](const QWidget& widget) {
        if (!qobject_cast<const QAbstractButton*>(&widget)) return;
        QRect rect(widget.mapTo(&window, QPoint(0, 0)), widget.size());
        for (const QWidget* ancestor = widget.parentWidget(); ancestor; ancestor = ancestor->parentWidget()) {
            // What a scroll area cuts is reached by scrolling.
            if (const auto* area = qobject_cast<const QAbstractScrollArea*>(ancestor->parentWidget());
                area && area->viewport() == ancestor)
                return;
            const QRect bounds(ancestor == &window ? QPoint(0, 0) : ancestor->mapTo(&window, QPoint(0, 0)),
                               ancestor->size());
            if (!bounds.contains(rect)) {
                found.push_back("cut off by " + std::string(ancestor->metaObject()->className()) + ": " +
                                describeWidget(widget));
                return;
            }
            if (ancestor == &window) break;
        }
    });
    return found;
}

// Buttons that carry a design symbol but draw no icon (the theme icon was not found).
inline std::vector<std::string> blankSymbolIcons(const QWidget& root, const char* symbolProperty) {
    std::vector<std::string> found;
    detail::forEachShown(root, [&](const QWidget& widget) {
        const auto* button = qobject_cast<const QAbstractButton*>(&widget);
        if (!button || button->property(symbolProperty).toString().isEmpty()) return;
        if (button->icon().isNull() || button->icon().pixmap(16, 16).isNull())
            found.push_back("no icon for symbol \"" + button->property(symbolProperty).toString().toStdString() +
                            "\": " + describeWidget(widget));
    });
    return found;
}

} // namespace lumavane::test
