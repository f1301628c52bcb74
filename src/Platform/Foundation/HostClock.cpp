#include "Platform/Foundation/HostClock.hpp"

#include <time.h>

namespace lumavane {

double hostTimeSeconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

} // namespace lumavane
