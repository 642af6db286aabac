// The direct GDS2 reader.  It walks the records as KLayout's GDS2 reader
// does (the same records accepted, in the same places, with the same
// fallbacks for missing ones) and builds what KLayout's database then holds:
//
// - cells get indices in the order their names first appear, as a
//   structure or as a placement; a cell placed but never defined stays as an
//   empty "ghost" cell.  Cells the context information declares as library
//   or parametrised-cell proxies become KLayout's "cold proxies" (KLayout
//   keeps what the file holds, and moves the cell to the end of its cell
//   list); top cells come in that list's order.
// - layers get indices in the order their (layer, datatype) first appears.
// - a cell's shapes on a layer come in Shapes.each() order: by kind
//   (simple polygons, paths, boxes, texts), within a kind those without
//   properties before those with, and each such group in the order of
//   KLayout's box tree: file order up to 100 shapes, a spatial order beyond.
//   A BOUNDARY on the four corners of an axis-parallel rectangle is a box.
// - instances come in each_inst() order: those without properties, then
//   those with, each group again in box-tree order (which needs the cells'
//   bounding boxes, computed here as KLayout computes them).
//
// Any record or value whose treatment has not been verified against KLayout
// makes the reader decline.
#include "lumino/core/read/gds.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <map>
#include <new>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

#include "lumino/core/read/context.hpp"
#include "lumino/core/read/gzip.hpp"
#include "lumino/core/read/records.hpp"
#include "lumino/core/read/kbox_tree.hpp"
#include "lumino/core/read/kplacement.hpp"
#include "lumino/core/read/kpolygon.hpp"
#include "lumino/core/read/mapped_file.hpp"

namespace lumino::core {

namespace {

using namespace gds;
using kbox::Box;
using kplace::array_box;
using kplace::fits32;
using kplace::make_box;
using kplace::placement;
using kplace::round_coord;
using kplace::transform_box;
using kpoly::Point;

// Shape kinds in Shapes.each() order; each is followed by its variant with
// properties.
enum Bucket : uint8_t { kPolygon = 0, kPath = 2, kBox = 4, kText = 6, kBuckets = 8 };

// The klayout releases this reader was compared with.  A new release joins
// once tests/lumino/test_direct_reader.py passes with it installed and the
// release added here (until then the tests skip and callers read with
// KLayout).
constexpr const char* kVerifiedVersions[] = {"0.30.12"};

// Cells, layers, and the shapes and instances of one list are counted in
// 32 bits: a file that needs more is declined rather than wrapped.
constexpr size_t kMaxIndex = UINT32_MAX;

// Semi-circle points of a round path end: KLayout's default circle
// resolution (32) halved; only its layout viewer changes the resolution.
constexpr int kSemiCirclePoints = 16;

// Thrown inside the reader to decline; never leaves read_gds.
bool valid_utf8(const std::string& s) {
    size_t k = 0;
    while (k < s.size()) {
        const uint8_t c = uint8_t(s[k]);
        size_t n = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++k;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            n = 1, cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            n = 2, cp = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            n = 3, cp = c & 0x07;
        } else {
            return false;
        }
        if (k + n >= s.size()) return false;
        for (size_t j = 1; j <= n; ++j) {
            const uint8_t d = uint8_t(s[k + j]);
            if ((d & 0xc0) != 0x80) return false;
            cp = cp << 6 | (d & 0x3f);
        }
        if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10ffff)) ||
            (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        k += n + 1;
    }
    return true;
}

class Reader {
  public:
    Reader(const uint8_t* data, size_t size, const GdsReadOptions& options, Layout& out)
        : rec_(data, size), options_(options), out_(out), listing_(options.listing) {
        if (listing_) {
            *listing_ = StreamListing();
            options_.all_layers = true;
            options_.texts = true;
            options_.order = false;
            options_.cells = nullptr;
        }
        for (const auto& [layer, datatype] : options.layers)
            if (layer >= 0 && layer <= 0xffff && datatype >= 0 && datatype <= 0xffff)
                keep_pairs_.insert(uint32_t(layer) << 16 | uint32_t(datatype));
        for (const std::string& name : options.libraries) libraries_.insert(name);
    }

    void run() {
        out_ = Layout();
        header();
        cells();
        finish();
    }

  private:
    // ---- library ------------------------------------------------------

    void header() {
        if (rec_.get() != sHEADER) decline("HEADER record expected");
        if (rec_.get() != sBGNLIB) decline("BGNLIB record expected");
        while (true) {
            const uint16_t id = rec_.get();
            switch (id) {
                case sLIBDIRSIZE: case sSRFNAME: case sREFLIBS: case sFONTS: case sATTRTABLE:
                case sGENERATIONS: case sFORMAT: case sMASK: case sENDMASKS: case sLIBNAME:
                case sPROPVALUE:
                    break;
                case sPROPATTR:
                    rec_.get_ushort();
                    break;
                case sUNITS: {
                    rec_.get_double();
                    const double dbum = rec_.get_double();
                    const double dbu = dbum * 1e6;
                    if (!(std::isfinite(dbu) && dbu > 0.0)) decline("database unit not positive");
                    out_.dbu = dbu;
                    break;
                }
                case sBGNSTR: case sENDLIB:
                    rec_.unget(id);
                    return;
                default:
                    decline("invalid record in the library header");
            }
        }
    }

    void cells() {
        bool first = true;
        uint16_t id;
        while ((id = rec_.get()) == sBGNSTR) {
            if (rec_.get() != sSTRNAME) decline("STRNAME record expected");
            const std::string name = rec_.get_string();
            if (name.empty()) decline("empty cell name");
            if (first && name == "$$$CONTEXT_INFO$$$") {
                context_cell();
            } else {
                structure(name);
            }
            first = false;
        }
        if (id != sENDLIB) decline("ENDLIB record expected");
        auto global = listing_ ? context_.end() : context_.find(std::string());
        if (global != context_.end()) {
            gdsctx::Info info;
            if (!gdsctx::deserialize(global->second, info)) decline("context information not verified");
        }
    }

    // ---- cells --------------------------------------------------------

    uint32_t new_cell(const std::string& name, bool ghost) {
        if (out_.cells.size() >= kMaxIndex) decline("too many cells");
        const uint32_t ci = uint32_t(out_.cells.size());
        Cell& c = out_.cells.emplace_back();
        c.name = name;
        c.ghost = ghost;
        order_.push_back(ci);
        names_.emplace(name, ci);
        return ci;
    }

    // The cell a structure defines: new, or the ghost of an earlier placement.
    uint32_t make_cell(const std::string& name) {
        if (name.find('\0') != std::string::npos) decline("cell name with a NUL character");
        if (!valid_utf8(name)) decline("cell name not UTF-8");
        auto it = names_.find(name);
        if (it == names_.end()) return new_cell(name, false);
        Cell& c = out_.cells[it->second];
        if (!c.ghost) decline("a cell with this name already exists");
        c.ghost = false;
        return it->second;
    }

    // The cell a placement refers to by name (placements of one cell
    // often follow one another).
    uint32_t cell_for_instance(std::string_view view) {
        if (view.empty()) decline("placement of an unnamed cell");
        if (has_last_sname_ && view == last_sname_) return last_child_;
        std::string name(view);
        auto it = names_.find(name);
        uint32_t ci;
        if (it != names_.end()) {
            ci = it->second;
        } else {
            if (!valid_utf8(name)) decline("cell name not UTF-8");
            ci = new_cell(name, true);
        }
        last_sname_ = std::move(name);
        last_child_ = ci;
        has_last_sname_ = true;
        return ci;
    }

    void structure(const std::string& name) {
        const uint32_t ci = make_cell(name);
        auto ctx = listing_ ? context_.end() : context_.find(name);
        if (ctx != context_.end()) {
            gdsctx::Info info;
            if (!gdsctx::deserialize(ctx->second, info)) decline("context information not verified");
            if (info.proxy()) {
                if (!info.lib_name.empty() && libraries_.count(info.lib_name))
                    decline("cell of a library registered in KLayout");
                // KLayout keeps the cell as read but as a "cold proxy", which
                // it moves to the end of its cell list.
                order_.erase(std::find(order_.begin(), order_.end(), ci));
                order_.push_back(ci);
            }
        }
        current_ = ci;
        with_props_.clear();
        placements_not_held_ = false;
        cell_box_ = Box();
        out_.cells[ci].instances.reserve(rec_.placements_ahead());
        uint16_t id;
        while ((id = rec_.get()) != sENDSTR) {
            switch (id) {
                case sPROPATTR: rec_.get_ushort(); break;
                case sPROPVALUE: break;
                case sBOUNDARY: boundary(); break;
                case sPATH: path(); break;
                case sSREF: case sAREF: ref(id == sAREF); break;
                case sTEXT: text(); break;
                case sBOX: box(); break;
                case sNODE:
                    while (rec_.get() != sENDEL) {
                    }
                    break;
                default:
                    decline("invalid record in a structure");
            }
        }
        Cell& cell = out_.cells[ci];
        if (listing_) {
            list_cell(ci, cell);
            return;
        }
        if (plain_count_.size() < out_.cells.size()) plain_count_.resize(out_.cells.size(), 0);
        plain_count_[ci] = uint32_t(cell.instances.size());
        cell.instances.insert(cell.instances.end(), with_props_.begin(), with_props_.end());
        if (shapes_box_.size() < out_.cells.size()) shapes_box_.resize(out_.cells.size());
        shapes_box_[ci] = cell_box_;
        flush_shapes(cell);
        if (options_.cells) options_.cells->cell_read(ci, cell, out_.dbu);
    }

    // The context information cell: per cell name (and "" for the layout),
    // the strings KLayout reads back.
    void context_cell() {
        uint16_t id;
        while ((id = rec_.get()) != sENDSTR) {
            std::string cn;
            if (id == sSREF) {
                do {
                    id = rec_.get();
                } while (id == sELFLAGS || id == sPLEX);
                if (id != sSNAME) decline("SNAME record expected");
                cn = std::string(rec_.get_cstring());
                id = rec_.get();
                while (id == sSTRANS || id == sANGLE || id == sMAG) id = rec_.get();
                if (id != sXY) decline("XY record expected");
            } else if (id == sBOUNDARY) {
                id = rec_.get();
                while (id == sLAYER || id == sDATATYPE) id = rec_.get();
                if (id != sXY) decline("XY record expected");
            } else {
                decline("invalid record in the context information");
            }
            std::vector<std::string>& strings = context_[cn];
            gdsctx::Parts parts;
            size_t attr = 0;
            while (true) {
                id = rec_.get();
                if (id == sENDEL) break;
                if (id == sPROPATTR) {
                    attr = rec_.get_ushort();
                } else if (id == sPROPVALUE) {
                    if (!gdsctx::add_string(strings, parts, attr, std::string(rec_.get_cstring())))
                        decline("context information not verified");
                } else {
                    decline("ENDEL, PROPATTR or PROPVALUE record expected");
                }
            }
            gdsctx::join_parts(strings, parts);
        }
    }

    // ---- layers and shapes -------------------------------------------------

    // The layer index of a (layer, datatype) pair, created on first use.
    uint32_t open_layer(uint16_t layer, uint16_t datatype) {
        const uint32_t key = uint32_t(layer) << 16 | datatype;
        // Every 32-bit value is some pair's key: whether one is cached is a
        // flag of its own.
        if (has_last_layer_ && key == last_layer_key_) return last_layer_;
        auto it = layer_index_.find(key);
        uint32_t li;
        if (it != layer_index_.end()) {
            li = it->second;
        } else {
            if (out_.layers.size() >= kMaxIndex) decline("too many layers");
            li = uint32_t(out_.layers.size());
            out_.layers.push_back(LayerInfo{li, layer, datatype});
            layer_index_.emplace(key, li);
            kept_.push_back(options_.all_layers || keep_pairs_.count(key) != 0);
            dirty_flag_.push_back(0);
            not_held_.push_back(0);
            stage_.emplace_back();
        }
        last_layer_key_ = key;
        last_layer_ = li;
        has_last_layer_ = true;
        return li;
    }

    bool kept(uint32_t li) const { return kept_[li]; }

    // Records after an element's contents up to its ENDEL; a missing ENDEL
    // before the next element or the structure's end is tolerated.  True
    // when the element has properties.
    bool finish_element(bool read_properties) {
        bool any = false;
        while (true) {
            const uint16_t id = rec_.get();
            if (id == sENDEL) break;
            if (id == sPROPATTR) {
                if (read_properties) rec_.get_ushort();
            } else if (id == sPROPVALUE) {
                any = true;
            } else if (id == sTEXT || id == sPATH || id == sBOUNDARY || id == sBOX || id == sAREF || id == sSREF ||
                       id == sENDSTR) {
                rec_.unget(id);
                break;
            } else {
                decline("ENDEL, PROPATTR or PROPVALUE record expected");
            }
        }
        return any;
    }

    // A shape of the structure being read: its box counts for the cell's
    // bounding box; on a kept layer it is staged with its hull (none for a
    // text) until the structure ends.
    void add_shape(uint32_t li, int kind, bool props, const Box& box, const std::vector<Point>* hull) {
        Shapes* s = stage_shape(li, kind, props, box);
        if (!s) return;
        if (hull) {
            static_assert(sizeof(Point) == 2 * sizeof(int32_t));
            const int32_t* xy = reinterpret_cast<const int32_t*>(hull->data());
            s->xy.insert(s->xy.end(), xy, xy + 2 * hull->size());
        }
        s->polygon.push_back(hull ? 1 : 0);
        s->start.push_back(s->xy.size() / 2);
    }

    // The box of a shape counted for the cell, and on a kept layer staged:
    // the list its hull and entries go to (null for a layer not kept).
    Shapes* stage_shape(uint32_t li, int kind, bool props, const Box& box) {
        cell_box_.add(box);
        if (!kept(li)) return nullptr;
        if (!dirty_flag_[li]) {
            dirty_flag_[li] = 1;
            dirty_.push_back(li);
        }
        Stage& st = stage_[li][size_t(kind + (props ? 1 : 0))];
        if (st.boxes.size() >= kMaxIndex) decline("too many shapes in one cell");
        st.boxes.push_back(box);
        return &st.shapes;
    }

    static Box box_of(const std::vector<Point>& pts) {
        Box b;
        for (const Point& p : pts) b.add(p.x, p.y);
        return b;
    }

    void skip_element_start(uint16_t expected, const char* what) {
        uint16_t id;
        do {
            id = rec_.get();
        } while (id == sELFLAGS || id == sPLEX);
        if (id != expected) decline(what);
    }

    void boundary() {
        skip_element_start(sLAYER, "LAYER record expected");
        const uint16_t layer = rec_.get_ushort();
        if (rec_.get() != sDATATYPE) decline("DATATYPE record expected");
        const uint16_t datatype = rec_.get_ushort();
        if (rec_.get() != sXY) decline("XY record expected");
        size_t n = rec_.xy_count();
        const uint32_t li = open_layer(layer, datatype);
        if (listing_) {
            listed_boundary(li, n);
            return;
        }
        const bool keep = kept(li);

        if (n == 4 || (n == 5 && rec_.xy(4) == rec_.xy(0))) {
            const Point p0 = rec_.xy(0), p1 = rec_.xy(1), p2 = rec_.xy(2), p3 = rec_.xy(3);
            if ((p0.x == p1.x && p2.x == p3.x && p1.y == p2.y && p0.y == p3.y) ||
                (p1.x == p2.x && p0.x == p3.x && p0.y == p1.y && p2.y == p3.y)) {
                const bool props = finish_element(true);
                const int32_t l = std::min({p0.x, p1.x, p2.x, p3.x}), r = std::max({p0.x, p1.x, p2.x, p3.x});
                const int32_t b = std::min({p0.y, p1.y, p2.y, p3.y}), t = std::max({p0.y, p1.y, p2.y, p3.y});
                if (keep) kpoly::box_hull(l, b, r, t, hull_);
                add_shape(li, kBox, props, Box{l, b, r, t}, &hull_);
                return;
            }
        }

        points_.clear();
        size_t count = n;
        Box box;
        Point low = rec_.xy(0);  // the lowest point, by y then x (n > 2000 here)
        auto take = [&](const Point& p) {
            box.add(p.x, p.y);
            if (p.y < low.y || (p.y == low.y && p.x < low.x)) low = p;
            if (keep) points_.push_back(p);
        };
        if (n > 2000) {
            // Long outlines may continue in further XY records.
            const Point first = rec_.xy(0);
            Point last = first;
            count = 0;
            while (true) {
                for (size_t k = 0; k < n; ++k) take(rec_.xy(k));
                if (n > 0) last = rec_.xy(n - 1);
                count += n;
                const uint16_t id = rec_.get();
                if (id != sXY) {
                    rec_.unget(id);
                    break;
                }
                n = rec_.xy_count();
            }
            if (last == first) {
                --count;
                if (keep) points_.pop_back();
            }
        } else {
            if (n > 1 && rec_.xy(0) == rec_.xy(n - 1)) --n;
            if (n < 3) {
                finish_element(false);
                return;
            }
            one_record_boundary(li, n);
            return;
        }
        if (count < 3) {
            finish_element(false);
            return;
        }
        const bool props = finish_element(true);
        if (keep) kpoly::boundary_hull(points_.data(), points_.size(), hull_);
        add_shape(li, kPolygon, props, stored_polygon_box(box, low), &hull_);
    }

    // A boundary of n >= 3 points in the one XY record just read (without
    // its closing point): box, lowest point and orientation in one pass over
    // the record, then the hull written straight into its staged list.  The
    // same hull as boundary_hull: from the first lowest point, reversed when
    // the doubled area (in wrapping arithmetic, which a rotation or reversal
    // leaves as it is or negates) is positive.
    void one_record_boundary(uint32_t li, size_t n) {
        const uint8_t* xy = rec_.xy_data();  // the file's bytes: valid after the records that follow
        auto at = [xy](size_t k) { return Point{be32(xy + 8 * k), be32(xy + 8 * k + 4)}; };
        Box box;
        Point low = at(0);
        size_t m = 0;
        uint64_t area = 0;
        Point prev = at(n - 1);
        for (size_t k = 0; k < n; ++k) {
            const Point p = at(k);
            box.add(p.x, p.y);
            if (p.y < low.y || (p.y == low.y && p.x < low.x)) low = p, m = k;
            area += uint64_t(int64_t(prev.x) * p.y) - uint64_t(int64_t(prev.y) * p.x);
            prev = p;
        }
        const bool props = finish_element(true);
        Shapes* s = stage_shape(li, kPolygon, props, stored_polygon_box(box, low));
        if (!s) return;
        const size_t from = s->xy.size();
        s->xy.resize(from + 2 * n);
        int32_t* out = s->xy.data() + from;
        const bool reverse = int64_t(area) > 0;
        for (size_t j = 0, k = m; j < n; ++j) {
            const Point p = at(k);
            out[2 * j] = p.x;
            out[2 * j + 1] = p.y;
            if (reverse) k = k == 0 ? n - 1 : k - 1;
            else k = k + 1 == n ? 0 : k + 1;
        }
        s->polygon.push_back(1);
        s->start.push_back(s->xy.size() / 2);
    }

    // The box KLayout gives a polygon it stores moved to its lowest point:
    // the polygon's box is moved there and back in wrapping 32-bit
    // arithmetic, and a polygon more than 2^31 units high or wide comes out
    // with an empty box.
    static Box stored_polygon_box(const Box& b, const Point& low) {
        auto wrap = [](int64_t v) { return int32_t(uint32_t(uint64_t(v))); };
        const int32_t l = wrap(int64_t(b.l) - low.x), bo = wrap(int64_t(b.b) - low.y);
        const int32_t r = wrap(int64_t(b.r) - low.x), t = wrap(int64_t(b.t) - low.y);
        if (l > r || bo > t) return Box();
        const int32_t x1 = wrap(int64_t(l) + low.x), y1 = wrap(int64_t(bo) + low.y);
        const int32_t x2 = wrap(int64_t(r) + low.x), y2 = wrap(int64_t(t) + low.y);
        return Box{std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2)};
    }

    void path() {
        skip_element_start(sLAYER, "LAYER record expected");
        const uint16_t layer = rec_.get_ushort();
        if (rec_.get() != sDATATYPE) decline("DATATYPE record expected");
        const uint16_t datatype = rec_.get_ushort();
        uint16_t id = rec_.get();
        int type = 0;
        if (id == sPATHTYPE) {
            type = int16_t(rec_.get_ushort());
            id = rec_.get();
        }
        if (type != 0 && type != 1 && type != 2 && type != 4) type = 0;
        int32_t w = 0;
        if (id == sWIDTH) {
            w = rec_.get_int();
            id = rec_.get();
        }
        int32_t bgn = 0, end = 0;
        if (id == sBGNEXTN) {
            bgn = rec_.get_int();
            id = rec_.get();
        } else if (type == 2 || type == 1) {
            bgn = w / 2;
        }
        if (id == sENDEXTN) {
            end = rec_.get_int();
            id = rec_.get();
        } else if (type == 2 || type == 1) {
            end = w / 2;
        }
        if (id != sXY) decline("XY record expected");
        size_t n = rec_.xy_count();
        const uint32_t li = open_layer(layer, datatype);
        if (listing_) {
            listed_other(li, n);
            return;
        }
        const bool keep = kept(li);

        points_.clear();
        size_t count = n;
        for (size_t k = 0; k < n; ++k) points_.push_back(rec_.xy(k));
        if (n > 2000) {
            while (true) {
                id = rec_.get();
                if (id != sXY) {
                    rec_.unget(id);
                    break;
                }
                n = rec_.xy_count();
                count += n;
                for (size_t k = 0; k < n; ++k) points_.push_back(rec_.xy(k));
            }
        }
        if (count < 1) {
            finish_element(false);
            return;
        }
        const bool props = finish_element(true);
        if (w == INT32_MIN) decline("path width out of range");
        kpoly::Path p;
        p.points = points_.data();
        p.n = points_.size();
        p.width = w < 0 ? -w : w;
        p.bgn_ext = bgn;
        p.end_ext = end;
        // KLayout marks a round path by a negative width: one of width 0
        // cannot be round.
        p.round = type == 1 && w != 0;
        Box box;
        if (keep) {
#if !defined(__x86_64__)
            // KLayout's own build may fuse floating-point operations here.
            if (type == 1 || !manhattan(points_)) decline("path outline not verified on this platform");
#endif
            if (!kpoly::path_hull(p, kSemiCirclePoints, hull_, path_scratch_)) decline("path outline out of range");
        }
        if (keep && !p.round) {
            box = box_of(hull_);
        } else if (!kpoly::path_box(p, box, path_scratch_)) {
            decline("path outline out of range");
        }
        add_shape(li, kPath, props, box, &hull_);
    }

    static bool manhattan(const std::vector<Point>& pts) {
        for (size_t k = 1; k < pts.size(); ++k)
            if (pts[k].x != pts[k - 1].x && pts[k].y != pts[k - 1].y) return false;
        return true;
    }

    void text() {
        skip_element_start(sLAYER, "LAYER record expected");
        const uint16_t layer = rec_.get_ushort();
        if (rec_.get() != sTEXTTYPE) decline("TEXTTYPE record expected");
        const uint16_t texttype = rec_.get_ushort();
        // Texts left out (KLayout's text_enabled off) open no layer.
        const uint32_t li = options_.texts ? open_layer(layer, texttype) : 0;
        uint16_t id = rec_.get();
        if (id == sPRESENTATION) {
            rec_.get_short();
            id = rec_.get();
        }
        if (id == sPATHTYPE) id = rec_.get();
        if (id == sWIDTH) id = rec_.get();
        while (id == sSTRANS || id == sMAG || id == sANGLE) {
            if (id == sSTRANS) {
                rec_.get_short();
            } else if (id == sMAG) {
                rec_.get_double();
            } else {
                const double a = rec_.get_double() / 90.0;
                if (!(std::fabs(a) < 1e6)) decline("text rotation out of range");
            }
            id = rec_.get();
        }
        if (id != sXY) decline("XY record expected");
        if (rec_.xy_count() == 0) decline("no point in XY record for text");
        const Point at = rec_.xy(0);
        if (rec_.get() != sSTRING) decline("STRING record expected");
        if (!options_.texts) {
            finish_element(false);
            return;
        }
        const bool props = finish_element(true);
        if (listing_) {
            Shapes& s = listed(li);
            s.polygon.push_back(0);
            s.start.push_back(s.xy.size() / 2);
            return;
        }
        add_shape(li, kText, props, Box::point(at.x, at.y), nullptr);
    }

    void box() {
        skip_element_start(sLAYER, "LAYER record expected");
        const uint16_t layer = rec_.get_ushort();
        if (rec_.get() != sBOXTYPE) decline("BOXTYPE record expected");
        const uint16_t boxtype = rec_.get_ushort();
        const uint32_t li = open_layer(layer, boxtype);
        if (rec_.get() != sXY) decline("XY record expected");
        const size_t n = rec_.xy_count();
        if (listing_) {
            listed_other(li, 0);
            return;
        }
        int32_t l = 0, b = 0, r = 0, t = 0;
        for (size_t k = 0; k < n; ++k) {
            const Point p = rec_.xy(k);
            if (k == 0) {
                l = r = p.x, b = t = p.y;
            } else {
                l = std::min(l, p.x), r = std::max(r, p.x), b = std::min(b, p.y), t = std::max(t, p.y);
            }
        }
        const bool props = finish_element(true);
        if (n > 0) {
            if (kept(li)) kpoly::box_hull(l, b, r, t, hull_);
            add_shape(li, kBox, props, Box{l, b, r, t}, &hull_);
        }
    }

    // Appends the shapes staged for the structure just read, kind by kind,
    // each kind in the order of KLayout's box tree.
    void flush_shapes(Cell& cell) {
        cell.shapes.resize(out_.layers.size());
        for (uint32_t li : dirty_) {
            Shapes& dst = cell.shapes[li];
            dirty_flag_[li] = 0;
            size_t shapes = 0, coords = 0;
            for (const Stage& st : stage_[li]) shapes += st.shapes.size(), coords += st.shapes.xy.size();
            dst.xy.reserve(dst.xy.size() + coords);
            dst.polygon.reserve(dst.polygon.size() + shapes);
            dst.start.reserve(dst.start.size() + shapes);
            for (Stage& st : stage_[li]) {
                Shapes& src = st.shapes;
                if (src.size() <= 100 || !options_.order) {
                    // Insertion order: the whole bucket at once.
                    const uint64_t base = dst.xy.size() / 2;
                    dst.xy.insert(dst.xy.end(), src.xy.begin(), src.xy.end());
                    dst.polygon.insert(dst.polygon.end(), src.polygon.begin(), src.polygon.end());
                    for (size_t k = 1; k < src.start.size(); ++k) dst.start.push_back(base + src.start[k]);
                } else {
                    tree_order(st.boxes, order_scratch_);
                    for (uint32_t k : order_scratch_) {
                        dst.xy.insert(dst.xy.end(), src.xy.begin() + ptrdiff_t(2 * src.start[k]),
                                      src.xy.begin() + ptrdiff_t(2 * src.start[k + 1]));
                        dst.polygon.push_back(src.polygon[k]);
                        dst.start.push_back(dst.xy.size() / 2);
                    }
                }
                src.xy.clear();
                src.polygon.clear();
                src.start.resize(1);
                st.boxes.clear();
            }
        }
        dirty_.clear();
    }

    // The order in which KLayout's box tree yields objects with these boxes.
    static void tree_order(const std::vector<Box>& boxes, std::vector<uint32_t>& order) {
        order.resize(boxes.size());
        for (size_t k = 0; k < boxes.size(); ++k) order[k] = uint32_t(k);
        if (boxes.size() <= 100) return;
        Box all;
        for (const Box& b : boxes) all.add(b);
        kbox::tree_sort(order, boxes.data(), all);
    }

    // ---- placements ----------------------------------------------------

    void add_instance(std::vector<Instance>& dst, const Instance& inst) {
        if (out_.cells[current_].instances.size() + with_props_.size() >= kMaxIndex)
            decline("too many instances in one cell");
        dst.push_back(inst);
    }

    void ref(bool array) {
        skip_element_start(sSNAME, "SNAME record expected");
        const uint32_t child = cell_for_instance(rec_.get_cstring());
        if (listing_) {
            listed_ref(array, child);
            return;
        }
        bool mirror = false, is_mag = false;
        int angle = 0;
        double angle_deg = 0.0, mag = 1.0;
        uint16_t id = rec_.get();
        while (id == sSTRANS || id == sMAG || id == sANGLE) {
            if (id == sSTRANS) {
                if (rec_.get_short() & 0x8000) mirror = true;
            } else if (id == sMAG) {
                mag = rec_.get_double();
                if (std::fabs(mag - 1.0) > 1e-9) is_mag = true;
            } else {
                angle_deg = rec_.get_double();
                const double a = angle_deg / 90.0;
                if (!(std::fabs(a) < 1e6)) decline("rotation angle out of range");
                angle = int(a < 0 ? (a - 0.5) : (a + 0.5));
                if (std::fabs(double(angle) - a) > 1e-9) {
                    angle = -1;  // an arbitrary angle: angle_deg applies
                } else {
                    angle = ((angle % 4) + 4) % 4;
                }
            }
            id = rec_.get();
        }
        const bool complex = is_mag || angle < 0;
        if (complex && !(mag > 0.0)) decline("magnification not positive");
#if !defined(__x86_64__)
        // KLayout's own build may fuse floating-point operations here.
        if (complex) decline("complex placement not verified on this platform");
#endif

        auto make = [&](int64_t x, int64_t y) {
            Instance inst;
            inst.child = child;
            if (complex) {
                inst.trans = placement(mag, angle_deg, mirror, x, y);
            } else {
                inst.trans.rot = angle;
                inst.trans.mirror = mirror;
                inst.trans.dx = double(x);
                inst.trans.dy = double(y);
            }
            return inst;
        };

        if (!array) {
            if (id != sXY) decline("XY record expected");
            if (rec_.xy_count() < 1) decline("too few points in XY record for SREF");
            const Point p = rec_.xy(0);
            const Instance inst = make(p.x, p.y);
            add_instance(finish_element(true) ? with_props_ : out_.cells[current_].instances, inst);
            return;
        }

        if (id != sCOLROW) decline("COLROW record expected");
        int cols = rec_.get_ushort();
        int rows = rec_.get_ushort();
        cols = std::max(1, cols);
        rows = std::max(1, rows);
        if (rec_.get() != sXY) decline("XY record expected");
        if (rec_.xy_count() < 3) decline("too few points in XY record for AREF");
        const Point o = rec_.xy(0), pc = rec_.xy(1), pr = rec_.xy(2);
        int64_t cx = int64_t(pc.x) - o.x, cy = int64_t(pc.y) - o.y;
        int64_t rx = int64_t(pr.x) - o.x, ry = int64_t(pr.y) - o.y;
        if (!fits32(cx) || !fits32(cy) || !fits32(rx) || !fits32(ry)) decline("array vector out of range");
        // Axes without displacement only stack instances on one another.
        if (cx == 0 && cy == 0) cols = 1;
        if (rx == 0 && ry == 0) rows = 1;
        std::vector<Instance>& dst = finish_element(true) ? with_props_ : out_.cells[current_].instances;

        const bool split_cols = cols > 1 && (cx % cols != 0 || cy % cols != 0);
        const bool split_rows = rows > 1 && (rx % rows != 0 || ry % rows != 0);

        auto add = [&](int64_t x, int64_t y, int64_t ax, int64_t ay, int64_t bx, int64_t by, int na, int nb) {
            if (!fits32(x) || !fits32(y)) decline("array origin out of range");
            Instance inst = make(x, y);
            inst.array = true;
            inst.ax = ax, inst.ay = ay, inst.bx = bx, inst.by = by;
            inst.na = uint32_t(na), inst.nb = uint32_t(nb);
            add_instance(dst, inst);
        };

        if (!split_cols && !split_rows) {
            if (cols > 1) cx /= cols, cy /= cols;
            if (rows > 1) rx /= rows, ry /= rows;
            add(o.x, o.y, rx, ry, cx, cy, rows, cols);
            return;
        }

        // A corner point that does not divide evenly: KLayout splits the
        // array into sub-arrays whose elements stay within half a unit of
        // their exact places.
#if !defined(__x86_64__)
        decline("array split not verified on this platform");
#endif
        const double cdx = double(cx) * (1.0 / double(cols)), cdy = double(cy) * (1.0 / double(cols));
        const double rdx = double(rx) * (1.0 / double(rows)), rdy = double(ry) * (1.0 / double(rows));
        int32_t scx, scy, srx, sry;
        if (!round_coord(cdx, scx) || !round_coord(cdy, scy) || !round_coord(rdx, srx) || !round_coord(rdy, sry))
            decline("array step out of range");
        auto groups = [](bool split, int count, double dx, double dy, int32_t sx, int32_t sy, int& i) {
            if (!split) {
                i = count;
                return true;
            }
            double px = 0.0 + dx * double(i), py = 0.0 + dy * double(i);
            int32_t qx, qy;
            if (!round_coord(px, qx) || !round_coord(py, qy)) return false;
            int64_t ix = qx, iy = qy;
            do {
                ++i;
                px += dx, py += dy;
                ix += sx, iy += sy;
                if (!fits32(ix) || !fits32(iy)) return false;
            } while (i < count && std::fabs(px - double(ix)) < 0.5 && std::fabs(py - double(iy)) < 0.5);
            return true;
        };
        int ic = 0;
        while (ic < cols) {
            const int ic0 = ic;
            if (!groups(split_cols, cols, cdx, cdy, scx, scy, ic)) decline("array out of range");
            int ir = 0;
            while (ir < rows) {
                const int ir0 = ir;
                if (!groups(split_rows, rows, rdx, rdy, srx, sry, ir)) decline("array out of range");
                int32_t ox, oy;
                if (!round_coord(cdx * double(ic0) + rdx * double(ir0), ox) ||
                    !round_coord(cdy * double(ic0) + rdy * double(ir0), oy))
                    decline("array out of range");
                add(int64_t(o.x) + ox, int64_t(o.y) + oy, srx, sry, scx, scy, ir - ir0, ic - ic0);
            }
        }
    }

    // ---- a listing ------------------------------------------------------

    // The listed shapes of a layer of the structure being read.
    Shapes& listed(uint32_t li) {
        if (!dirty_flag_[li]) {
            dirty_flag_[li] = 1;
            dirty_.push_back(li);
        }
        return stage_[li][0].shapes;
    }

    // A boundary whose XY record (of n points) was just read: its points as
    // written, without the closing one.
    void listed_boundary(uint32_t li, size_t n) {
        Shapes& s = listed(li);
        const size_t from = s.xy.size();
        auto append = [&](size_t count) {
            const size_t at = s.xy.size();
            s.xy.resize(at + 2 * count);
            for (size_t k = 0; k < count; ++k) {
                const Point p = rec_.xy(k);
                s.xy[at + 2 * k] = p.x;
                s.xy[at + 2 * k + 1] = p.y;
            }
        };
        append(n);
        if (n > 2000) {
            // Long outlines may continue in further XY records.
            while (true) {
                const uint16_t id = rec_.get();
                if (id != sXY) {
                    rec_.unget(id);
                    break;
                }
                append(rec_.xy_count());
            }
        }
        finish_element(false);
        const size_t total = (s.xy.size() - from) / 2;
        const int32_t* xy = s.xy.data() + from;
        const bool closed = total >= 2 && xy[0] == xy[2 * total - 2] && xy[1] == xy[2 * total - 1];
        if (closed) s.xy.resize(s.xy.size() - 2);
        const size_t count = closed ? total - 1 : total;
        if (!closed || count < 3 || visits_twice(xy, count) || kpoly::area_may_overflow(xy, count))
            not_held_[li] = 1;
        s.polygon.push_back(1);
        s.start.push_back(s.xy.size() / 2);
    }

    // A path or box: listed without points, and not as held.  Its further
    // XY records (after n points) are passed over.
    void listed_other(uint32_t li, size_t n) {
        if (n > 2000) {
            uint16_t id;
            while ((id = rec_.get()) == sXY) {
            }
            rec_.unget(id);
        }
        finish_element(false);
        Shapes& s = listed(li);
        s.polygon.push_back(1);
        s.start.push_back(s.xy.size() / 2);
        not_held_[li] = 1;
    }

    // Whether a closed outline visits a point twice.
    bool visits_twice(const int32_t* xy, size_t n) {
        vertex_scratch_.resize(n);
        for (size_t k = 0; k < n; ++k)
            vertex_scratch_[k] = uint64_t(uint32_t(xy[2 * k])) << 32 | uint32_t(xy[2 * k + 1]);
        std::sort(vertex_scratch_.begin(), vertex_scratch_.end());
        return std::adjacent_find(vertex_scratch_.begin(), vertex_scratch_.end()) != vertex_scratch_.end();
    }

    // A placement: kept where it is as held, a single one of a quarter turn
    // (an ANGLE of exactly 0, 90, 180 or 270 degrees), an optional mirror,
    // a magnification of exactly 1 and no absolute flags.
    void listed_ref(bool array, uint32_t child) {
        bool mirror = false, held = !array;
        int rot = 0;
        uint16_t id = rec_.get();
        while (id == sSTRANS || id == sMAG || id == sANGLE) {
            if (id == sSTRANS) {
                const uint16_t flags = rec_.get_ushort();
                mirror = (flags & 0x8000) != 0;
                if (flags & 0x0006) held = false;  // absolute magnification or angle
            } else if (id == sMAG) {
                if (rec_.get_double() != 1.0) held = false;
            } else {
                const double angle = rec_.get_double();
                rot = angle == 0.0 ? 0 : angle == 90.0 ? 1 : angle == 180.0 ? 2 : angle == 270.0 ? 3 : -1;
                if (rot < 0) held = false;
            }
            id = rec_.get();
        }
        if (array) {
            if (id != sCOLROW) decline("COLROW record expected");
            id = rec_.get();
        }
        if (id != sXY) decline("XY record expected");
        if (rec_.xy_count() < 1) decline("too few points in XY record");
        const Point p = rec_.xy(0);
        finish_element(false);
        if (!held) {
            placements_not_held_ = true;
            return;
        }
        Instance inst;
        inst.child = child;
        inst.trans.rot = rot;
        inst.trans.mirror = mirror;
        inst.trans.dx = double(p.x);
        inst.trans.dy = double(p.y);
        add_instance(out_.cells[current_].instances, inst);
    }

    // The end of a listed structure: its layers' shapes and what is as held.
    void list_cell(uint32_t ci, Cell& cell) {
        if (listing_->shapes_as_held.size() < out_.cells.size()) {
            listing_->shapes_as_held.resize(out_.cells.size());
            listing_->placements_as_held.resize(out_.cells.size(), 1);
        }
        std::vector<uint8_t>& held = listing_->shapes_as_held[ci];
        held.assign(out_.layers.size(), 1);
        cell.shapes.resize(out_.layers.size());
        for (uint32_t li : dirty_) {
            dirty_flag_[li] = 0;
            held[li] = !not_held_[li];
            not_held_[li] = 0;
            cell.shapes[li] = std::move(stage_[li][0].shapes);
            stage_[li][0].shapes = Shapes();
        }
        dirty_.clear();
        listing_->placements_as_held[ci] = !placements_not_held_;
    }

    // ---- the end ---------------------------------------------------------

    void finish() {
        const size_t n = out_.cells.size();
        if (listing_) {
            // Cells only placed (ghosts) have nothing listed.
            listing_->shapes_as_held.resize(n);
            listing_->placements_as_held.resize(n, 1);
        }
        for (Cell& c : out_.cells) c.shapes.resize(out_.layers.size());
        shapes_box_.resize(n);
        plain_count_.resize(n, 0);
        // A cell that places itself, directly or further down, is an error
        // for KLayout.  The walk also lists the cells children first.
        std::vector<uint8_t> state(n, 0), has_parent(n, 0);
        std::vector<uint32_t> bottom_up;
        std::vector<std::pair<uint32_t, size_t>> stack;
        for (uint32_t root = 0; root < n; ++root) {
            if (state[root]) continue;
            stack.emplace_back(root, 0);
            state[root] = 1;
            while (!stack.empty()) {
                auto& [ci, k] = stack.back();
                const std::vector<Instance>& insts = out_.cells[ci].instances;
                if (k == insts.size()) {
                    state[ci] = 2;
                    bottom_up.push_back(ci);
                    stack.pop_back();
                    continue;
                }
                const uint32_t child = insts[k++].child;
                has_parent[child] = 1;
                if (state[child] == 1) decline("recursive hierarchy");
                if (state[child] == 0) {
                    state[child] = 1;
                    stack.emplace_back(child, 0);
                }
            }
        }
        for (uint32_t ci : order_)
            if (!has_parent[ci]) out_.top_cells.push_back(ci);
        if (options_.order && !kplace::sort_instances(out_, bottom_up, shapes_box_, plain_count_))
            decline("instance bounding box out of range");
    }

    Records rec_;
    GdsReadOptions options_;  // as given, or as a listing needs them
    Layout& out_;
    StreamListing* listing_;  // when listing the stream
    std::vector<char> not_held_;  // by layer: a shape of the structure being listed is not as held
    bool placements_not_held_ = false;  // a placement of the structure being listed is not
    std::vector<uint64_t> vertex_scratch_;
    std::unordered_set<uint32_t> keep_pairs_;
    std::unordered_set<std::string> libraries_;
    std::unordered_map<std::string, uint32_t> names_;
    std::vector<uint32_t> order_;  // KLayout's cell list order
    std::map<std::string, std::vector<std::string>> context_;
    std::unordered_map<uint32_t, uint32_t> layer_index_;
    std::vector<char> kept_;
    struct Stage {
        Shapes shapes;
        std::vector<Box> boxes;
    };
    std::vector<std::array<Stage, kBuckets>> stage_;
    std::vector<uint32_t> order_scratch_;
    Box cell_box_;                    // shapes of the structure being read
    std::vector<Box> shapes_box_;     // by cell: the bounding box of its shapes
    std::vector<uint32_t> plain_count_;  // by cell: instances without properties
    std::vector<uint32_t> dirty_;       // layers with shapes staged
    std::vector<char> dirty_flag_;      // by layer: listed in dirty_
    uint32_t last_layer_key_ = 0, last_layer_ = 0;  // the layer opened last, when has_last_layer_
    bool has_last_layer_ = false;
    uint32_t current_ = 0;             // the cell being read
    std::vector<Instance> with_props_;  // its instances with properties
    std::string last_sname_;
    uint32_t last_child_ = 0;
    bool has_last_sname_ = false;
    std::vector<Point> points_, hull_;
    kpoly::PathScratch path_scratch_;
};

// Paths that KLayout's stream layer would open as something other than a
// plain file (URLs, pipes, resources, a format override in brackets).
bool plain_path(const std::string& path) {
    if (path.empty() || std::isspace(static_cast<unsigned char>(path[0]))) return false;
    if (path.find(':') != std::string::npos) return false;
    if (path.back() == ']') return false;
    return path.find('\0') == std::string::npos;
}

// The most a compressed file may inflate to here: half the machine's
// memory.  A larger stream is left to KLayout, which reads it in pieces.
size_t inflate_limit() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) return size_t(pages) / 2 * size_t(page);
#endif
    return size_t(1) << 31;
}

}  // namespace

bool gds_reader_supports(const std::string& klayout_version) {
    for (const char* v : kVerifiedVersions)
        if (klayout_version == v) return true;
    return false;
}

bool read_gds(const uint8_t* data, size_t size, const GdsReadOptions& options, Layout& out, std::string& reason) {
    if (!options.listing && !gds_reader_supports(options.klayout_version)) {
        reason = "klayout " + (options.klayout_version.empty() ? std::string("version unknown")
                                                                 : options.klayout_version + " not verified");
        return false;
    }
    // KLayout takes a stream for GDS2 by these first four bytes.
    if (size < 4 || data[0] != 0x00 || data[1] != 0x06 || data[2] != 0x00 || data[3] != 0x02) {
        reason = "not a GDS2 stream";
        return false;
    }
    try {
        Reader(data, size, options, out).run();
        return true;
    } catch (const Decline& d) {
        reason = d.reason;
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
    } catch (const std::exception& e) {
        reason = e.what();
    }
    if (options.cells) options.cells->read_declined();
    out = Layout();
    return false;
}

bool read_gds_file(const std::string& path, const GdsReadOptions& options, Layout& out, std::string& reason) {
    if (!plain_path(path)) {
        reason = "not a plain file path";
        return false;
    }
    MappedFile file;
    if (!file.open(path, reason)) return false;
    if (!is_gzip(file.data(), file.size())) return read_gds(file.data(), file.size(), options, out, reason);
    // KLayout reads a gzip-compressed file as its inflated stream, whatever its name.
    std::vector<uint8_t> inflated;
    if (!gunzip(file.data(), file.size(), inflate_limit(), inflated, reason)) return false;
    file.close();
    return read_gds(inflated.data(), inflated.size(), options, out, reason);
}

}  // namespace lumino::core
