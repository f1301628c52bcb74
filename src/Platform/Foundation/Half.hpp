#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace lumavane {

// IEEE 754 binary16 <-> binary32, round to nearest even; subnormals, infinities and NaN kept.
inline float halfToFloat(uint16_t h) {
    const uint32_t sign = uint32_t(h & 0x8000u) << 16;
    uint32_t exponent = (h >> 10) & 0x1fu;
    uint32_t mantissa = h & 0x3ffu;
    uint32_t bits;
    if (exponent == 0) {
        if (mantissa == 0) {
            bits = sign;
        } else {
            exponent = 127 - 15 + 1;
            while ((mantissa & 0x400u) == 0) {
                mantissa <<= 1;
                --exponent;
            }
            bits = sign | (exponent << 23) | ((mantissa & 0x3ffu) << 13);
        }
    } else if (exponent == 0x1f) {
        bits = sign | 0x7f800000u | (mantissa << 13);
    } else {
        bits = sign | ((exponent + 127 - 15) << 23) | (mantissa << 13);
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

inline uint16_t floatToHalf(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    const uint16_t sign = uint16_t((bits >> 16) & 0x8000u);
    const uint32_t exponent = (bits >> 23) & 0xffu;
    uint32_t mantissa = bits & 0x7fffffu;
    if (exponent == 0xff) return uint16_t(sign | 0x7c00u | (mantissa ? 0x200u : 0));
    const int e = int(exponent) - 127 + 15;
    if (e >= 0x1f) return uint16_t(sign | 0x7c00u);
    if (e <= 0) {
        if (e < -10) return sign;
        mantissa |= 0x800000u;
        const int shift = 14 - e;
        uint32_t half = mantissa >> shift;
        const uint32_t rest = mantissa & ((1u << shift) - 1);
        const uint32_t halfway = 1u << (shift - 1);
        if (rest > halfway || (rest == halfway && (half & 1u))) ++half;
        return uint16_t(sign | half);
    }
    uint32_t half = (uint32_t(e) << 10) | (mantissa >> 13);
    const uint32_t rest = mantissa & 0x1fffu;
    if (rest > 0x1000u || (rest == 0x1000u && (half & 1u))) ++half; // may carry into the exponent: correct
    return uint16_t(sign | half);
}

inline std::vector<uint16_t> floatToHalf(std::span<const float> values) {
    std::vector<uint16_t> halves(values.size());
    for (size_t i = 0; i < values.size(); ++i) halves[i] = floatToHalf(values[i]);
    return halves;
}

} // namespace lumavane
