#include "PresentationTestSupport.hpp"

#include "Lumavane/Presentation/PlayerSessionSurface.hpp"
#include "Lumavane/Session/SessionTestSupport.hpp"

#include <gtest/gtest.h>

using namespace lumavane;
using namespace lumavane::test;

namespace {

// The binder over the real session: its hooks reach the surface, the surface's reports reach it.
TEST(SessionSurfaceTests, SessionAndSurfaceReachEachOther) {
    SessionHarness harness;
    auto session = harness.make();
    auto link = std::make_shared<PlayerSessionSurface>(*session);
    SurfaceRig rig;
    double now = 100;
    MetalSurface binder(link, *rig.surface,
                        {.capture = {harness.store, nullptr, nullptr, nullptr}, .clock = [&] { return now; },
                         .quietHUD = [] { return false; }});
    ASSERT_TRUE(session->display);
    ASSERT_TRUE(session->captureFrame);

    PixelBuffer frame = PixelBuffer::create(32, 18, LV_PIXEL_FORMAT_32BGRA);
    session->consumeDirectFrame(frame, 0.0);
    EXPECT_EQ(rig.surface->presentedFrameCount(), 2) << "the reactivation presented the empty choice first";
    ASSERT_TRUE(rig.surface->image());
    EXPECT_EQ(rig.surface->image()->extent().width, 32);
    EXPECT_EQ(session->reportedDisplaySize(), (PixelSize{14, 8})) << "16:9 (the session's ratio) in 16 × 8";

    rig.surface->reportTiming(4.5);
    now += 0.1;
    rig.surface->reportTiming(9.0); // too soon
    EXPECT_EQ(session->statistics().displayGPUms, 4.5);

    link.reset(); // the session side is gone: the surface's callbacks do nothing
    rig.surface->reportTiming(7.0);
    rig.surface->displayLinkFired(1.0);
}

} // namespace
