// The PlatformError a call throws; a test failure (and a placeholder error) when it throws none.
#pragma once

#include <gtest/gtest.h>

#include "Platform/Foundation/PlatformError.hpp"

namespace lumavane::test {

template <typename F> PlatformError errorOf(F&& f) {
    try {
        f();
    } catch (const PlatformError& e) {
        return e;
    }
    ADD_FAILURE() << "no error was thrown";
    return PlatformError("none", -1);
}

} // namespace lumavane::test
