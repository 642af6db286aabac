// The OASIS reader's state while it walks a file: the records, the modal
// variables, the cells and layers met so far, and the shapes and
// placements of the cell being read.  Its methods live in oasis.cpp (the
// file's structure, name tables, cells, the end), oasis_elements.cpp
// (geometry and texts) and oasis_placement.cpp (placements, repetitions,
// element properties).  Only those files use it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lumino/core/model/layout.hpp"
#include "lumino/core/read/gds.hpp"
#include "lumino/core/read/kbox_tree.hpp"
#include "lumino/core/read/kpolygon.hpp"
#include "lumino/core/read/oasis_cells.hpp"
#include "lumino/core/read/oasis_props.hpp"
#include "lumino/core/read/oasis_stream.hpp"
#include "lumino/core/read/shape_stage.hpp"

namespace lumino::core::oasis {

using kpoly::Point;

// A repetition: a regular n x m lattice along a and b (a index fastest), or
// the origin followed by a list of displacements.
struct Repetition {
    bool regular = true;
    Vec a, b;
    uint64_t n = 1, m = 1;
    std::vector<Vec> points;  // irregular: the displacements after the origin
    uint64_t size() const { return regular ? n * m : points.size() + 1; }
};

// KLayout's modal variables, each unset until a record sets it.
struct Modal {
    std::optional<Repetition> repetition;
    std::optional<uint32_t> placement_cell;
    int32_t placement_x = 0, placement_y = 0;
    std::optional<uint32_t> layer, datatype, textlayer, texttype;
    int32_t text_x = 0, text_y = 0;
    bool text_string = false;  // a text given by value, or by a defined TEXTSTRING
    bool text_forward = false;  // a text by a TEXTSTRING number not yet defined
    int32_t geometry_x = 0, geometry_y = 0;
    std::optional<uint32_t> geometry_w, geometry_h;
    bool has_polygon = false, has_path = false;
    std::vector<Point> polygon, path;  // point lists from (0, 0), relative to the position
    std::optional<uint32_t> halfwidth;
    std::optional<int32_t> start_extension, end_extension;
    std::optional<uint32_t> ctrapezoid_type, circle_radius;
};

class Reader {
  public:
    Reader(const uint8_t* data, size_t size, const GdsReadOptions& options, Layout& out);
    void run();

  private:
    // ---- oasis.cpp: the file ----
    void start();
    void records();
    void end_record();
    void offset_table();
    void name_record(uint8_t id);
    void layername();
    void cell_record(uint8_t id);
    void cell_body(uint32_t ci);
    void finish();
    void reset_modal();
    uint32_t open_layer(uint32_t layer, uint32_t datatype);

    // ---- oasis_elements.cpp: geometry and texts ----
    void rectangle();
    void polygon();
    void path();
    void trapezoid(uint8_t id);
    void ctrapezoid();
    void circle();
    void text();
    void xgeometry();
    void point_list(std::vector<Point>& out, bool for_polygon);
    void position(int32_t& x, int32_t& y, uint8_t info, uint8_t x_bit, uint8_t y_bit);
    void layer_fields(uint8_t info);
    // A polygon (points relative to `pos`) at each position of the repetition.
    void add_polygons(uint32_t li, bool props, const std::vector<Point>& rel, const Vec& pos, bool repeated);
    void add_paths(uint32_t li, bool props, const kpoly::Path& rel, const Vec& pos, bool repeated);
    void add_boxes(uint32_t li, bool props, const kbox::Box& box, bool repeated);
    void add_texts(uint32_t li, bool props, const Vec& pos, bool repeated);
    // Appends hull_ moved by (dx, dy) as one shape.
    void push_moved(Shapes& s, int64_t dx, int64_t dy);

    // ---- oasis_placement.cpp: placements, repetitions, properties ----
    void placement(uint8_t id);
    // Reads a repetition; true when it repeats (more than one position).
    bool repetition();
    // Calls f(x, y) for `pos` moved by each displacement of the modal
    // repetition (for `pos` alone when not `repeated`), in KLayout's order;
    // each position is checked to stay within 32 bits.
    template <class F>
    void each_position(const Vec& pos, bool repeated, F&& f);
    // Counts the shapes a repetition makes on layer `li`, each of `points`
    // hull points, against the bounds.
    void count_repeated(bool repeated, uint32_t li, size_t points);
    bool element_properties();
    void named_properties(ContextProps* context);
    void cblock();

    Stream in_;
    const GdsReadOptions& options_;
    Layout& out_;
    Properties props_;
    CellTable cells_;
    Modal mm_;
    bool absolute_ = true;

    // Layers.
    std::unordered_set<uint64_t> keep_pairs_;
    std::unordered_map<uint64_t, uint32_t> layer_index_;
    uint64_t last_layer_key_ = 0;
    uint32_t last_layer_ = 0;
    bool has_last_layer_ = false;
    ShapeStage stage_;

    // Names.
    std::unordered_set<uint64_t> textstrings_;  // defined numbers
    std::unordered_set<uint64_t> text_forward_;
    uint64_t next_textstring_ = 0;
    int textstring_mode_ = 0, cellname_mode_ = 0;  // 0 unknown, 1 implicit numbers, 2 explicit
    bool offsets_at_end_ = false;
    uint64_t next_cellname_ = 0;

    // The cell being read.
    uint32_t current_ = 0;
    std::vector<Instance> with_props_;

    // By cell: its shapes box, instances without properties, context.
    std::vector<kbox::Box> shapes_box_;
    std::vector<uint32_t> plain_count_;
    std::map<uint32_t, ContextProps> cell_context_;
    ContextProps file_context_;
    std::unordered_set<std::string> libraries_;

    // Shapes and kept points made from repetitions, against bounds on what
    // the read may build.
    uint64_t repeated_ = 0, repeated_points_ = 0;
    // Whether the klayout release reads character and byte strings in context values.
    bool typed_strings_ = true;
    std::vector<Point> hull_, points_, polygon_scratch_;
    kpoly::PathScratch path_scratch_;
};

template <class F>
void Reader::each_position(const Vec& pos, bool repeated, F&& f) {
    auto at = [&](__int128 dx, __int128 dy) {
        const __int128 x = pos.x + dx, y = pos.y + dy;
        if (x < INT32_MIN || x > INT32_MAX || y < INT32_MIN || y > INT32_MAX || dx < INT32_MIN || dx > INT32_MAX ||
            dy < INT32_MIN || dy > INT32_MAX)
            decline("repetition out of range");
        f(int64_t(x), int64_t(y));
    };
    if (!repeated) {
        f(int64_t(pos.x), int64_t(pos.y));
        return;
    }
    const Repetition& rep = *mm_.repetition;
    if (rep.regular) {
        for (uint64_t j = 0; j < rep.m; ++j)
            for (uint64_t i = 0; i < rep.n; ++i)
                at(__int128(rep.a.x) * i + __int128(rep.b.x) * j, __int128(rep.a.y) * i + __int128(rep.b.y) * j);
        return;
    }
    at(0, 0);
    for (const Vec& p : rep.points) at(p.x, p.y);
}

}  // namespace lumino::core::oasis
