#include "Platform/Image/Program.hpp"

#include "Platform/Foundation/PlatformError.hpp"
#include "Platform/Gpu/Resources.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace lumavane::image::detail {
namespace {

class Compiler {
public:
    Program program;

    void emit(const Node& node) {
        switch (node.kind) {
        case Node::Kind::source:
            put(opSample, {float(sourceIndex(node.source))});
            pushColor();
            break;
        case Node::Kind::constant:
            put(opConstant, {node.color[0], node.color[1], node.color[2], node.color[3]});
            pushColor();
            break;
        case Node::Kind::transform: {
            const AffineTransform m = node.transform.inverted();
            pushPoint();
            put(opTransform, {float(m.a), float(m.b), float(m.c), float(m.d), float(m.tx), float(m.ty)});
            emit(*node.child);
            put(opPop, {});
            --points;
            break;
        }
        case Node::Kind::clamp: {
            const Rect& r = node.rect;
            double x0 = r.minX() + 0.5, x1 = r.maxX() - 0.5, y0 = r.minY() + 0.5, y1 = r.maxY() - 0.5;
            if (x1 < x0) x0 = x1 = (r.minX() + r.maxX()) / 2;
            if (y1 < y0) y0 = y1 = (r.minY() + r.maxY()) / 2;
            pushPoint();
            put(opClamp, {float(x0), float(y0), float(x1), float(y1)});
            emit(*node.child);
            put(opPop, {});
            --points;
            break;
        }
        case Node::Kind::crop:
            emit(*node.child);
            put(opCrop, {float(node.rect.minX()), float(node.rect.minY()), float(node.rect.maxX()),
                         float(node.rect.maxY())});
            break;
        case Node::Kind::over:
            emit(*node.child);
            emit(*node.background);
            put(opOver, {});
            --colors;
            break;
        }
    }

    void finish() {
        put(opEnd, {});
        if (program.code.size() > static_cast<std::size_t>(kMaxCodeFloats))
            throw PlatformError("Lumavane.Image", 3, "image recipe too large to render");
        program.sourceParameters.assign(kMaxSources * kSourceFloats, 0.0f);
        for (std::size_t i = 0; i < program.sources.size(); ++i) {
            const Source& s = *program.sources[i];
            float* p = &program.sourceParameters[i * kSourceFloats];
            p[fieldFormat] = float(static_cast<int>(s.format));
            p[fieldWidth] = float(s.width);
            p[fieldHeight] = float(s.height);
            p[fieldTopDown] = s.topDown ? 1.0f : 0.0f;
            p[fieldYOffset] = s.yOffset;
            p[fieldYScale] = s.yScale;
            p[fieldCOffset] = s.cOffset;
            p[fieldCScale] = s.cScale;
            p[fieldRCr] = s.rCr;
            p[fieldGCb] = s.gCb;
            p[fieldGCr] = s.gCr;
            p[fieldBCb] = s.bCb;
        }
    }

private:
    int points = 0, colors = 0;

    void put(Op op, std::initializer_list<float> arguments) {
        program.code.push_back(float(op));
        program.code.insert(program.code.end(), arguments);
    }

    void pushPoint() {
        put(opPush, {});
        if (++points > kMaxStack)
            throw PlatformError("Lumavane.Image", 3, "image recipe nested too deeply to render");
    }

    void pushColor() {
        if (++colors > kMaxStack)
            throw PlatformError("Lumavane.Image", 3, "image recipe nested too deeply to render");
    }

    int sourceIndex(const std::shared_ptr<const Source>& source) {
        const auto found = std::find(program.sources.begin(), program.sources.end(), source);
        if (found != program.sources.end()) return static_cast<int>(found - program.sources.begin());
        if (program.sources.size() >= static_cast<std::size_t>(kMaxSources))
            throw PlatformError("Lumavane.Image", 3, "image recipe has too many sources to render");
        program.sources.push_back(source);
        return static_cast<int>(program.sources.size() - 1);
    }
};

std::int32_t clampedIndex(double value, int limit) {
    return static_cast<std::int32_t>(std::clamp(value, 0.0, double(limit)));
}

// --- CPU reference: the same arithmetic as Render.cl, in the same order. ---

struct Plane {
    const std::uint8_t* data = nullptr;
    std::size_t rowBytes = 0, pixelBytes = 0;
    int width = 0, height = 0;
    const std::uint8_t* at(int x, int row) const {
        return data + std::size_t(row) * rowBytes + std::size_t(x) * pixelBytes;
    }
};

struct RGBA {
    float r = 0, g = 0, b = 0, a = 0;
};

struct SourceView {
    const float* p;
    Plane planes[2];
};

Plane planeOf(const Source& source, int index) {
    Plane plane;
    if (source.pixelBuffer) {
        plane.data = static_cast<const std::uint8_t*>(source.pixelBuffer.baseAddress(index));
        plane.rowBytes = source.pixelBuffer.bytesPerRow(index);
        plane.width = int(source.pixelBuffer.planeWidth(index));
        plane.height = int(source.pixelBuffer.planeHeight(index));
        plane.pixelBytes = source.format == SourceFormat::ycbcr8    ? std::size_t(index + 1)
                           : source.format == SourceFormat::ycbcr16 ? std::size_t(2 * (index + 1))
                                                                    : 4;
    } else if (source.texture && index == 0) {
        const auto& layout = source.texture->layout();
        plane.data = static_cast<const std::uint8_t*>(source.texture->buffer()->contents()) + layout.offset;
        plane.rowBytes = layout.rowPitch;
        plane.pixelBytes = layout.pixelPitch;
        plane.width = int(source.texture->width());
        plane.height = int(source.texture->height());
    }
    return plane;
}

float clamp01(float v) { return std::min(std::max(v, 0.0f), 1.0f); }

float lumaValue(const SourceView& s, int x, int row) {
    const std::uint8_t* q = s.planes[0].at(x, row);
    if (int(s.p[fieldFormat]) == int(SourceFormat::ycbcr16)) {
        std::uint16_t word;
        std::memcpy(&word, q, 2);
        return float(word >> 6);
    }
    return float(q[0]);
}

void chromaValue(const SourceView& s, int x, int row, float& cb, float& cr) {
    const std::uint8_t* q = s.planes[1].at(x, row);
    if (int(s.p[fieldFormat]) == int(SourceFormat::ycbcr16)) {
        std::uint16_t words[2];
        std::memcpy(words, q, 4);
        cb = float(words[0] >> 6);
        cr = float(words[1] >> 6);
    } else {
        cb = float(q[0]);
        cr = float(q[1]);
    }
}

// One source pixel, (x, y) in image space (y up); transparent outside.
RGBA fetch(const SourceView& s, int x, int y) {
    const int width = int(s.p[fieldWidth]), height = int(s.p[fieldHeight]);
    if (x < 0 || y < 0 || x >= width || y >= height) return {};
    const int row = s.p[fieldTopDown] != 0.0f ? height - 1 - y : y;
    const int format = int(s.p[fieldFormat]);
    if (format == int(SourceFormat::bgra8) || format == int(SourceFormat::rgba8)) {
        const std::uint8_t* q = s.planes[0].at(x, row);
        const float k = 1.0f / 255.0f;
        if (format == int(SourceFormat::bgra8))
            return {float(q[2]) * k, float(q[1]) * k, float(q[0]) * k, float(q[3]) * k};
        return {float(q[0]) * k, float(q[1]) * k, float(q[2]) * k, float(q[3]) * k};
    }
    // 4:2:0 chroma: co-sited with even columns, centred between row pairs.
    const int cw = s.planes[1].width, ch = s.planes[1].height;
    const float cx = float(x) * 0.5f, cy = (float(row) - 0.5f) * 0.5f;
    const float fx0 = std::floor(cx), fy0 = std::floor(cy);
    const float wx = cx - fx0, wy = cy - fy0;
    const int ix0 = std::clamp(int(fx0), 0, cw - 1), ix1 = std::clamp(int(fx0) + 1, 0, cw - 1);
    const int iy0 = std::clamp(int(fy0), 0, ch - 1), iy1 = std::clamp(int(fy0) + 1, 0, ch - 1);
    float b00, r00, b10, r10, b01, r01, b11, r11;
    chromaValue(s, ix0, iy0, b00, r00);
    chromaValue(s, ix1, iy0, b10, r10);
    chromaValue(s, ix0, iy1, b01, r01);
    chromaValue(s, ix1, iy1, b11, r11);
    const float cbTop = b00 + (b10 - b00) * wx, cbBottom = b01 + (b11 - b01) * wx;
    const float crTop = r00 + (r10 - r00) * wx, crBottom = r01 + (r11 - r01) * wx;
    const float cbValue = cbTop + (cbBottom - cbTop) * wy, crValue = crTop + (crBottom - crTop) * wy;
    const float luma = (lumaValue(s, x, row) - s.p[fieldYOffset]) * s.p[fieldYScale];
    const float cb = (cbValue - s.p[fieldCOffset]) * s.p[fieldCScale];
    const float cr = (crValue - s.p[fieldCOffset]) * s.p[fieldCScale];
    return {clamp01(luma + s.p[fieldRCr] * cr), clamp01(luma + s.p[fieldGCb] * cb + s.p[fieldGCr] * cr),
            clamp01(luma + s.p[fieldBCb] * cb), 1.0f};
}

RGBA mix(RGBA a, RGBA b, float t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t, a.a + (b.a - a.a) * t};
}

RGBA sample(const SourceView& s, float px, float py) {
    const float u = px - 0.5f, v = py - 0.5f;
    const float fx0 = std::floor(u), fy0 = std::floor(v);
    const float wx = u - fx0, wy = v - fy0;
    // Far outside, float-to-int conversion would overflow; such points are transparent anyway.
    if (!(std::fabs(fx0) < 1e9f && std::fabs(fy0) < 1e9f)) return {};
    const int x0 = int(fx0), y0 = int(fy0);
    if (wx == 0.0f && wy == 0.0f) return fetch(s, x0, y0);
    const RGBA bottom = mix(fetch(s, x0, y0), fetch(s, x0 + 1, y0), wx);
    const RGBA top = mix(fetch(s, x0, y0 + 1), fetch(s, x0 + 1, y0 + 1), wx);
    return mix(bottom, top, wy);
}

} // namespace

Program compile(const Node& root) {
    Compiler compiler;
    compiler.emit(root);
    compiler.finish();
    return std::move(compiler.program);
}

Target targetFor(int width, int height, bool topDown, Point origin, const Rect& bounds) {
    Target t;
    t.height = height;
    t.topDown = topDown ? 1 : 0;
    t.originX = float(origin.x);
    t.originY = float(origin.y);
    if (bounds.isEmpty()) return t;
    t.x0 = clampedIndex(std::ceil(bounds.minX() - origin.x - 0.5), width);
    t.x1 = clampedIndex(std::ceil(bounds.maxX() - origin.x - 0.5), width);
    const std::int32_t y0 = clampedIndex(std::ceil(bounds.minY() - origin.y - 0.5), height);
    const std::int32_t y1 = clampedIndex(std::ceil(bounds.maxY() - origin.y - 0.5), height);
    t.r0 = topDown ? height - y1 : y0;
    t.r1 = topDown ? height - y0 : y1;
    return t;
}

void renderReference(const Program& program, const Target& target, std::uint8_t* pixels,
                     std::size_t bytesPerRow, bool rgba) {
    std::vector<SourceView> sources(program.sources.size());
    for (std::size_t i = 0; i < sources.size(); ++i) {
        sources[i].p = &program.sourceParameters[i * kSourceFloats];
        sources[i].planes[0] = planeOf(*program.sources[i], 0);
        sources[i].planes[1] = planeOf(*program.sources[i], 1);
    }
    const float* code = program.code.data();
    for (int r = target.r0; r < target.r1; ++r) {
        for (int x = target.x0; x < target.x1; ++x) {
            const int yIndex = target.topDown ? target.height - 1 - r : r;
            float px = target.originX + float(x) + 0.5f, py = target.originY + float(yIndex) + 0.5f;
            float pointStack[2 * kMaxStack];
            RGBA colors[kMaxStack];
            int points = 0, count = 0;
            for (int pc = 0;;) {
                const int op = int(code[pc]);
                const float* a = code + pc + 1;
                if (op == opEnd) break;
                switch (op) {
                case opSample:
                    colors[count++] = sample(sources[int(a[0])], px, py);
                    pc += 2;
                    break;
                case opConstant:
                    colors[count++] = {a[0], a[1], a[2], a[3]};
                    pc += 5;
                    break;
                case opPush:
                    pointStack[2 * points] = px;
                    pointStack[2 * points + 1] = py;
                    ++points;
                    pc += 1;
                    break;
                case opPop:
                    --points;
                    px = pointStack[2 * points];
                    py = pointStack[2 * points + 1];
                    pc += 1;
                    break;
                case opTransform: {
                    const float nx = a[0] * px + a[2] * py + a[4];
                    const float ny = a[1] * px + a[3] * py + a[5];
                    px = nx;
                    py = ny;
                    pc += 7;
                    break;
                }
                case opClamp:
                    px = std::min(std::max(px, a[0]), a[2]);
                    py = std::min(std::max(py, a[1]), a[3]);
                    pc += 5;
                    break;
                case opCrop:
                    if (!(px >= a[0] && px < a[2] && py >= a[1] && py < a[3])) colors[count - 1] = {};
                    pc += 5;
                    break;
                case opOver: {
                    const RGBA bg = colors[--count];
                    RGBA& fg = colors[count - 1];
                    const float k = 1.0f - fg.a;
                    fg = {fg.r + bg.r * k, fg.g + bg.g * k, fg.b + bg.b * k, fg.a + bg.a * k};
                    pc += 1;
                    break;
                }
                default:
                    return;
                }
            }
            const RGBA c = count > 0 ? colors[0] : RGBA{};
            auto unorm = [](float v) { return std::uint8_t(std::nearbyint(clamp01(v) * 255.0f)); };
            std::uint8_t* q = pixels + std::size_t(r) * bytesPerRow + std::size_t(x) * 4;
            q[rgba ? 0 : 2] = unorm(c.r);
            q[1] = unorm(c.g);
            q[rgba ? 2 : 0] = unorm(c.b);
            q[3] = unorm(c.a);
        }
    }
}

} // namespace lumavane::image::detail
