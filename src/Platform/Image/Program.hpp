#pragma once

// An image recipe flattened into a small stack program, evaluated per destination
// pixel: by the CPU reference below as an interpreter, and on the GPU by a kernel
// that Context writes out per program shape.
//
// Per pixel there is a current point p (image space) and a colour stack:
//   sample s        push source s sampled bilinearly at p (transparent outside it)
//   constant rgba   push a premultiplied colour
//   push / pop      save / restore p
//   transform M     p = M·p (M maps the parent's space into the child's)
//   clamp x0 y0 x1 y1   clamp p into the box
//   crop x0 y0 x1 y1    top colour becomes transparent unless x0 <= p < x1 (both axes)
//   over            pop background and foreground, push fg + bg·(1 − fg.a)

#include "Platform/Image/Node.hpp"

#include <array>
#include <cstdint>
#include <vector>

namespace lumavane::image::detail {

enum Op : int {
    opEnd = 0,
    opSample = 1,
    opConstant = 2,
    opPush = 3,
    opPop = 4,
    opTransform = 5,
    opClamp = 6,
    opCrop = 7,
    opOver = 8,
};

// Floats after an operation's code.
inline constexpr int operandCount(int op) {
    switch (op) {
    case opSample:
        return 1;
    case opConstant:
    case opClamp:
    case opCrop:
        return 4;
    case opTransform:
        return 6;
    default:
        return 0;
    }
}

inline constexpr int kMaxSources = 4;       // two texture planes each
inline constexpr int kMaxStack = 8;         // points and colours
inline constexpr int kMaxCodeFloats = 1024; // fits one setBytes
inline constexpr int kSourceFloats = 16;

// Per source, kSourceFloats floats: format, width, height, topDown, yOffset, yScale,
// cOffset, cScale, rCr, gCb, gCr, bCb, then padding.
enum SourceField : int {
    fieldFormat = 0,
    fieldWidth,
    fieldHeight,
    fieldTopDown,
    fieldYOffset,
    fieldYScale,
    fieldCOffset,
    fieldCScale,
    fieldRCr,
    fieldGCb,
    fieldGCr,
    fieldBCb,
};

struct Program {
    std::vector<float> code;
    std::vector<std::shared_ptr<const Source>> sources;
    std::vector<float> sourceParameters; // kMaxSources × kSourceFloats
};

// Throws PlatformError when the recipe needs more sources, stack or code than a render allows.
Program compile(const Node& root);

// Where destination pixels stand in image space: memory column x, row r is the
// pixel whose lower-left corner is (originX + x, originY + (topDown ? height − 1 − r : r)).
// Only columns x0..x1−1 and rows r0..r1−1 are written.
struct Target {
    std::int32_t x0 = 0, r0 = 0, x1 = 0, r1 = 0;
    std::int32_t height = 0;
    std::int32_t topDown = 1;
    float originX = 0, originY = 0;
};
static_assert(sizeof(Target) == 32);

// The memory columns and rows of a width × height destination, placed at `origin`,
// whose pixel centres lie inside `bounds`.
Target targetFor(int width, int height, bool topDown, Point origin, const Rect& bounds);

// The kernel a recipe renders with at a destination origin: the per-pixel one written per
// program shape; the hand-written runs of a source at whole-pixel offsets over an optional
// backdrop colour; or, where every transform only scales and moves along the axes, the runs
// kernel written per program shape.
enum class RunKernel { general, runs, rows };
RunKernel runKernelFor(const Node& root, Point origin);

// CPU reference: evaluates the program for every target pixel and writes BGRA8
// (or RGBA8 when `rgba`) into `pixels` (rows of `bytesPerRow`).
void renderReference(const Program& program, const Target& target, std::uint8_t* pixels,
                     std::size_t bytesPerRow, bool rgba = false);

} // namespace lumavane::image::detail
