#pragma once

#include <string>

namespace lumavane {

// What an enhancer tells its callers about the loaded model.
struct ModelInfo {
    std::string name;
    int inputWidth = 0;
    int inputHeight = 0;
    int scale = 1;
    std::string license;
    std::string source;
    bool isWholeFrame = false;
};

} // namespace lumavane
