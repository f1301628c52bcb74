#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/App/AppTestSupport.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Presentation/QtMainExecutor.hpp"
#include "Lumavane/Session/PlaybackSleepAssertion.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Lumavane/Views/PopoverPickers.hpp"
#include "Lumavane/Views/SeekPreviewPanel.hpp"
#include "Lumavane/Views/SeekSlider.hpp"
#include "Lumavane/Views/DisplayModeControl.hpp"
#include "Lumavane/Views/TransportBar.hpp"
#include "Lumavane/Views/TransportSessionBinding.hpp"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QMouseEvent>
#include <QSlider>
#include <QTest>

#include <cmath>
#include <filesystem>
#include <limits>
#include <unistd.h>

namespace lumavane {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

QString L(const std::string& text) { return QString::fromStdString(text); }
QString symbolOf(const QAbstractButton* button) { return button->property(symbolProperty).toString(); }

void send(QWidget* widget, QEvent::Type type, double x, Qt::MouseButton button = Qt::NoButton) {
    const QPointF at(x, widget->height() / 2.0);
    QMouseEvent event(type, at, widget->mapToGlobal(at), button,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button),
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

TEST(TransportTimeText, WholeMinutesAndSecondsCutTowardZero) {
    const std::pair<double, const char*> cases[] = {
        {0, "0:00"},
        {59.999, "0:59"},
        {62 * 60 + 5.5, "62:05"},
        {90 * 60, "90:00"},
        {-3, "0:00"},
        {nan, "0:00"},
        {inf, "0:00"},
        {-inf, "0:00"},
        // Beyond the 64-bit range the whole seconds stop growing instead of overflowing.
        {1e300, "150000000000000:00"}};
    for (const auto& [seconds, expected] : cases) EXPECT_EQ(transportTimeText(seconds), expected) << seconds;
}

TEST(SeekSlider, FractionAndProgressAtTheEnds) {
    struct Case {
        double x, width, fraction;
    };
    const Case cases[] = {{50, 0, 0},     {50, -5, 0},    {0, 100, 0},   {8, 100, 0},
                          {50, 100, 0.5}, {92, 100, 1},   {500, 100, 1}, {8, 16, 0},
                          {9, 16, 1},     {5.5, 10, 0.5}, {nan, 100, 0}};
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(SeekSlider::fraction(c.x, c.width), c.fraction) << c.x << " " << c.width;
    struct Fill {
        double value, maximum, progress;
    };
    const Fill fills[] = {{5, 0, 0},   {nan, 10, 0}, {0, 10, 0},     {-1, 10, 0},
                          {15, 10, 1}, {10, 10, 1},  {2.5, 10, 0.25}};
    for (const Fill& f : fills)
        EXPECT_DOUBLE_EQ(SeekSlider::progress(f.value, f.maximum), f.progress) << f.value;
    test::application();
    SeekSlider slider;
    for (double maximum : {0.0, -4.0, nan}) {
        slider.setMaximum(maximum);
        EXPECT_EQ(slider.maximum(), 1) << maximum;
    }
}

TEST(SeekSlider, HoverIsReportedOnceAndDragsEndOnTheLastPosition) {
    test::application();
    QWidget window;
    auto* slider = new SeekSlider(&window);
    slider->setGeometry(0, 0, 216, 22); // track 200 wide between the insets
    slider->setMaximum(100);
    window.show();
    std::vector<std::optional<double>> hovers;
    std::vector<double> values;
    std::vector<bool> edits;
    slider->hovered = [&](std::optional<double> f) { hovers.push_back(f); };
    slider->changed = [&](double v) { values.push_back(v); };
    slider->editing = [&](bool e) { edits.push_back(e); };

    send(slider, QEvent::MouseMove, 58);
    send(slider, QEvent::MouseMove, 58); // the same fraction: nothing new
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(slider, &leave);
    QApplication::sendEvent(slider, &leave);
    ASSERT_EQ(hovers.size(), 2u);
    EXPECT_DOUBLE_EQ(*hovers[0], 0.25);
    EXPECT_FALSE(hovers[1]);

    hovers.clear();
    send(slider, QEvent::MouseButtonPress, 108, Qt::LeftButton);
    slider->setValue(3); // the bound value does not move the knob during a drag
    EXPECT_DOUBLE_EQ(slider->value(), 50);
    send(slider, QEvent::MouseMove, 500, Qt::LeftButton); // beyond the end: clamped
    send(slider, QEvent::MouseButtonRelease, -40, Qt::LeftButton);
    EXPECT_EQ(edits, (std::vector<bool>{true, false}));
    EXPECT_EQ(values, (std::vector<double>{50, 100, 0}));
    EXPECT_FALSE(slider->dragging());
    // Released outside the bar: the hover follows the knob, then ends.
    ASSERT_EQ(hovers.size(), 4u);
    EXPECT_DOUBLE_EQ(*hovers[2], 0);
    EXPECT_FALSE(hovers[3]);

    edits.clear();
    slider->setEnabled(false);
    send(slider, QEvent::MouseButtonPress, 108, Qt::LeftButton);
    EXPECT_TRUE(edits.empty());
}

TEST(SeekPreviewPanel, PlacedAboveOrBelowTheBarAndInsideTheScreen) {
    const QRect screen(0, 0, 1600, 1000);
    struct Case {
        QRect bar, visible;
        double fraction;
        QPoint origin;
    };
    const Case cases[] = {
        {{100, 900, 400, 22}, screen, 0.5, {164, 702}},            // centred, 8 above
        {{0, 900, 400, 22}, screen, 0, {0, 702}},                  // left edge kept
        {{1400, 900, 200, 22}, screen, 1, {1328, 702}},            // right edge kept
        {{0, 900, 400, 22}, screen, -3, {0, 702}},                 // out of range: the start
        {{100, 900, 10, 22}, screen, 0.7, {0, 702}},               // narrow bar: 8 right of its start
        {{100, 50, 400, 22}, screen, 0.5, {164, 80}},              // no room above: 8 under the bar
        {{100, 150, 400, 22}, {0, 0, 1600, 300}, 0.5, {164, 110}}, // nor under: on the bottom edge
    };
    for (const Case& c : cases)
        EXPECT_EQ(SeekPreviewPanel::origin(c.bar, c.visible, c.fraction), c.origin)
            << c.bar.x() << "," << c.bar.y();

    test::application();
    QWidget window;
    window.resize(600, 100);
    auto* bar = new QWidget(&window);
    bar->setGeometry(10, 60, 580, 22);
    window.show();
    SeekPreviewPanel panel(&window, true);
    panel.setContent(std::nullopt, "1:05");
    panel.place(bar, 1.0);
    ASSERT_TRUE(panel.isVisible());
    const QRect available = bar->screen()->availableGeometry();
    EXPECT_TRUE(available.contains(panel.frameGeometry())) << panel.x() << "," << panel.y();
    panel.place(bar, std::nullopt);
    EXPECT_FALSE(panel.isVisible());
}

TEST(PopoverPickers, ListTheOptionsAndCheckTheCurrentOne) {
    test::application();
    EXPECT_EQ(trackTitle("Commentary", "eng", "x"), "Commentary · ENG");
    EXPECT_EQ(trackTitle("", "jpn", "x"), "JPN");
    EXPECT_EQ(trackTitle("", "und", "fallback"), "fallback");
    EXPECT_EQ(trackTitle("Main", "und", "x"), "Main");

    std::optional<int> subtitle = -1;
    const auto subtitles = subtitlePicker({{3, "", "und"}, {7, "Signs", "eng"}}, std::nullopt,
                                          [&](std::optional<int> id) { subtitle = id; });
    std::optional<int> audio;
    const auto audios = audioTrackPicker({{1, "", "jpn"}, {2, "", "jpn"}}, 2, [&](int id) { audio = id; });
    double rate = 0;
    const auto rates = playbackRatePicker(1.25, [&](double r) { rate = r; });
    std::string aspect;
    const auto aspects = aspectModePicker("bogus", [&](const std::string& raw) { aspect = raw; });

    struct Case {
        const PickerContent& content;
        QString header;
        std::vector<QString> titles;
        std::vector<bool> selected;
    };
    const Case cases[] = {
        {subtitles,
         L(AppLocalization::string("字幕")),
         {L(AppLocalization::string("なし")), L(AppLocalization::string("字幕")), "Signs · ENG"},
         {true, false, false}},
        {audios, L(AppLocalization::string("音声トラック")), {"JPN", "JPN"}, {false, true}},
        {rates,
         L(AppLocalization::string("再生速度")),
         {"0.75×", "1.00×", "1.20×", "1.50×", "2.00×"},
         {false, false, false, false, false}},
        {aspects,
         L(AppLocalization::string("アスペクト比")),
         {L(AppLocalization::string("自動")), L(AppLocalization::string("画面に合わせる")),
          L(AppLocalization::string("画面を埋める")), "16:9", "4:3", "1:1", "21:9"},
         {true, false, false, false, false, false, false}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.content.header, c.header);
        ASSERT_EQ(c.content.rows.size(), c.titles.size()) << c.header.toStdString();
        for (std::size_t i = 0; i < c.titles.size(); ++i) {
            EXPECT_EQ(c.content.rows[i].title, c.titles[i]);
            EXPECT_EQ(c.content.rows[i].selected, c.selected[i]) << c.titles[i].toStdString();
        }
    }
    subtitles.rows[0].choose();
    EXPECT_EQ(subtitle, std::nullopt);
    subtitles.rows[2].choose();
    EXPECT_EQ(subtitle, 7);
    audios.rows[0].choose();
    EXPECT_EQ(audio, 1);
    rates.rows[4].choose();
    EXPECT_EQ(rate, 2.0);
    aspects.rows[4].choose();
    EXPECT_EQ(aspect, "ratio4x3");
}

// A bar over recorded actions; the main view's popover flags live in `state`.
struct WithApplication {
    WithApplication() { test::application(); }
};

struct BarHarness : WithApplication {
    BarHarness() {
        actions.togglePlayback = [this] { calls.push_back("toggle"); };
        actions.seek = [this](double s) { seeks.push_back(s); };
        actions.setSeekPreview = [this](std::optional<double> s) { previews.push_back(s); };
        actions.setScrubbing = [this](bool on) { calls.push_back(on ? "scrub" : "unscrub"); };
        actions.setPlaybackRate = [this](double r) { rates.push_back(r); };
        actions.selectAudioTrack = [this](int id) { audio.push_back(id); };
        actions.selectSubtitle = [this](std::optional<int> id) { subtitles.push_back(id); };
        actions.setAspectMode = [this](const std::string& raw) { aspect = raw; };
        actions.setPopover = [this](TransportPopover which, bool shown) {
            state.popovers[std::size_t(which)] = shown;
            bar->setState(state);
        };
        bar = new TransportBar(
            actions, [](const QString&) { return QIcon(); }, &window);
        window.resize(1000, 80);
        bar->resize(1000, 60);
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
    }
    // The bar first: closing the window would send it a leave event whose action records into
    // vectors already destroyed.
    ~BarHarness() { delete bar; }
    void set(TransportState next) {
        state = std::move(next);
        bar->setState(state);
    }

    QWidget window;
    TransportActions actions;
    TransportBar* bar;
    TransportState state;
    std::vector<std::string> calls;
    std::vector<double> seeks, rates;
    std::vector<std::optional<double>> previews;
    std::vector<int> audio;
    std::vector<std::optional<int>> subtitles;
    std::string aspect;
};

TEST(TransportBar, KeysWorkOnlyWithAVideoAndSymbolsFollowTheState) {
    BarHarness h;
    TransportState state;
    state.position = 4;
    state.duration = 60;
    h.set(state);
    for (Qt::Key key : {Qt::Key_Space, Qt::Key_Left, Qt::Key_Right}) QTest::keyClick(&h.window, key);
    EXPECT_TRUE(h.calls.empty());
    EXPECT_TRUE(h.seeks.empty());
    EXPECT_EQ(symbolOf(h.bar->button("playPause")), "play.fill");

    state.hasVideo = true;
    state.playing = true;
    h.set(state);
    for (Qt::Key key : {Qt::Key_Space, Qt::Key_Left, Qt::Key_Right}) QTest::keyClick(&h.window, key);
    EXPECT_EQ(h.calls, std::vector<std::string>{"toggle"});
    EXPECT_EQ(h.seeks, (std::vector<double>{-6, 14})); // the session clamps
    EXPECT_EQ(symbolOf(h.bar->button("playPause")), "pause.fill");
    EXPECT_EQ(h.bar->positionLabel()->text(), "0:04");
    EXPECT_EQ(h.bar->durationLabel()->text(), "1:00");

    // A display-mode segment chosen by a click does not keep the keyboard from the transport.
    HoverSegments modes(&h.window, 24);
    modes.setTitles({"A", "B"});
    modes.show();
    QTest::mouseClick(modes.segment(1), Qt::LeftButton);
    EXPECT_NE(QApplication::focusWidget(), modes.segment(1));
    h.calls.clear();
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &h.window, Qt::Key_Space);
    EXPECT_EQ(h.calls, std::vector<std::string>{"toggle"});

    struct Volume {
        double volume;
        bool muted;
        const char* symbol;
    };
    const Volume volumes[] = {{0, false, "speaker.slash.fill"},      {0.8, true, "speaker.slash.fill"},
                              {0.2, false, "speaker.wave.1.fill"},   {0.34, false, "speaker.wave.2.fill"},
                              {0.669, false, "speaker.wave.2.fill"}, {0.67, false, "speaker.wave.3.fill"}};
    for (const Volume& v : volumes) {
        state.volume = v.volume;
        state.isMuted = v.muted;
        h.set(state);
        EXPECT_EQ(symbolOf(h.bar->button("mute")), v.symbol) << v.volume;
        EXPECT_EQ(speakerSymbol(v.volume, v.muted), v.symbol);
    }
    // Tool symbols and enabled states by the tracks.
    state.subtitleTracks = {{1, "", "eng"}};
    state.selectedSubtitleTrackID = 1;
    state.isVideoFullscreen = true;
    state.fullscreenTransitionInProgress = true;
    h.set(state);
    EXPECT_EQ(symbolOf(h.bar->button("subtitles")), "captions.bubble.fill");
    EXPECT_TRUE(h.bar->button("subtitles")->isEnabled());
    EXPECT_FALSE(h.bar->button("audioTrack")->isEnabled());
    EXPECT_EQ(symbolOf(h.bar->button("fullscreen")), "arrow.up.right.and.arrow.down.left");
    EXPECT_FALSE(h.bar->button("fullscreen")->isEnabled());
}

// The session republishes its state ten times a second while playing: icons are made once for
// each symbol and ink (each new one left pictures in Qt's pixmap cache).
TEST(TransportBar, TheSameStateAgainKeepsEveryIcon) {
    BarHarness h;
    QPixmap square(16, 16);
    square.fill(Qt::white);
    delete h.bar;
    h.bar = new TransportBar(h.actions, [&](const QString&) { return QIcon(square); }, &h.window);
    TransportState state;
    state.hasVideo = true;
    state.playing = true;
    state.duration = 60;
    state.volume = 0.5;
    state.hasAnyEffect = true;
    state.playbackRate = 1.5;
    h.set(state);
    const auto buttons = h.bar->findChildren<QAbstractButton*>();
    std::vector<qint64> keys;
    for (QAbstractButton* button : buttons) keys.push_back(button->icon().cacheKey());
    for (double position : {1.0, 1.1, 1.2}) {
        state.position = position;
        h.set(state);
    }
    for (std::size_t i = 0; i < buttons.size(); ++i)
        EXPECT_EQ(buttons[i]->icon().cacheKey(), keys[i]) << buttons[i]->objectName().toStdString();

    // Whether an effect applies follows the enhanced picture on screen, which may come and go
    // with every frame: the effects button then takes back the icon it had.
    QAbstractButton* effects = h.bar->button("effects");
    ASSERT_NE(effects, nullptr);
    const qint64 accented = effects->icon().cacheKey();
    state.hasAnyEffect = false;
    h.set(state);
    const qint64 plain = effects->icon().cacheKey();
    EXPECT_NE(plain, accented);
    state.hasAnyEffect = true;
    h.set(state);
    EXPECT_EQ(effects->icon().cacheKey(), accented);
    state.hasAnyEffect = false;
    h.set(state);
    EXPECT_EQ(effects->icon().cacheKey(), plain);
}

TEST(TransportBar, SeekBarHoverAndDragDriveThePreviewAndTheScrub) {
    BarHarness h;
    TransportState state;
    state.hasVideo = true;
    state.duration = 200;
    h.set(state);
    SeekSlider* slider = h.bar->seekSlider();
    const double width = slider->width();
    send(slider, QEvent::MouseMove, width / 2);
    ASSERT_EQ(h.previews.size(), 1u);
    EXPECT_NEAR(*h.previews[0], 100, 0.5);
    EXPECT_TRUE(h.bar->state().seekBarHovered);

    send(slider, QEvent::MouseButtonPress, 8, Qt::LeftButton);
    send(slider, QEvent::MouseButtonRelease, width - 8, Qt::LeftButton);
    EXPECT_EQ(h.calls, (std::vector<std::string>{"scrub", "unscrub"}));
    ASSERT_EQ(h.seeks.size(), 2u);
    EXPECT_EQ(h.seeks.back(), 200); // the drag ends on its last position
    EXPECT_EQ(h.previews.back(), std::optional<double>(200));

    // The session's preview shows the panel over the bar with its time.
    state.seekPreviewPosition = 75 * 60 + 4;
    state.duration = 80 * 60;
    h.set(state);
    ASSERT_TRUE(h.bar->seekPreview());
    EXPECT_TRUE(h.bar->seekPreview()->isVisible());
    EXPECT_EQ(h.bar->seekPreview()->label(), "75:04");
    state.seekPreviewPosition.reset();
    h.set(state);
    EXPECT_FALSE(h.bar->seekPreview()->isVisible());
}

TEST(TransportBar, TheWindowShowsABubbleAndTheFullScreenItsOwnPreview) {
    BarHarness h;
    TransportState state;
    state.hasVideo = true;
    state.duration = 120;
    state.position = 5;
    state.seekPreviewPosition = 30;
    QImage thumbnail(16, 9, QImage::Format_RGB32);
    thumbnail.fill(Qt::red);
    state.seekPreviewThumbnail = thumbnail;
    h.set(state);
    using Presented = std::variant<std::monostate, SeekPreviewBubble, FullscreenSeekPreview>;
    ASSERT_TRUE(h.bar->seekPreview());
    EXPECT_EQ(h.bar->seekPreview()->presented(), Presented(SeekPreviewBubble{thumbnail, "0:30", 0.25}));
    EXPECT_TRUE(h.bar->seekPreview()->floating());

    // In the full screen the preview is drawn inside the window, and goes with the controls.
    state.isVideoFullscreen = true;
    h.set(state);
    EXPECT_EQ(h.bar->seekPreview()->presented(), Presented(FullscreenSeekPreview{thumbnail, "0:30", 0.25}));
    EXPECT_EQ(h.bar->seekPreview()->objectName(), "fullscreenSeekPreview");
    EXPECT_FALSE(h.bar->seekPreview()->floating());
    state.fullscreenControlsVisible = false;
    h.set(state);
    EXPECT_EQ(h.bar->seekPreview()->presented(), Presented(FullscreenSeekPreview{thumbnail, "0:30", std::nullopt}));
    EXPECT_FALSE(h.bar->seekPreview()->isVisible());
    // Without a preview time the label is the position's and nothing is shown.
    state.isVideoFullscreen = false;
    state.seekPreviewPosition.reset();
    state.seekPreviewThumbnail.reset();
    h.set(state);
    EXPECT_EQ(h.bar->seekPreview()->presented(), Presented(SeekPreviewBubble{std::nullopt, "0:05", std::nullopt}));
    EXPECT_FALSE(h.bar->seekPreview()->isVisible());
}

TEST(TransportBar, PickersOpenChooseARowAndClose) {
    BarHarness h;
    TransportState state;
    state.hasVideo = true;
    state.audioTracks = {{1, "Main", "jpn"}, {2, "", "eng"}};
    state.selectedAudioTrackID = 1;
    state.subtitleTracks = {{4, "", "und"}};
    h.set(state);
    struct Case {
        const char* button;
        TransportPopover which;
        std::size_t row;
    };
    const Case cases[] = {{"audioTrack", TransportPopover::audioTracks, 1},
                          {"subtitles", TransportPopover::subtitles, 0},
                          {"playbackRate", TransportPopover::playbackRates, 3},
                          {"aspectMode", TransportPopover::aspectModes, 2}};
    for (const Case& c : cases) {
        h.bar->button(c.button)->click();
        PopoverFrame* popover = h.bar->popover(c.which);
        ASSERT_TRUE(popover && popover->isVisible()) << c.button;
        ASSERT_GT(popover->rows().size(), c.row);
        popover->rows()[c.row]->click();
        EXPECT_FALSE(popover->isVisible()) << c.button;
        EXPECT_FALSE(h.state.popover(c.which)) << c.button;
    }
    EXPECT_EQ(h.audio, std::vector<int>{2});
    EXPECT_EQ(h.subtitles, std::vector<std::optional<int>>{std::nullopt});
    EXPECT_EQ(h.rates, std::vector<double>{1.5});
    EXPECT_EQ(h.aspect, "fill");
}

struct NoSleepPrevention final : PlaybackSleepPreventing {
    void setPlaybackActive(bool) override {}
};

TEST(TransportSessionBinding, ControlsReachTheSessionAndItsChangesComeBack) {
    test::application();
    namespace fs = std::filesystem;
    const fs::path defaults =
        fs::temp_directory_path() / ("lumavane-transport-" + std::to_string(getpid()) + ".json");
    fs::remove(defaults);
    QObject context;
    QtMainExecutor executor(&context);
    PlayerSession::Options options{DefaultsStore(defaults)};
    options.playbackSleepPrevention = std::make_shared<NoSleepPrevention>();
    options.executor = &executor;
    options.localize = [](const std::string& key) { return key; };
    PlayerSession session(std::move(options));

    QWidget window;
    auto* slot = new QWidget(&window);
    window.resize(1000, 80);
    slot->resize(1000, 60);
    std::array<bool, 5> popovers{};
    TransportSessionBinding* binding = nullptr;
    TransportSessionBinding::View view;
    view.read = [&](TransportState& state) { state.popovers = popovers; };
    view.actions.setPopover = [&](TransportPopover which, bool shown) {
        popovers[std::size_t(which)] = shown;
        binding->refresh();
    };
    TransportSessionBinding bound(session, std::move(view), {slot}, {});
    binding = &bound;
    window.show();
    TransportBar& bar = *bound.bars().front();

    bar.volumeSlider()->setValue(200);
    EXPECT_DOUBLE_EQ(session.volume(), 0.2);
    EXPECT_EQ(symbolOf(bar.button("mute")), "speaker.wave.1.fill");
    bar.button("mute")->click();
    EXPECT_TRUE(session.isMuted());
    EXPECT_EQ(symbolOf(bar.button("mute")), "speaker.slash.fill");
    bar.volumeSlider()->setValue(500); // a volume above 0 unmutes
    EXPECT_FALSE(session.isMuted());

    bar.button("playbackRate")->click();
    PopoverFrame* rates = bar.popover(TransportPopover::playbackRates);
    ASSERT_TRUE(rates && rates->isVisible());
    rates->rows()[3]->click();
    EXPECT_DOUBLE_EQ(session.playbackRate(), 1.5);
    EXPECT_FALSE(popovers[std::size_t(TransportPopover::playbackRates)]);
    EXPECT_EQ(bar.button("playbackRate")->text(), playbackRateText(1.5));
    fs::remove(defaults);
}

} // namespace
} // namespace lumavane
