#pragma once

#include "Platform/Image/Image.hpp"

namespace lumavane {

// What every enhance call of both enhancers returns: the enhanced frame (origin
// at zero) and the number of model runs that made it.
struct EnhancementResult {
    image::Image image;
    int tileCount = 1;
};

} // namespace lumavane
