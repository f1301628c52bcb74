// Opens a clip in a real player session, puts a transport bar over it (offscreen) and hovers its seek
// bar over new places: each hover is timed from the pointer event until the session hands the bar
// the decoded picture of the hovered time. The pointer leaves the bar between hovers.
//
// Usage: seek_preview_bench CLIP [HOVERS=20] [SEED=1]
#include "Lumavane/Presentation/QtMainExecutor.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Lumavane/Views/SeekSlider.hpp"
#include "Lumavane/Views/TransportSessionBinding.hpp"
#include "Platform/Foundation/HostClock.hpp"

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

using namespace lumavane;

namespace {

template <typename Done> bool pumpUntil(Done done, int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return true;
}

void move(QWidget* widget, double x) {
    const QPointF at(x, widget->height() / 2.0);
    QMouseEvent event(QEvent::MouseMove, at, widget->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CLIP [HOVERS] [SEED]\n", argv[0]);
        return 2;
    }
    const int hovers = argc > 2 ? std::atoi(argv[2]) : 20;
    const unsigned seed = argc > 3 ? unsigned(std::atoi(argv[3])) : 1;
    QApplication app(argc, argv);
    QObject context;
    QtMainExecutor executor(&context);
    PlayerSession::Options options;
    options.preferences = DefaultsStore::standard();
    options.executor = &executor;
    PlayerSession session(std::move(options));

    QWidget window;
    window.resize(1000, 80);
    auto* slot = new QWidget(&window);
    (new QVBoxLayout(&window))->addWidget(slot);
    TransportSessionBinding binding(session, {}, {slot}, {});
    window.show();

    session.loadVideo(argv[1]);
    if (!pumpUntil([&] { return session.hasVideo() && session.duration() > 0; }, 20000)) {
        std::fprintf(stderr, "the clip did not open\n");
        return 1;
    }
    if (session.playing()) session.togglePlayback();
    pumpUntil([] { return false; }, 1000); // the thumbnail decoder opens

    SeekSlider* slider = binding.bars().front()->seekSlider();
    bool fresh = false;
    Connection published =
        session.seekPreviewThumbnail.observe([&](const auto& image) { fresh = image.has_value(); });
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> place(0.02, 0.98);
    std::vector<double> times;
    for (int i = 0; i < hovers; ++i) {
        const double x =
            SeekSlider::knobInset + place(random) * (slider->width() - 2 * SeekSlider::knobInset);
        const double target = session.duration() * SeekSlider::fraction(x, slider->width());
        fresh = false;
        const double start = hostTimeSeconds();
        move(slider, x);
        const bool shown = pumpUntil(
            [&] {
                return fresh && session.seekPreviewPosition() &&
                       std::abs(*session.seekPreviewPosition() - target) < 1e-6;
            },
            5000);
        const double elapsed = (hostTimeSeconds() - start) * 1000;
        if (shown)
            times.push_back(elapsed);
        else
            std::fprintf(stderr, "hover %d at %.2f s: no preview within 5 s\n", i, target);
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(slider, &leave);
        pumpUntil([] { return false; }, 300);
    }
    if (times.empty()) return 1;
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    std::printf("seek preview after a hover: n=%zu median %.1f ms  min %.1f  max %.1f\n", sorted.size(),
                sorted[sorted.size() / 2], sorted.front(), sorted.back());
    return 0;
}
