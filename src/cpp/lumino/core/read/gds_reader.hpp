// The GDS2 reader's parts and the state they share (private to read/gds*).
//
// The reader walks the records as KLayout's GDS2 reader does (the same
// records accepted, in the same places, with the same fallbacks for missing
// ones) and builds what KLayout's database then holds.  Four readers, each
// of one level of the stream, share one State:
//
// - LibraryReader (gds_library.cpp): the header, the structures one after
//   another, the context information cell, and at the end the hierarchy
//   check, the top cells and the instances' order;
// - CellReader (gds_cell.cpp): one structure, its shapes staged per layer
//   and kind and put in Shapes.each() order at its end;
// - ElementReader (gds_element.cpp): boundaries, paths, texts and boxes
//   with the hulls Shape.polygon gives;
// - PlacementReader (gds_placement.cpp): SREF and AREF records as
//   each_inst() holds them.
//
// State (gds_state.cpp) holds the records, the options, the layout being
// built and the tables of cells and layers, with the helpers every part
// uses.  Anything not verified against KLayout declines (gds::decline).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lumino/core/model/layout.hpp"
#include "lumino/core/read/gds.hpp"
#include "lumino/core/read/kbox_tree.hpp"
#include "lumino/core/read/kpolygon.hpp"
#include "lumino/core/read/records.hpp"

namespace lumino::core::gds {

using kbox::Box;
using kpoly::Point;

// Shape kinds in Shapes.each() order; each is followed by its variant with
// properties.
enum Bucket : uint8_t { kPolygon = 0, kPath = 2, kBox = 4, kText = 6, kBuckets = 8 };

// Cells, layers, and the shapes and instances of one list are counted in
// 32 bits: a file that needs more is declined rather than wrapped.
constexpr size_t kMaxIndex = UINT32_MAX;

// Whether a text is valid UTF-8 (KLayout's cell names must be).
bool valid_utf8(const std::string& s);

struct State {
    State(const uint8_t* data, size_t size, const GdsReadOptions& given, Layout& layout);

    Records rec;
    GdsReadOptions options;  // as given, or as a listing needs them
    Layout& out;
    StreamListing* listing;  // when listing the stream
    // Whether the klayout release reads character and byte strings in context values.
    bool typed_strings;

    // ---- cells (gds_cell.cpp) ----
    std::unordered_map<std::string, uint32_t> names;
    std::vector<uint32_t> order;  // KLayout's cell list order
    std::unordered_set<std::string> libraries;
    std::map<std::string, std::vector<std::string>> context;  // per cell name ("" the layout's)
    uint32_t current = 0;           // the cell being read
    std::vector<Instance> with_props;  // its instances with properties
    Box cell_box;                   // the shapes of the structure being read
    bool placements_not_held = false;  // a placement of the structure being listed is not as held
    std::vector<Box> shapes_box;       // by cell: the bounding box of its shapes
    std::vector<uint32_t> plain_count;  // by cell: instances without properties
    std::string last_sname;  // the child placed last, when has_last_sname
    uint32_t last_child = 0;
    bool has_last_sname = false;

    // A new cell at the end of the list; `ghost` when only placed so far.
    uint32_t new_cell(const std::string& name, bool ghost);
    // The cell a structure defines: new, or the ghost of an earlier placement.
    uint32_t make_cell(const std::string& name);
    // The cell a placement refers to by name (placements of one cell often
    // follow one another).
    uint32_t cell_for_instance(std::string_view view);

    // ---- layers and staged shapes (gds_state.cpp) ----
    struct Stage {
        Shapes shapes;
        std::vector<Box> boxes;
    };
    std::unordered_set<uint32_t> keep_pairs;
    std::unordered_map<uint32_t, uint32_t> layer_index;  // by (layer << 16 | datatype)
    std::vector<char> keep;                               // by layer: its shapes are read
    std::vector<std::array<Stage, kBuckets>> stage;       // by layer: the structure's shapes by kind
    std::vector<uint32_t> dirty;                          // layers with shapes staged
    std::vector<char> dirty_flag;                         // by layer: listed in dirty
    std::vector<char> not_held;  // by layer: a shape of the structure being listed is not as held
    uint32_t last_layer_key = 0, last_layer = 0;  // the layer opened last, when has_last_layer
    bool has_last_layer = false;

    // The layer index of a (layer, datatype) pair, created on first use.
    uint32_t open_layer(uint16_t layer, uint16_t datatype);
    bool kept(uint32_t li) const { return keep[li]; }
    // Records up to the element's first one, past ELFLAGS and PLEX.
    void skip_element_start(uint16_t expected, const char* what);
    // Records after an element's contents up to its ENDEL (a missing ENDEL
    // before the next element or the structure's end is tolerated); true
    // when the element has properties.
    bool finish_element(bool read_properties);
    // A shape of the structure being read: its box counts for the cell's
    // bounding box; on a kept layer it is staged with its hull (none for a
    // text) until the structure ends.
    void add_shape(uint32_t li, int kind, bool props, const Box& box, const std::vector<Point>* hull);
    // The same, leaving the hull to the caller: the list it goes to (null
    // for a layer not kept).
    Shapes* stage_shape(uint32_t li, int kind, bool props, const Box& box);
    // The listed shapes of a layer of the structure being listed.
    Shapes& listed(uint32_t li);
    // An instance of the structure being read, counted.
    void add_instance(std::vector<Instance>& dst, const Instance& inst);
};

class ElementReader {
  public:
    explicit ElementReader(State& st) : st_(st) {}
    void boundary();
    void path();
    void text();
    void box();

  private:
    void one_record_boundary(uint32_t li, size_t n);
    void listed_boundary(uint32_t li, size_t n);
    void listed_other(uint32_t li, size_t n);
    bool visits_twice(const int32_t* xy, size_t n);
    static Box box_of(const std::vector<Point>& pts);
    static Box stored_polygon_box(const Box& b, const Point& low);
    static bool manhattan(const std::vector<Point>& pts);

    State& st_;
    std::vector<Point> points_, hull_;
    kpoly::PathScratch path_scratch_;
    std::vector<uint64_t> vertex_scratch_;
};

class PlacementReader {
  public:
    explicit PlacementReader(State& st) : st_(st) {}
    void ref(bool array);

  private:
    void listed_ref(bool array, uint32_t child);

    State& st_;
};

class CellReader {
  public:
    explicit CellReader(State& st) : st_(st), elements_(st), placements_(st) {}
    void structure(const std::string& name);

  private:
    void flush_shapes(Cell& cell);
    static void tree_order(const std::vector<Box>& boxes, std::vector<uint32_t>& order);
    void list_cell(uint32_t ci, Cell& cell);

    State& st_;
    ElementReader elements_;
    PlacementReader placements_;
    std::vector<uint32_t> order_scratch_;
};

class LibraryReader {
  public:
    explicit LibraryReader(State& st) : st_(st), cells_(st) {}
    // Reads the whole stream into the state's layout.
    void run();

  private:
    void header();
    void cells();
    void context_cell();
    void finish();

    State& st_;
    CellReader cells_;
};

}  // namespace lumino::core::gds
