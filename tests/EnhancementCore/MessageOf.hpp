#pragma once

#include "EnhancementCore/EnhancementError.hpp"
#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Foundation/PlatformError.hpp"

#include <string>

namespace lumavane::testing {

// What f throws, as text: an enhancement error's message, "(cancelled)", a platform error as
// "PlatformError <domain>: <description>", or "(no error)" when f returns.
template <typename F> std::string messageOf(F&& f) {
    try {
        f();
    } catch (const EnhancementError& error) {
        return error.message();
    } catch (const CancellationError&) {
        return "(cancelled)";
    } catch (const PlatformError& error) {
        return "PlatformError " + error.domain() + ": " + error.localizedDescription();
    }
    return "(no error)";
}

} // namespace lumavane::testing
