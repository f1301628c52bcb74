#include "VideoPresentation/PostProcessSettings.hpp"

#include <algorithm>
#include <cmath>

namespace lumavane {

namespace {

float clampedOr(float value, float low, float high, float fallback) {
    return std::isfinite(value) ? std::clamp(value, low, high) : fallback;
}

} // namespace

PostProcessSettings::PostProcessSettings(const Options& o)
    : sharpenEnabled(o.sharpenEnabled),
      sharpenAmount(o.sharpenAmount),
      debandEnabled(o.debandEnabled),
      debandAmount(o.debandAmount),
      grainEnabled(o.grainEnabled),
      grainAmount(o.grainAmount),
      differencePreview(o.differencePreview),
      brightness(clampedOr(o.brightness, -1, 1, 0)),
      gamma(clampedOr(o.gamma, 0.25f, 3, 1)) {}

bool PostProcessSettings::isEnabled() const {
    return sharpenEnabled || debandEnabled || grainEnabled || brightness != 0 || gamma != 1;
}

PostProcessConfiguration::PostProcessConfiguration(const Options& o)
    : settings(o.settings),
      effectStart(o.effectStart),
      effectEnd(o.effectEnd),
      cleanupEnabled(o.cleanupEnabled),
      cleanupStrength(clampedOr(o.cleanupStrength, 0, 1, 0.75f)),
      cleanupStart(o.cleanupStart),
      cleanupEnd(o.cleanupEnd) {}

} // namespace lumavane
