#include "Platform/Video/PixelBuffer.h"

#include <gtest/gtest.h>

namespace {

// CTest runs each case in a process of its own, so this checks every case for leaked buffers.
class PixelBufferLeakCheck : public ::testing::Environment {
public:
    void TearDown() override { EXPECT_EQ(lv_pixel_buffer_live_count(), 0u) << "pixel buffers leaked"; }
};

const ::testing::Environment* const leakCheck = ::testing::AddGlobalTestEnvironment(new PixelBufferLeakCheck);

} // namespace
