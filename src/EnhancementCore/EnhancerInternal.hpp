#pragma once

#include "EnhancementCore/Enhancer.hpp"
#include "Platform/Foundation/SerialQueue.hpp"
#include "Platform/Ml/FeatureValue.hpp"

namespace lumavane {

// The buffers of one tile in flight, made once and reused for every tile that runs through
// the slot; its queue is the worker thread those tiles run on.
struct Enhancer::PipelineSlot {
    PipelineSlot(const std::string& inputName, const std::string& outputName, int tileWidth, int tileHeight,
                 int scale, std::size_t index)
        : input(Enhancer::buffer(tileWidth, tileHeight)),
          provider({{inputName, ml::FeatureValue(input)}}),
          output(Enhancer::buffer(tileWidth * scale, tileHeight * scale)),
          queue("Enhancer tile " + std::to_string(index + 1)) {
        // The model may write straight into `output`, which saves a buffer per tile.
        options.outputBackings[outputName] = output;
    }

    PixelBuffer input;
    // Built once: every prediction reads whatever `input` holds at that moment.
    ml::FeatureProvider provider;
    PixelBuffer output;
    ml::PredictionOptions options;
    SerialQueue queue;
};

} // namespace lumavane
