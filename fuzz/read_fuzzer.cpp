// A libFuzzer target on the core's layout readers: the input is a whole
// layout file's bytes.  Built twice (scripts/fuzz.sh): LUMINO_FUZZ_OASIS
// reads OASIS, else GDS2, each straight through its reader so that inputs
// of the other format are not wasted on the dispatch.  Each input is read
// as a caller reads with every layer and in KLayout's order, again with a
// layer subset, no texts and file order, and (GDS2) listed; a decline is a
// normal outcome, only a sanitizer report or a crash is a finding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "lumino/core/model/layout.hpp"
#include "lumino/core/read/gds.hpp"
#include "lumino/core/read/klayout_releases.hpp"
#include "lumino/core/read/oasis.hpp"

namespace {

using namespace lumino::core;

// A cell as the model promises it: each layer's point offsets rise from 0
// to the end of its points, and every hull point can be read (a wrong
// offset shows as a sanitizer report).  A broken promise is a finding.
int64_t check(const Cell& cell) {
    int64_t sum = 0;
    for (const Shapes& shapes : cell.shapes) {
        if (shapes.start.size() != shapes.polygon.size() + 1 || shapes.start.front() != 0 ||
            shapes.xy.size() != 2 * shapes.start.back())
            __builtin_trap();
        for (size_t k = 0; k < shapes.size(); ++k) {
            if (shapes.start[k + 1] < shapes.start[k]) __builtin_trap();
            const int32_t* p = shapes.hull(k);
            for (size_t i = 0; i < 2 * shapes.points(k); ++i) sum += p[i];
        }
    }
    return sum;
}

// Told of each cell as it is read: checks it there, while the reader may
// still hold other cells half-built.
class CheckCells : public CellSink {
  public:
    void cell_read(uint32_t, const Cell& cell, double dbu) override {
        if (!(dbu > 0)) __builtin_trap();
        sum += check(cell);
    }
    void read_declined() override {}
    int64_t sum = 0;
};

bool read(const uint8_t* data, size_t size, const GdsReadOptions& options) {
    Layout out;
    std::string reason;
#ifdef LUMINO_FUZZ_OASIS
    const bool ok = read_oasis(data, size, options, out, reason);
#else
    const bool ok = read_gds(data, size, options, out, reason);
#endif
    if (!ok) {
        if (reason.empty()) __builtin_trap();  // a decline always says why
        return false;
    }
    for (uint32_t top : out.top_cells)
        if (top >= out.cells.size()) __builtin_trap();
    for (const Cell& cell : out.cells) {
        if (cell.shapes.size() > out.layers.size()) __builtin_trap();
        check(cell);
    }
    return true;
}

// An instrumented read runs tens of times slower than a plain one: what an
// input may make the reader build is bounded so that each input stays
// within the fuzzer's time limit.  Inputs past it are declined (by limits
// the tests check on their own).
ReadLimits fuzz_limits() {
    ReadLimits limits;
    limits.repeated_shapes = uint64_t(1) << 18;
    limits.repeated_points = uint64_t(1) << 20;
    limits.inflated_bytes = uint64_t(1) << 20;
    return limits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    GdsReadOptions options;
    options.limits = fuzz_limits();
    options.klayout_version = std::end(kVerifiedKlayoutReleases)[-1];
    CheckCells sink;
    options.cells = &sink;
    read(data, size, options);

    options.all_layers = false;
    options.layers = {{1, 0}, {0, 0}, {65535, 65535}};
    options.texts = false;
    options.order = false;
    options.libraries = {"Basic"};
    read(data, size, options);

#ifndef LUMINO_FUZZ_OASIS
    GdsReadOptions listed;
    listed.limits = options.limits;
    StreamListing listing;
    listed.listing = &listing;
    read(data, size, listed);
#endif
    return 0;
}
