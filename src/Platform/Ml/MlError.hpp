#pragma once

#include <string>

#include "Platform/Foundation/PlatformError.hpp"
#include "Platform/Ml/MlTypes.hpp"

namespace lumavane::ml::detail {

[[noreturn]] inline void raise(ErrorCode code, const std::string& description) {
    throw PlatformError(errorDomain, code, description);
}

} // namespace lumavane::ml::detail
