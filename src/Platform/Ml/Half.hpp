#pragma once

#include "Platform/Foundation/Half.hpp"

namespace lumavane::ml::detail {

using lumavane::floatToHalf;
using lumavane::halfToFloat;

} // namespace lumavane::ml::detail
