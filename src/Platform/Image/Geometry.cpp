#include "Platform/Image/Geometry.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace lumavane::image {
namespace {

// What Core Graphics uses for an infinite rectangle.
constexpr double kInfiniteSize = std::numeric_limits<double>::max();
constexpr double kInfiniteOrigin = -kInfiniteSize / 2;
constexpr double kWholeTolerance = 1e-6;

double snapped(double value) {
    const double nearest = std::round(value);
    return std::fabs(value - nearest) <= kWholeTolerance ? nearest : value;
}

double snappedUnit(double value) {
    for (double exact : {-1.0, 0.0, 1.0})
        if (std::fabs(value - exact) < 1e-12) return exact;
    return value;
}

} // namespace

Rect Rect::infinite() { return {kInfiniteOrigin, kInfiniteOrigin, kInfiniteSize, kInfiniteSize}; }

Rect Rect::null() {
    const double inf = std::numeric_limits<double>::infinity();
    return {inf, inf, 0, 0};
}

bool Rect::isInfinite() const { return width >= kInfiniteSize || height >= kInfiniteSize; }

bool Rect::isNull() const { return std::isinf(x) && x > 0; }

bool Rect::isEmpty() const { return isNull() || width <= 0 || height <= 0; }

Rect Rect::intersection(const Rect& other) const {
    if (isNull() || other.isNull()) return null();
    if (isInfinite()) return other;
    if (other.isInfinite()) return *this;
    const double x0 = std::max(minX(), other.minX()), y0 = std::max(minY(), other.minY());
    const double x1 = std::min(maxX(), other.maxX()), y1 = std::min(maxY(), other.maxY());
    if (x1 < x0 || y1 < y0) return null();
    return {x0, y0, x1 - x0, y1 - y0};
}

Rect Rect::unionWith(const Rect& other) const {
    if (isNull()) return other;
    if (other.isNull()) return *this;
    if (isInfinite() || other.isInfinite()) return infinite();
    const double x0 = std::min(minX(), other.minX()), y0 = std::min(minY(), other.minY());
    const double x1 = std::max(maxX(), other.maxX()), y1 = std::max(maxY(), other.maxY());
    return {x0, y0, x1 - x0, y1 - y0};
}

Rect Rect::integral() const {
    if (isNull() || isInfinite()) return *this;
    const double x0 = std::floor(snapped(minX())), y0 = std::floor(snapped(minY()));
    const double x1 = std::ceil(snapped(maxX())), y1 = std::ceil(snapped(maxY()));
    return {x0, y0, x1 - x0, y1 - y0};
}

Rect Rect::applying(const AffineTransform& t) const {
    if (isNull() || isInfinite()) return *this;
    const Point corners[] = {t.apply({minX(), minY()}), t.apply({maxX(), minY()}), t.apply({minX(), maxY()}),
                             t.apply({maxX(), maxY()})};
    double x0 = corners[0].x, x1 = x0, y0 = corners[0].y, y1 = y0;
    for (const Point& p : corners) {
        x0 = std::min(x0, p.x);
        x1 = std::max(x1, p.x);
        y0 = std::min(y0, p.y);
        y1 = std::max(y1, p.y);
    }
    return {x0, y0, x1 - x0, y1 - y0};
}

bool Rect::contains(Point p) const {
    if (isNull()) return false;
    if (isInfinite()) return true;
    return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
}

AffineTransform AffineTransform::rotation(double radians) {
    const double cosine = snappedUnit(std::cos(radians)), sine = snappedUnit(std::sin(radians));
    return {cosine, sine, -sine, cosine, 0, 0};
}

AffineTransform AffineTransform::concatenating(const AffineTransform& n) const {
    return {a * n.a + b * n.c, a * n.b + b * n.d,          c * n.a + d * n.c,
            c * n.b + d * n.d, tx * n.a + ty * n.c + n.tx, tx * n.b + ty * n.d + n.ty};
}

AffineTransform AffineTransform::inverted() const {
    const double determinant = a * d - b * c;
    if (determinant == 0 || !std::isfinite(determinant)) return identity();
    const double ia = d / determinant, ib = -b / determinant, ic = -c / determinant, id = a / determinant;
    return {ia, ib, ic, id, -(ia * tx + ic * ty), -(ib * tx + id * ty)};
}

} // namespace lumavane::image
