// The effects popover over a real session: each control writes its setting (saved, and the
// renderer's configuration follows), the reset and natural buttons' ordered writes, value labels.
#include "Lumavane/Panels/PanelsTestSupport.hpp"
#include "Lumavane/Panels/PostProcessPanel.hpp"
#include "Lumavane/Session/SessionTestSupport.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QEnterEvent>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>

#include <gtest/gtest.h>

namespace lumavane {
namespace {

struct EffectsHarness {
    test::PanelHarness panels{"effects"};
    test::SessionHarness sessions;
    std::unique_ptr<PlayerSession> session = sessions.make();
    PostProcessPanel panel{*session, QColor(122, 230, 186)};

    template <typename T = QWidget> T* find(const char* name) {
        T* widget = panel.findChild<T*>(name);
        EXPECT_TRUE(widget) << name;
        return widget;
    }
    QString label(const char* name) { return find<QLabel>(name)->text(); }
    // What the session saved under "player.preferences".
    std::optional<DefaultsValue> saved(const std::string& key) {
        const auto preferences = sessions.store.dictionary(PlayerSession::preferencesKey);
        if (!preferences || !preferences->count(key)) return std::nullopt;
        return preferences->at(key);
    }
    void slide(const char* name, double fraction) {
        find<QSlider>(name)->setValue(int(fraction * PostProcessPanel::sliderSteps));
    }
};

// The switch's hover plate shows under the pointer whether or not the switch can be used, and
// goes when the pointer leaves.
TEST(EffectsPanel, ASwitchShowsItsHoverPlateEnabledOrNot) {
    test::application();
    QWidget window;
    HoverSwitch& toggle = *new HoverSwitch(QColor(122, 230, 186), &window);
    // Above the track: only the window and the plate (white at 0.1) are there.
    const auto above = [&] { return toggle.grab().toImage().pixelColor(19, 2).lightness(); };
    const int bare = above();
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QApplication::sendEvent(&toggle, &enter);
    EXPECT_GE(above(), bare + 15);
    toggle.setEnabled(false);
    EXPECT_GE(above(), bare + 15);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&toggle, &leave);
    EXPECT_EQ(above(), bare);
    QApplication::sendEvent(&toggle, &enter);
    EXPECT_GE(above(), bare + 15);
}

TEST(EffectsPanel, EveryControlWritesItsSettingWhichIsSavedAndReachesTheRenderer) {
    EffectsHarness h;
    PlayerSession& s = *h.session;
    struct Case {
        const char* name;
        std::function<void()> act;
        std::function<bool()> stored;
        const char* savedKey;
        DefaultsValue savedValue;
        std::function<bool(const PostProcessConfiguration&)> configured;
    };
    const std::vector<Case> cases = {
        {"sharpen on", [&] { h.find<QAbstractButton>("sharpenEnabled")->click(); }, [&] { return s.sharpenEnabled(); },
         "sharpenEnabled", DefaultsValue(true), [](const auto& c) { return c.settings.sharpenEnabled; }},
        {"sharpen 0.6", [&] { h.slide("sharpenAmount", 0.6); }, [&] { return s.sharpenAmount() == 0.6; },
         "sharpenAmount", DefaultsValue(0.6), [](const auto& c) { return c.settings.sharpenAmount == 0.6f; }},
        {"deband on", [&] { h.find<QAbstractButton>("debandEnabled")->click(); }, [&] { return s.debandEnabled(); },
         "debandEnabled", DefaultsValue(true), [](const auto& c) { return c.settings.debandEnabled; }},
        {"deband 0.25", [&] { h.slide("debandAmount", 0.25); }, [&] { return s.debandAmount() == 0.25; },
         "debandAmount", DefaultsValue(0.25), [](const auto& c) { return c.settings.debandAmount == 0.25f; }},
        {"grain on", [&] { h.find<QAbstractButton>("grainEnabled")->click(); }, [&] { return s.grainEnabled(); },
         "grainEnabled", DefaultsValue(true), [](const auto& c) { return c.settings.grainEnabled; }},
        {"grain 0.5", [&] { h.slide("grainAmount", 0.5); }, [&] { return s.grainAmount() == 0.5; }, "grainAmount",
         DefaultsValue(0.5), [](const auto& c) { return c.settings.grainAmount == 0.5f; }},
        {"cleanup off", [&] { h.find<QAbstractButton>("enhancementCleanupEnabled")->click(); },
         [&] { return !s.enhancementCleanupEnabled(); }, "enhancementCleanupEnabled", DefaultsValue(false),
         [](const auto& c) { return !c.cleanupEnabled; }},
        {"cleanup 0.2", [&] { h.slide("enhancementCleanupAmount", 0.2); },
         [&] { return s.enhancementCleanupAmount() == 0.2; }, "enhancementCleanupAmount", DefaultsValue(0.2),
         [](const auto& c) { return c.cleanupStrength == 0.2f; }},
        // The brightness slider runs from -1: three quarters is +0.5.
        {"brightness +50", [&] { h.slide("brightness", 0.75); }, [&] { return s.brightness() == 0.5; }, "brightness",
         DefaultsValue(0.5), [](const auto& c) { return c.settings.brightness == 0.5f; }},
        {"gamma 3", [&] { h.slide("gamma", 1.0); }, [&] { return s.gamma() == 3.0; }, "gamma", DefaultsValue(3.0),
         [](const auto& c) { return c.settings.gamma == 3.0f; }},
        {"gamma reset", [&] { h.find<QToolButton>("gamma.reset")->click(); }, [&] { return s.gamma() == 1.0; },
         "gamma", DefaultsValue(1.0), [](const auto& c) { return c.settings.gamma == 1.0f; }},
        {"master off", [&] { h.find<QAbstractButton>("fxEnabled")->click(); }, [&] { return !s.fxEnabled(); },
         "fxEnabled", DefaultsValue(false), [](const auto&) { return true; }},
        {"before upscale", [&] { h.find<QAbstractButton>("beforeUpscale")->click(); },
         [&] { return s.fxPipelineOrder() == FXPipelineOrder::beforeUpscale; }, "fxPipelineOrder",
         DefaultsValue("beforeUpscale"), [](const auto&) { return true; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.act();
        EXPECT_TRUE(c.stored());
        EXPECT_EQ(h.saved(c.savedKey), std::optional(c.savedValue));
        EXPECT_TRUE(c.configured(s.postProcessConfiguration()));
    }

    // Written elsewhere, shown here; with the master switch off every row keeps its value and stays usable.
    s.setSharpenAmount(0.125);
    EXPECT_EQ(h.label("sharpenAmount.value"), "13");
    EXPECT_EQ(h.find<QSlider>("sharpenAmount")->value(), PostProcessPanel::sliderSteps / 8);
    EXPECT_TRUE(h.find<QSlider>("sharpenAmount")->isEnabled());
    s.setSharpenEnabled(false);
    EXPECT_FALSE(h.find<QSlider>("sharpenAmount")->isEnabled());
    EXPECT_EQ(h.label("sharpenAmount.value"), "13");
    EXPECT_TRUE(h.find<QAbstractButton>("sharpenEnabled")->isEnabled());
    EXPECT_TRUE(h.find<QAbstractButton>("beforeUpscale")->isChecked());
    EXPECT_FALSE(h.find<QAbstractButton>("afterUpscale")->isChecked());
}

TEST(EffectsPanel, ResetAndNaturalWriteTheirSettingsInOrder) {
    EffectsHarness h;
    PlayerSession& s = *h.session;
    std::vector<std::string> writes;
    std::vector<Connection> recorders;
    const auto record = [&](const char* name, auto& property) {
        recorders.push_back(property.observe([&writes, name](const auto&) { writes.push_back(name); }));
    };
    record("sharpenEnabled", s.sharpenEnabled);
    record("debandEnabled", s.debandEnabled);
    record("grainEnabled", s.grainEnabled);
    record("brightness", s.brightness);
    record("gamma", s.gamma);
    record("cleanupEnabled", s.enhancementCleanupEnabled);
    record("cleanupAmount", s.enhancementCleanupAmount);
    record("sharpenAmount", s.sharpenAmount);
    record("debandAmount", s.debandAmount);
    record("grainAmount", s.grainAmount);
    record("fxComparison", s.fxComparison);
    record("fxDifferencePreview", s.fxDifferencePreview);
    record("fxEnabled", s.fxEnabled);
    record("fxPipelineOrder", s.fxPipelineOrder);

    s.setFxEnabled(false);
    s.setBrightness(0.4);
    s.setGamma(2);
    s.setEnhancementCleanupAmount(0.1);
    s.setFxComparison(true);
    writes.clear();
    h.find<QPushButton>("natural")->click();
    EXPECT_EQ(writes, (std::vector<std::string>{"sharpenAmount", "debandAmount", "grainAmount", "sharpenEnabled",
                                                "debandEnabled", "grainEnabled", "fxComparison",
                                                "fxDifferencePreview"}));
    EXPECT_TRUE(s.sharpenEnabled() && s.debandEnabled() && s.grainEnabled());
    EXPECT_EQ(s.brightness(), 0.4);
    EXPECT_EQ(s.enhancementCleanupAmount(), 0.1);
    EXPECT_FALSE(s.fxComparison());

    s.setSharpenAmount(0.9);
    s.setGrainAmount(1);
    writes.clear();
    h.find<QPushButton>("reset")->click();
    EXPECT_EQ(writes, (std::vector<std::string>{"sharpenEnabled", "debandEnabled", "grainEnabled", "brightness", "gamma",
                                                "cleanupEnabled", "cleanupAmount", "sharpenAmount", "debandAmount",
                                                "grainAmount", "fxComparison", "fxDifferencePreview"}));
    EXPECT_FALSE(s.fxEnabled());
    EXPECT_FALSE(s.sharpenEnabled() || s.debandEnabled() || s.grainEnabled() || s.enhancementCleanupEnabled());
    EXPECT_EQ(std::make_tuple(s.sharpenAmount(), s.debandAmount(), s.grainAmount(), s.enhancementCleanupAmount()),
              std::make_tuple(0.3, 0.45, 0.12, 0.75));
    EXPECT_EQ(std::make_pair(s.brightness(), s.gamma()), std::make_pair(0.0, 1.0));
    EXPECT_EQ(h.saved("grainAmount"), std::optional(DefaultsValue(0.12)));
    EXPECT_EQ(h.label("sharpenAmount.value"), "30");
    EXPECT_EQ(h.label("brightness.value"), "+0");
    EXPECT_FALSE(h.find<QAbstractButton>("fxEnabled")->isChecked());

    // The segment already chosen changes nothing; "拡大前" also ends the effects comparison.
    s.setFxComparison(true);
    s.setFxDifferencePreview(true);
    h.find<QAbstractButton>("afterUpscale")->click();
    EXPECT_TRUE(s.fxComparison() && s.fxDifferencePreview());
    h.find<QAbstractButton>("beforeUpscale")->click();
    EXPECT_EQ(s.fxPipelineOrder(), FXPipelineOrder::beforeUpscale);
    EXPECT_FALSE(s.fxComparison() || s.fxDifferencePreview());
}

TEST(EffectsPanel, ValueLabelsAndToneResetButtons) {
    const struct {
        QString (*format)(double);
        double value;
        const char* shown;
    } labels[] = {
        {&PostProcessPanel::amountText, 0, "0"},           {&PostProcessPanel::amountText, 0.125, "13"},
        {&PostProcessPanel::amountText, 1, "100"},         {&PostProcessPanel::brightnessText, 0, "+0"},
        {&PostProcessPanel::brightnessText, -0.25, "-25"}, {&PostProcessPanel::brightnessText, 1, "+100"},
        {&PostProcessPanel::gammaText, 1, "1.00"},         {&PostProcessPanel::gammaText, 0.25, "0.25"},
    };
    for (const auto& label : labels) EXPECT_EQ(label.format(label.value), label.shown) << label.value;

    EffectsHarness h;
    const struct {
        const char* button;
        std::function<void(PlayerSession&, double)> set;
        double value;
        bool enabled;
    } tones[] = {
        {"brightness.reset", &PlayerSession::setBrightness, 0, false},
        {"brightness.reset", &PlayerSession::setBrightness, 1e-9, true},
        {"gamma.reset", &PlayerSession::setGamma, 1, false},
        {"gamma.reset", &PlayerSession::setGamma, 1.0000001, true},
    };
    for (const auto& tone : tones) {
        tone.set(*h.session, tone.value);
        EXPECT_EQ(h.find<QToolButton>(tone.button)->isEnabled(), tone.enabled) << tone.button << " " << tone.value;
    }
    EXPECT_EQ(h.find<QToolButton>("gamma.reset")->accessibleName(), "標準値に戻す: ガンマ");
}

} // namespace
} // namespace lumavane
