#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Foundation/Resources.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace lumavane {
namespace {

TEST(Resources, EnvironmentVariableWins) {
    ASSERT_EQ(setenv("LUMAVANE_RESOURCES", "/nonexistent/lumavane-resources", 1), 0);
    EXPECT_EQ(resourcesDirectory(), std::filesystem::path("/nonexistent/lumavane-resources"));
    EXPECT_EQ(resourceBundle("Lumavane_CompactMetal.bundle"),
              std::filesystem::path("/nonexistent/lumavane-resources/Lumavane_CompactMetal.bundle"));
}

TEST(Resources, FallsBackToTheSourceTreeNextToNoInstalledCopy) {
    // Test binaries live in <build>/bin, which has neither share/lumavane/resources nor resources/.
    ASSERT_EQ(unsetenv("LUMAVANE_RESOURCES"), 0);
    EXPECT_EQ(resourcesDirectory(), std::filesystem::path(LUMAVANE_SOURCE_DIR) / "resources");
    ASSERT_EQ(setenv("LUMAVANE_RESOURCES", "", 1), 0); // empty counts as unset
    EXPECT_EQ(resourcesDirectory(), std::filesystem::path(LUMAVANE_SOURCE_DIR) / "resources");
}

TEST(HostClock, IsMonotonicSeconds) {
    const double before = hostTimeSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double after = hostTimeSeconds();
    EXPECT_GE(after - before, 0.019);
    EXPECT_LT(after - before, 10.0); // seconds, not milliseconds or nanoseconds
}

} // namespace
} // namespace lumavane
