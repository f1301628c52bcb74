#pragma once

namespace lumavane {

// The picture effects the user puts on the video. The initialiser is the only place that clamps:
// fields assigned later keep what they are given.
struct PostProcessSettings {
    struct Options {
        bool sharpenEnabled = false;
        float sharpenAmount = 0;
        bool debandEnabled = false;
        float debandAmount = 0;
        bool grainEnabled = false;
        float grainAmount = 0;
        bool differencePreview = false;
        float brightness = 0; // clamped to [-1, 1]; not finite: 0
        float gamma = 1;      // clamped to [0.25, 3]; not finite: 1
    };

    explicit PostProcessSettings(const Options& options);

    bool sharpenEnabled;
    float sharpenAmount;
    bool debandEnabled;
    float debandAmount;
    bool grainEnabled;
    float grainAmount;
    bool differencePreview; // show the change the effects make instead of the effected picture
    float brightness;
    float gamma;

    // A switch is on, or brightness or gamma is not neutral; the difference preview alone is not.
    bool isEnabled() const;

    friend bool operator==(const PostProcessSettings&, const PostProcessSettings&) = default;
};

// The effects and the enhancement-artifact cleanup with the horizontal bands (fractions of the
// content width) they apply in.
struct PostProcessConfiguration {
    struct Options {
        PostProcessSettings settings{PostProcessSettings::Options{}};
        float effectStart = 0;
        float effectEnd = 0;
        bool cleanupEnabled = false;
        float cleanupStrength = 0.75f; // clamped to [0, 1]; not finite: 0.75
        float cleanupStart = 0;
        float cleanupEnd = 0;
    };

    explicit PostProcessConfiguration(const Options& options);
    // Nothing on: what the image surface holds before it is first configured.
    static PostProcessConfiguration neutral() { return PostProcessConfiguration(Options{}); }

    PostProcessSettings settings;
    float effectStart;
    float effectEnd;
    bool cleanupEnabled;
    float cleanupStrength;
    float cleanupStart;
    float cleanupEnd;

    bool isEnabled() const { return settings.isEnabled() && effectStart < effectEnd; }
    bool isCleanupEnabled() const {
        return cleanupEnabled && cleanupStrength > 0 && cleanupStart < cleanupEnd;
    }
    bool hasAnyEffect() const { return isEnabled() || isCleanupEnabled(); }

    friend bool operator==(const PostProcessConfiguration&, const PostProcessConfiguration&) = default;
};

} // namespace lumavane
