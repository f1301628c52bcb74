#pragma once

#include "Platform/Foundation/Signal.hpp"

#include <QAbstractButton>
#include <QColor>
#include <QFrame>

#include <functional>
#include <string>
#include <vector>

class QLabel;
class QSlider;

namespace lumavane {

class PlayerSession;

// A switch drawn as a rounded track with a knob, tinted with the accent while on (38 x 24).
class HoverSwitch final : public QAbstractButton {
    Q_OBJECT
public:
    HoverSwitch(const QColor& accent, QWidget* parent = nullptr);
    QSize sizeHint() const override { return {38, 24}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QColor accent_;
    bool hovered_ = false;
};

// The effects popover's content (the transport bar's popover frame holds it). It keeps nothing
// of its own: every control writes one session setting through its setter (whose change
// behaviour saves and redraws) and shows the session's value. Controls are named after the
// settings they write ("sharpenAmount", "brightness.reset").
class PostProcessPanel final : public QFrame {
    Q_OBJECT
public:
    PostProcessPanel(PlayerSession& session, const QColor& accent, QWidget* parent = nullptr);
    ~PostProcessPanel() override;

    // Sliders run in steps this fine over their ranges.
    static constexpr int sliderSteps = 10000;

    // The value labels: 0.125 -> "13", brightness -0.25 -> "-25", gamma 1 -> "1.00".
    static QString amountText(double amount);
    static QString brightnessText(double brightness);
    static QString gammaText(double gamma);

    // "リセット" and "自然".
    void reset();
    void applyPreset(double sharpen, double deband, double grain);

    // Every label looked up again in the stored language.
    void relabel();
    // Every control shows the session's values again.
    void refresh();

private:
    using Text = std::string (*)();
    using Setter = void (PlayerSession::*)(bool);
    using AmountSetter = void (PlayerSession::*)(double);
    struct Effect {
        Text title, help;
        const char* switchName;
        const bool& enabled;
        Setter setEnabled;
        const char* amountName;
        const double& amount;
        AmountSetter setAmount;
    };
    struct Tone {
        Text title;
        const char* name;
        const double& value;
        AmountSetter set;
        double low, high, neutral;
        QString (*label)(double);
    };
    HoverSwitch* switchButton(Text title, const char* name, const bool& value, Setter set);
    QWidget* effect(const Effect& effect);
    QWidget* toneControl(const Tone& tone);
    QWidget* pipelineOrderRow();
    void labelled(std::function<void()> relabel);

    PlayerSession& session_;
    QColor accent_;
    std::vector<std::function<void()>> relabels_;
    std::vector<std::function<void()>> refreshes_;
    std::vector<Connection> connections_;
};

} // namespace lumavane
