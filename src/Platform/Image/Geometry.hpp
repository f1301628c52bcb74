#pragma once

namespace lumavane::image {

struct Point {
    double x = 0, y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0, height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct AffineTransform;

// A rectangle in image space: origin at the lower left, y up. A null rectangle
// (the result of disjoint intersections) has no position; an infinite one covers the plane.
struct Rect {
    double x = 0, y = 0, width = 0, height = 0;

    static Rect infinite();
    static Rect null();

    bool isInfinite() const;
    bool isNull() const;
    bool isEmpty() const; // null, or zero width or height

    double minX() const { return x; }
    double minY() const { return y; }
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }

    Rect intersection(const Rect& other) const;
    Rect unionWith(const Rect& other) const;
    // Smallest whole-pixel rectangle containing this one. Edges within 1e-6 of
    // a whole number count as whole, so rounding residue of exact rotations and
    // scales does not add a row or column.
    Rect integral() const;
    // Bounding box of the four transformed corners.
    Rect applying(const AffineTransform& transform) const;
    bool contains(Point point) const; // half-open: min <= p < max

    friend bool operator==(const Rect&, const Rect&) = default;
};

// x' = a·x + c·y + tx, y' = b·x + d·y + ty, as Core Graphics writes it.
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    static AffineTransform identity() { return {}; }
    static AffineTransform translation(double x, double y) { return {1, 0, 0, 1, x, y}; }
    static AffineTransform scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
    // Counter-clockwise in image space (y up). Quarter turns are exact.
    static AffineTransform rotation(double radians);

    // This transform followed by `next`.
    AffineTransform concatenating(const AffineTransform& next) const;
    AffineTransform inverted() const; // identity when singular, like Core Graphics
    bool isIdentity() const { return a == 1 && b == 0 && c == 0 && d == 1 && tx == 0 && ty == 0; }
    Point apply(Point point) const {
        return {a * point.x + c * point.y + tx, b * point.x + d * point.y + ty};
    }

    friend bool operator==(const AffineTransform&, const AffineTransform&) = default;
};

} // namespace lumavane::image
