#pragma once

#include "DirectPlayback/DirectPlaybackTypes.hpp"

#include <QAbstractButton>
#include <QColor>
#include <QFrame>
#include <QString>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QVBoxLayout;

namespace lumavane {

// What a picker popover lists: a header and one row per choice, the current one checked.
struct PickerChoice {
    QString title;
    bool selected = false;
    std::function<void()> choose;
};
struct PickerContent {
    QString header;
    std::vector<PickerChoice> rows;
};

// A track's title: "title · LANG", the title or the language alone, else the fallback word.
QString trackTitle(const std::string& title, const std::string& language, const QString& fallback);

inline constexpr double offeredPlaybackRates[] = {0.75, 1.0, 1.2, 1.5, 2.0};
// "%.2f×".
QString playbackRateText(double rate);

// The four pickers; each choice calls its operation (the popover closes itself afterwards).
PickerContent subtitlePicker(const std::vector<DirectSubtitleTrack>& tracks, std::optional<int> selected,
                             std::function<void(std::optional<int>)> select);
PickerContent audioTrackPicker(const std::vector<DirectAudioTrack>& tracks, std::optional<int> selected,
                               std::function<void(int)> select);
PickerContent playbackRatePicker(double rate, std::function<void(double)> set);
// Stored raw values that name no mode check "automatic".
PickerContent aspectModePicker(const std::string& rawValue, std::function<void(const std::string&)> set);

// The one row view of every picker: a check mark column 14 wide, the title, the hover fill.
class PickerRow final : public QAbstractButton {
    Q_OBJECT
public:
    PickerRow(const QString& title, bool selected, const QColor& accent, QWidget* parent = nullptr);
    bool selected() const { return selected_; }
    QSize sizeHint() const override;

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool selected_;
    bool hovered_ = false;
    QColor accent_;
};

// A popover: a frameless popup under (or, without room, over) its button that closes on a click
// outside. `closed` runs whenever it hides.
class PopoverFrame final : public QFrame {
    Q_OBJECT
public:
    PopoverFrame(QWidget* button, int minimumWidth);
    // Replaces the content by a picker; choosing a row runs the choice and closes the popover.
    void setPicker(const PickerContent& content, const QColor& accent);
    // Replaces the content by a view of the caller's (the effects panel).
    void setView(QWidget* view);
    void popUp();
    std::function<void()> closed;
    std::vector<PickerRow*> rows() const;

protected:
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void clear();
    QWidget* button_;
    QVBoxLayout* column_;
};

} // namespace lumavane
