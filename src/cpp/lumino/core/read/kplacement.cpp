// KLayout's placement arithmetic.  The floating-point steps follow
// KLayout's own, in the same order (this file is compiled without
// floating-point contraction), because their results must be identical.
#include "lumino/core/read/kplacement.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace lumino::core::kplace {

using kbox::Box;

Trans placement(double mag, double angle_deg, bool mirror, int64_t dx, int64_t dy) {
    constexpr double eps = 1e-10;
    const double m = mirror ? -mag : mag;
    const double rot = angle_deg * (M_PI / 180.0);
    const double sn = std::sin(rot), cs = std::cos(rot);
    int code;
    double rcos;
    if (cs > eps && sn >= -eps) {
        code = 0, rcos = cs;
    } else if (cs <= eps && sn > eps) {
        code = 1, rcos = sn;
    } else if (cs < -eps && sn <= eps) {
        code = 2, rcos = -cs;
    } else {
        code = 3, rcos = -sn;
    }
    Trans t;
    t.mirror = m < 0.0;
    t.dx = double(dx);
    t.dy = double(dy);
    const bool complex = std::fabs(std::fabs(m) - 1.0) > eps || !(std::fabs(sn * cs) <= eps);
    if (!complex) {
        t.rot = code;
        return t;
    }
    // The reconstruction from the quadrant and the cosine of the rest.
    if (rcos > 1.0) rcos = 1.0;
    if (rcos < -1.0) rcos = -1.0;
    // (1, 0) under the quadrant's rotation and mirror: the signs of its
    // zeros reach the sine and cosine.
    double tx = 1.0, ty = 0.0;
    switch (code + (m < 0.0 ? 4 : 0)) {
        case 1: tx = -0.0, ty = 1.0; break;
        case 2: tx = -1.0, ty = -0.0; break;
        case 3: tx = 0.0, ty = -1.0; break;
        case 4: tx = 1.0, ty = -0.0; break;
        case 5: tx = 0.0, ty = 1.0; break;
        case 6: tx = -1.0, ty = 0.0; break;
        case 7: tx = -0.0, ty = -1.0; break;
        default: break;
    }
    const double rsin = std::sqrt(1.0 - rcos * rcos);
    t.complex = true;
    t.cos = tx * rcos - ty * rsin;
    t.sin = tx * rsin + ty * rcos;
    t.mag = std::fabs(m);
    double a = std::atan2(t.sin, t.cos) * (180.0 / M_PI);
    if (a < -eps) {
        a += 360.0;
    } else if (a <= eps) {
        a = 0.0;
    }
    t.angle = a;
    return t;
}

bool fits32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

bool make_box(int64_t x1, int64_t y1, int64_t x2, int64_t y2, Box& out) {
    if (!fits32(x1) || !fits32(y1) || !fits32(x2) || !fits32(y2)) return false;
    out = Box{int32_t(std::min(x1, x2)), int32_t(std::min(y1, y2)), int32_t(std::max(x1, x2)),
              int32_t(std::max(y1, y2))};
    return true;
}

bool round_coord(double v, int32_t& c) {
    const double r = v > 0 ? v + 0.5 : v - 0.5;
    if (!(r > -2147483649.0 && r < 2147483648.0)) return false;
    c = int32_t(r);
    return true;
}

bool transform_box(const Trans& t, const Box& b, bool moved, Box& out) {
    const int64_t dx = moved ? int64_t(t.dx) : 0, dy = moved ? int64_t(t.dy) : 0;
    if (!t.complex) {
        auto fix = [&](int64_t x, int64_t y, int64_t& ox, int64_t& oy) {
            switch (t.rot + (t.mirror ? 4 : 0)) {
                case 1: ox = -y, oy = x; break;
                case 2: ox = -x, oy = -y; break;
                case 3: ox = y, oy = -x; break;
                case 4: ox = x, oy = -y; break;
                case 5: ox = y, oy = x; break;
                case 6: ox = -x, oy = y; break;
                case 7: ox = -y, oy = -x; break;
                default: ox = x, oy = y; break;
            }
            ox += dx, oy += dy;
        };
        int64_t x1, y1, x2, y2;
        fix(b.l, b.b, x1, y1);
        fix(b.r, b.t, x2, y2);
        return make_box(x1, y1, x2, y2, out);
    }
    const double m = t.mirror ? -t.mag : t.mag;
    auto apply = [&](int32_t x, int32_t y, Box& acc) {
        const double mx = t.cos * x * std::fabs(m) - t.sin * y * m;
        const double my = t.sin * x * std::fabs(m) + t.cos * y * m;
        int32_t ox, oy;
        if (!round_coord(mx + double(dx), ox) || !round_coord(my + double(dy), oy)) return false;
        acc.add(ox, oy);
        return true;
    };
    out = Box();
    if (!apply(b.l, b.b, out) || !apply(b.r, b.t, out)) return false;
    if (!(std::fabs(t.sin * t.cos) <= 1e-10) && (!apply(b.l, b.t, out) || !apply(b.r, b.b, out))) return false;
    return true;
}

bool array_box(const Instance& inst, const Box& b, Box& out) {
    const int64_t ma[2] = {int64_t(inst.ax) * (int64_t(inst.na) - 1), int64_t(inst.ay) * (int64_t(inst.na) - 1)};
    const int64_t mbx = int64_t(inst.bx) * (int64_t(inst.nb) - 1), mby = int64_t(inst.by) * (int64_t(inst.nb) - 1);
    if (!fits32(ma[0]) || !fits32(ma[1]) || !fits32(mbx) || !fits32(mby)) return false;
    const int64_t xs[4] = {0, ma[0], mbx, ma[0] + mbx}, ys[4] = {0, ma[1], mby, ma[1] + mby};
    int64_t l = 0, r = 0, bo = 0, t = 0;
    for (int k = 0; k < 4; ++k) {
        if (!fits32(xs[k]) || !fits32(ys[k])) return false;
        l = std::min(l, xs[k]), r = std::max(r, xs[k]), bo = std::min(bo, ys[k]), t = std::max(t, ys[k]);
    }
    return make_box(b.l + l, b.b + bo, b.r + r, b.t + t, out);
}

namespace {

// Rearranges items so that item k becomes the former items[order[k]],
// in place, following the permutation's cycles (`order` is used up).
void permute(Instance* items, std::vector<uint32_t>& order) {
    const uint32_t done = UINT32_MAX;  // no index: the reader keeps lists below UINT32_MAX entries
    for (uint32_t start = 0; start < order.size(); ++start) {
        if (order[start] == done || order[start] == start) continue;
        Instance first = items[start];
        uint32_t k = start;
        while (order[k] != start) {
            const uint32_t next = order[k];
            items[k] = items[next];
            order[k] = done;
            k = next;
        }
        items[k] = first;
        order[k] = done;
    }
}

}  // namespace

bool sort_instances(Layout& out, const std::vector<uint32_t>& bottom_up, const std::vector<kbox::Box>& shapes_box,
                    const std::vector<uint32_t>& plain_count) {
    const size_t n = out.cells.size();
    bool any = false;
    for (uint32_t ci = 0; ci < n; ++ci) {
        const size_t total = out.cells[ci].instances.size(), plain = plain_count[ci];
        any = any || plain > 100 || total - plain > 100;
    }
    if (!any) return true;

    std::vector<Box> bbox(n);
    std::vector<char> ok(n, 1);
    for (uint32_t ci : bottom_up) {
        Box b = shapes_box[ci];
        bool good = true;
        for (const Instance& inst : out.cells[ci].instances) {
            if (!ok[inst.child]) {
                good = false;
                break;
            }
            // KLayout adds the box of the element points to the child's
            // box turned (not moved) by the placement.
            const int64_t dx = int64_t(inst.trans.dx), dy = int64_t(inst.trans.dy);
            Box raw = Box::point(int32_t(dx), int32_t(dy)), turned, part;
            if ((inst.array && !array_box(inst, raw, raw)) ||
                !transform_box(inst.trans, bbox[inst.child], false, turned) ||
                !make_box(int64_t(raw.l) + turned.l, int64_t(raw.b) + turned.b, int64_t(raw.r) + turned.r,
                          int64_t(raw.t) + turned.t, part)) {
                good = false;
                break;
            }
            b.add(part);
        }
        ok[ci] = good;
        bbox[ci] = b.empty() ? Box::point(0, 0) : b;
    }

    std::vector<Box> boxes;
    std::vector<uint32_t> order;
    for (uint32_t ci = 0; ci < n; ++ci) {
        std::vector<Instance>& insts = out.cells[ci].instances;
        const size_t plain = plain_count[ci];
        const std::pair<size_t, size_t> groups[2] = {{0, plain}, {plain, insts.size()}};
        for (const auto& [from, to] : groups) {
            if (to - from <= 100) continue;
            boxes.clear();
            Box all;
            for (size_t k = from; k < to; ++k) {
                const Instance& inst = insts[k];
                Box b;
                if (!ok[inst.child] || !transform_box(inst.trans, bbox[inst.child], true, b) ||
                    (inst.array && !array_box(inst, b, b)))
                    return false;
                boxes.push_back(b);
                all.add(b);
            }
            order.resize(boxes.size());
            for (size_t k = 0; k < order.size(); ++k) order[k] = uint32_t(k);
            kbox::tree_sort(order, boxes.data(), all);
            permute(insts.data() + from, order);
        }
    }
    return true;
}

const char* finish_hierarchy(Layout& out, const std::vector<uint32_t>& order, bool sort,
                             const std::vector<kbox::Box>& shapes_box, const std::vector<uint32_t>& plain_count) {
    // A depth-first walk that also lists the cells children first.
    const size_t n = out.cells.size();
    std::vector<uint8_t> state(n, 0), has_parent(n, 0);
    std::vector<uint32_t> bottom_up;
    std::vector<std::pair<uint32_t, size_t>> stack;
    for (uint32_t root = 0; root < n; ++root) {
        if (state[root]) continue;
        stack.emplace_back(root, 0);
        state[root] = 1;
        while (!stack.empty()) {
            auto& [ci, k] = stack.back();
            const std::vector<Instance>& insts = out.cells[ci].instances;
            if (k == insts.size()) {
                state[ci] = 2;
                bottom_up.push_back(ci);
                stack.pop_back();
                continue;
            }
            const uint32_t child = insts[k++].child;
            has_parent[child] = 1;
            if (state[child] == 1) return "recursive hierarchy";
            if (state[child] == 0) {
                state[child] = 1;
                stack.emplace_back(child, 0);
            }
        }
    }
    for (uint32_t ci : order)
        if (!has_parent[ci]) out.top_cells.push_back(ci);
    if (sort && !sort_instances(out, bottom_up, shapes_box, plain_count)) return "instance bounding box out of range";
    return nullptr;
}

}  // namespace lumino::core::kplace
