// KLayout's polygon forms of the shapes a GDS2 file holds, computed the way
// KLayout computes them, so that the hull points equal those of
// Shape.polygon bit for bit: the start point and orientation of an
// uncompressed contour, a box's four corners and a path's outline.
//
// Every function that can meet coordinates KLayout itself would overflow on
// returns false instead of an answer; its caller then lets KLayout read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lumino/core/read/kbox_tree.hpp"

namespace lumino::core::kpoly {

struct Point {
    int32_t x = 0, y = 0;
    bool operator==(const Point& o) const { return x == o.x && y == o.y; }
};

// Twice the signed area of a closed contour, summed in 64-bit integers that
// wrap as KLayout's do (a contour spanning more than about 2^31 units on both
// axes wraps, and KLayout then takes it for the other orientation).
int64_t area2(const Point* p, size_t n);

// Whether KLayout's 64-bit area arithmetic may overflow on a contour of n
// points given as x, y pairs: products of coordinates (or of the extents)
// reach 2^61.
bool area_may_overflow(const int32_t* xy, size_t n);

// KLayout's uncompressed contour assignment: the points from the first
// occurrence of the lowest (y, then x) point on, reversed after the first
// point when the area is not negative (hulls run clockwise).  `out` is
// replaced.
void assign_contour(const Point* in, size_t n, std::vector<Point>& out);

// The hull of a box as Shape.polygon gives it: left-bottom, left-top,
// right-top, right-bottom, oriented by its (wrapping) area.
void box_hull(int32_t left, int32_t bottom, int32_t right, int32_t top, std::vector<Point>& out);

// The hull of a simple polygon stored from a file's BOUNDARY (its points in
// file order, closing point removed): assigned once when KLayout reads it
// and once more when Shape.polygon converts it.
void boundary_hull(const Point* in, size_t n, std::vector<Point>& out);

// Buffers path_hull works in, kept by the caller so that a path costs no
// allocation once they have grown.
struct PathScratch {
    std::vector<Point> reduced, real, hull;
};

// A path as KLayout holds it: its points, width (not negative), begin and
// end extensions, and round ends.
struct Path {
    const Point* points = nullptr;
    size_t n = 0;
    int32_t width = 0;
    int32_t bgn_ext = 0, end_ext = 0;
    bool round = false;
};

// The hull of a path as Shape.polygon gives it: the path moved to its first
// point (KLayout stores it that way), outlined with `semi_circle_points`
// points per round end, assigned as a contour, moved back and assigned
// again.  False where the computation would leave 32-bit coordinates.
bool path_hull(const Path& path, int semi_circle_points, std::vector<Point>& out, PathScratch& scratch);

// The bounding box KLayout gives a path: that of its outline with square
// ends of the same extensions (also for round paths).  False where the
// computation would leave 32-bit coordinates.
bool path_box(const Path& path, kbox::Box& box, PathScratch& scratch);

}  // namespace lumino::core::kpoly
