#include "Lumavane/Panels/PostProcessPanel.hpp"

#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Platform/Foundation/DefaultsStore.hpp"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace lumavane {
namespace {

QString text(const std::string& utf8) { return QString::fromStdString(utf8); }

QFont scaled(QFont font, double factor, QFont::Weight weight) {
    font.setPointSizeF(font.pointSizeF() * factor);
    font.setWeight(weight);
    return font;
}
QFont subheadline() { return scaled(QFont(), 0.93, QFont::Medium); }
QFont caption() {
    QFont font = scaled(QFont(), 0.85, QFont::Normal);
    font.setStyleHint(QFont::Monospace); // digits of one width, so the label does not jiggle
    return font;
}

QFrame* divider() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setStyleSheet("color: rgba(255, 255, 255, 38);");
    return line;
}

QLabel* valueLabel(const QString& name) {
    auto* label = new QLabel;
    label->setObjectName(name);
    label->setFixedWidth(36);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setFont(caption());
    return label;
}

QSlider* slider(const QString& name, const QColor& accent) {
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setObjectName(name);
    slider->setRange(0, PostProcessPanel::sliderSteps);
    QPalette palette = slider->palette();
    palette.setColor(QPalette::Active, QPalette::Highlight, accent);
    palette.setColor(QPalette::Inactive, QPalette::Highlight, accent);
    palette.setColor(QPalette::Disabled, QPalette::Highlight, QColor(255, 255, 255, 50));
    slider->setPalette(palette);
    return slider;
}

// Two lines: the title with a control at its end, then a slider with its value label.
QWidget* twoLineBlock(QLabel* title, int gap, QWidget* trailing, QSlider* slider, QLabel* value) {
    auto* block = new QWidget;
    auto* column = new QVBoxLayout(block);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(5);
    auto* header = new QHBoxLayout;
    title->setFont(subheadline());
    header->addWidget(title);
    header->addStretch(1);
    header->addSpacing(gap);
    header->addWidget(trailing);
    column->addLayout(header);
    auto* line = new QHBoxLayout;
    line->setSpacing(10);
    line->addWidget(slider, 1);
    line->addWidget(value);
    column->addLayout(line);
    return block;
}

int sliderPosition(double value, double low, double high) {
    if (!std::isfinite(value)) return 0;
    const double position = std::round((value - low) / (high - low) * PostProcessPanel::sliderSteps);
    return static_cast<int>(std::clamp(position, 0.0, double(PostProcessPanel::sliderSteps)));
}
double sliderValue(int position, double low, double high) {
    return low + (high - low) * position / PostProcessPanel::sliderSteps;
}

} // namespace

HoverSwitch::HoverSwitch(const QColor& accent, QWidget* parent) : QAbstractButton(parent), accent_(accent) {
    setCheckable(true);
    setFixedSize(38, 24);
    setCursor(Qt::PointingHandCursor);
}

void HoverSwitch::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void HoverSwitch::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void HoverSwitch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    // The plate follows the pointer alone: a greyed-out switch still shows where the pointer is.
    if (hovered_) {
        painter.setBrush(QColor(255, 255, 255, 26));
        painter.drawRoundedRect(rect(), 5, 5);
    }
    const QRectF track(5, 5, 28, 14);
    QColor fill = isChecked() ? accent_ : QColor(255, 255, 255, 60);
    if (!isEnabled()) fill.setAlphaF(fill.alphaF() * 0.4);
    painter.setBrush(fill);
    painter.drawRoundedRect(track, 7, 7);
    const double knob = 12;
    const double x = isChecked() ? track.right() - knob - 1 : track.left() + 1;
    painter.setBrush(QColor(isEnabled() ? 250 : 170, isEnabled() ? 250 : 170, isEnabled() ? 250 : 170));
    painter.drawEllipse(QRectF(x, track.top() + 1, knob, knob));
}

PostProcessPanel::PostProcessPanel(PlayerSession& session, const QColor& accent, QWidget* parent)
    : QFrame(parent), session_(session), accent_(accent) {
    setObjectName("effectsPanel");
    setFixedWidth(350);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(18, 18, 18, 18);
    column->setSpacing(14);

    auto* header = new QHBoxLayout;
    auto* title = new QLabel;
    title->setFont(scaled(QFont(), 1.1, QFont::DemiBold));
    labelled([title] { title->setText(text(AppLocalization::string("FX"))); });
    header->addWidget(title);
    header->addStretch(1);
    HoverSwitch* master =
        switchButton([] { return AppLocalization::string("FX全体のON/OFF"); }, "fxEnabled", session.fxEnabled(),
                     &PlayerSession::setFxEnabled);
    labelled([master] { master->setToolTip(text(AppLocalization::string("調整値を保持したままFX全体をON/OFFします"))); });
    header->addWidget(master);
    column->addLayout(header);

    auto* card = new QFrame;
    card->setObjectName("effectsCard");
    card->setStyleSheet("#effectsCard { background: rgba(255, 255, 255, 9); border-radius: 10px; }");
    auto* rows = new QVBoxLayout(card);
    rows->setContentsMargins(12, 12, 12, 12);
    rows->setSpacing(12);
    const std::vector<QWidget*> blocks = {
        pipelineOrderRow(),
        effect({[] { return AppLocalization::string("モデルノイズ抑制"); },
                [] { return AppLocalization::string("元映像にない平坦面の粒状模様を、アップスケール後に抑えます"); },
                "enhancementCleanupEnabled", session.enhancementCleanupEnabled(),
                &PlayerSession::setEnhancementCleanupEnabled, "enhancementCleanupAmount",
                session.enhancementCleanupAmount(), &PlayerSession::setEnhancementCleanupAmount}),
        effect({[] { return AppLocalization::string("シャープネス"); },
                [] { return AppLocalization::string("輪郭を適応的に引き締めます"); }, "sharpenEnabled",
                session.sharpenEnabled(), &PlayerSession::setSharpenEnabled, "sharpenAmount", session.sharpenAmount(),
                &PlayerSession::setSharpenAmount}),
        effect({[] { return AppLocalization::string("デバンド"); },
                [] { return AppLocalization::string("緩やかな階調の縞を軽減します"); }, "debandEnabled",
                session.debandEnabled(), &PlayerSession::setDebandEnabled, "debandAmount", session.debandAmount(),
                &PlayerSession::setDebandAmount}),
        effect({[] { return AppLocalization::string("グレイン"); },
                [] { return AppLocalization::string("微細な粒子で平坦さとバンディングを隠します"); }, "grainEnabled",
                session.grainEnabled(), &PlayerSession::setGrainEnabled, "grainAmount", session.grainAmount(),
                &PlayerSession::setGrainAmount}),
        toneControl({[] { return AppLocalization::string("明るさ"); }, "brightness", session.brightness(),
                     &PlayerSession::setBrightness, -1, 1, 0, &brightnessText}),
        toneControl({[] { return AppLocalization::string("ガンマ"); }, "gamma", session.gamma(), &PlayerSession::setGamma,
                     0.25, 3, 1, &gammaText}),
    };
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (i > 0) rows->addWidget(divider());
        rows->addWidget(blocks[i]);
    }
    column->addWidget(card);
    column->addWidget(divider());

    auto* presets = new QHBoxLayout;
    presets->setSpacing(8);
    auto* resetButton = new QPushButton;
    resetButton->setObjectName("reset");
    connect(resetButton, &QPushButton::clicked, this, [this] { reset(); });
    labelled([resetButton] { resetButton->setText(text(AppLocalization::string("リセット"))); });
    auto* natural = new QPushButton;
    natural->setObjectName("natural");
    connect(natural, &QPushButton::clicked, this, [this] { applyPreset(0.3, 0.45, 0.12); });
    labelled([natural] { natural->setText(text(AppLocalization::string("自然"))); });
    presets->addWidget(resetButton);
    presets->addStretch(1);
    presets->addWidget(natural);
    column->addLayout(presets);

    // Any effect setting, written here or elsewhere, shows at once.
    const auto follow = [this](auto& property) {
        connections_.push_back(property.observe([this](const auto&) { refresh(); }));
    };
    follow(session.fxEnabled);
    follow(session.fxPipelineOrder);
    follow(session.enhancementCleanupEnabled);
    follow(session.enhancementCleanupAmount);
    follow(session.sharpenEnabled);
    follow(session.sharpenAmount);
    follow(session.debandEnabled);
    follow(session.debandAmount);
    follow(session.grainEnabled);
    follow(session.grainAmount);
    follow(session.brightness);
    follow(session.gamma);
    connections_.push_back(
        DefaultsStore::standard().observe(AppLocalization::languageKey, [this] { relabel(); }));
    relabel();
    refresh();
}

PostProcessPanel::~PostProcessPanel() = default;

QString PostProcessPanel::amountText(double amount) {
    // lround rounds halves away from zero: 0.125 shows as 13.
    return std::isfinite(amount) ? QString::number(std::lround(amount * 100)) : QStringLiteral("—");
}

QString PostProcessPanel::brightnessText(double brightness) {
    return QString::asprintf("%+.0f", brightness * 100);
}

QString PostProcessPanel::gammaText(double gamma) { return QString::asprintf("%.2f", gamma); }

void PostProcessPanel::reset() {
    // In this order, each write's change behaviour running before the next.
    session_.setSharpenEnabled(false);
    session_.setDebandEnabled(false);
    session_.setGrainEnabled(false);
    session_.setBrightness(0);
    session_.setGamma(1);
    session_.setEnhancementCleanupEnabled(false);
    session_.setEnhancementCleanupAmount(0.75);
    session_.setSharpenAmount(0.3);
    session_.setDebandAmount(0.45);
    session_.setGrainAmount(0.12);
    session_.setFxComparison(false);
    session_.setFxDifferencePreview(false);
}

void PostProcessPanel::applyPreset(double sharpen, double deband, double grain) {
    session_.setSharpenAmount(sharpen);
    session_.setDebandAmount(deband);
    session_.setGrainAmount(grain);
    session_.setSharpenEnabled(true);
    session_.setDebandEnabled(true);
    session_.setGrainEnabled(true);
    session_.setFxComparison(false);
    session_.setFxDifferencePreview(false);
}

void PostProcessPanel::relabel() {
    for (const auto& relabel : relabels_) relabel();
}

void PostProcessPanel::refresh() {
    for (const auto& refresh : refreshes_) refresh();
}

void PostProcessPanel::labelled(std::function<void()> relabel) { relabels_.push_back(std::move(relabel)); }

HoverSwitch* PostProcessPanel::switchButton(Text title, const char* name, const bool& value, Setter set) {
    auto* button = new HoverSwitch(accent_);
    button->setObjectName(name);
    // The setters below are called on the session captured itself, not through this->session_:
    // GCC 12's null check misfires on a member pointer called through a member reference inside
    // a lambda, and aborts a sanitized build.
    connect(button, &QAbstractButton::toggled, this, [&session = session_, set](bool on) { (session.*set)(on); });
    labelled([button, title] { button->setAccessibleName(text(title())); });
    refreshes_.push_back([button, &value] {
        const QSignalBlocker quiet(button);
        button->setChecked(value);
    });
    return button;
}

QWidget* PostProcessPanel::pipelineOrderRow() {
    auto* row = new QWidget;
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    auto* title = new QLabel;
    title->setFont(subheadline());
    line->addWidget(title);
    line->addStretch(1);
    line->addSpacing(12);

    auto* picker = new QWidget;
    picker->setObjectName("fxPipelineOrder");
    picker->setFixedWidth(136);
    auto* segments = new QHBoxLayout(picker);
    segments->setContentsMargins(0, 0, 0, 0);
    segments->setSpacing(0);
    auto* group = new QButtonGroup(picker);
    const struct {
        FXPipelineOrder order;
        const char* name;
        Text label;
    } orders[] = {
        {FXPipelineOrder::beforeUpscale, "beforeUpscale", [] { return AppLocalization::string("拡大前"); }},
        {FXPipelineOrder::afterUpscale, "afterUpscale", [] { return AppLocalization::string("拡大後"); }},
    };
    for (const auto& entry : orders) {
        auto* segment = new QPushButton;
        segment->setObjectName(entry.name);
        segment->setCheckable(true);
        segment->setFont(scaled(QFont(), 0.9, QFont::Normal));
        segment->setStyleSheet(QStringLiteral("QPushButton { border: 1px solid rgba(255, 255, 255, 30); padding: 3px 6px;"
                                              " background: rgba(255, 255, 255, 10); }"
                                              "QPushButton:checked { background: rgba(255, 255, 255, 60); }"
                                              "QPushButton:hover { border-color: rgba(255, 255, 255, 70); }"));
        group->addButton(segment);
        segments->addWidget(segment, 1);
        connect(segment, &QPushButton::clicked, this, [this, order = entry.order] { session_.setFxPipelineOrder(order); });
        labelled([segment, label = entry.label] { segment->setText(text(label())); });
        refreshes_.push_back([this, segment, order = entry.order] {
            const QSignalBlocker quiet(segment);
            segment->setChecked(session_.fxPipelineOrder() == order);
        });
    }
    line->addWidget(picker);
    labelled([title, picker] {
        title->setText(text(AppLocalization::string("FXの適用位置")));
        picker->setAccessibleName(title->text());
        picker->setToolTip(text(AppLocalization::string("元解像度でFXを適用するか、アップスケール後に適用するかを選びます")));
    });
    return row;
}

QWidget* PostProcessPanel::effect(const Effect& e) {
    auto* title = new QLabel;
    QSlider* amount = slider(e.amountName, accent_);
    QLabel* value = valueLabel(QString(e.amountName) + ".value");
    QWidget* block =
        twoLineBlock(title, 12, switchButton(e.title, e.switchName, e.enabled, e.setEnabled), amount, value);

    connect(amount, &QSlider::valueChanged, this,
            [&session = session_, set = e.setAmount](int position) { (session.*set)(sliderValue(position, 0, 1)); });
    labelled([block, title, amount, t = e.title, help = e.help] {
        title->setText(text(t()));
        amount->setAccessibleName(title->text());
        block->setToolTip(text(help()));
    });
    refreshes_.push_back([amount, value, &enabled = e.enabled, &stored = e.amount] {
        const QSignalBlocker quiet(amount);
        amount->setValue(sliderPosition(stored, 0, 1));
        amount->setEnabled(enabled);
        value->setText(amountText(stored));
    });
    return block;
}

QWidget* PostProcessPanel::toneControl(const Tone& t) {
    auto* title = new QLabel;
    auto* resetButton = new QToolButton;
    resetButton->setObjectName(QString(t.name) + ".reset");
    resetButton->setAutoRaise(true);
    resetButton->setFixedSize(22, 22);
    setSymbol(*resetButton, "arrow.counterclockwise");
    QSlider* control = slider(t.name, accent_);
    QLabel* value = valueLabel(QString(t.name) + ".value");
    QWidget* block = twoLineBlock(title, 0, resetButton, control, value);

    connect(control, &QSlider::valueChanged, this,
            [&session = session_, set = t.set, low = t.low, high = t.high](int position) {
                (session.*set)(sliderValue(position, low, high));
            });
    connect(resetButton, &QToolButton::clicked, this,
            [&session = session_, set = t.set, neutral = t.neutral] { (session.*set)(neutral); });
    labelled([title, control, resetButton, label = t.title] {
        title->setText(text(label()));
        control->setAccessibleName(title->text());
        const QString standard = text(AppLocalization::string("標準値に戻す"));
        resetButton->setToolTip(standard);
        resetButton->setAccessibleName(standard + ": " + title->text());
    });
    refreshes_.push_back([control, value, resetButton, t] {
        const QSignalBlocker quiet(control);
        control->setValue(sliderPosition(t.value, t.low, t.high));
        value->setText(t.label(t.value));
        // Exactly the neutral value: anything else, however close, can be reset.
        resetButton->setEnabled(t.value != t.neutral);
    });
    return block;
}

} // namespace lumavane
