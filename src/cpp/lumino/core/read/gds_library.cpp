// The GDS2 reader's library: the header records and the database unit, the
// structures one after another, the context information KLayout stores in
// the first structure "$$$CONTEXT_INFO$$$" (cells it declares as library or
// parametrised-cell proxies become KLayout's "cold proxies": KLayout keeps
// what the file holds and moves the cell to the end of its cell list), and
// at the end the hierarchy check, the top cells in cell-list order and the
// instances in each_inst() order (those without properties, then those
// with, each group in box-tree order, which needs the cells' bounding boxes
// computed as KLayout computes them).
#include <cmath>
#include <utility>

#include "lumino/core/read/context.hpp"
#include "lumino/core/read/file_check.hpp"
#include "lumino/core/read/gds_reader.hpp"
#include "lumino/core/read/kplacement.hpp"

namespace lumino::core::gds {

void LibraryReader::run() {
    st_.out = Layout();
    header();
    cells();
    finish();
}

void LibraryReader::header() {
    if (st_.rec.get() != sHEADER) decline("HEADER record expected");
    if (st_.rec.get() != sBGNLIB) decline("BGNLIB record expected");
    while (true) {
        const uint16_t id = st_.rec.get();
        switch (id) {
            case sLIBDIRSIZE: case sSRFNAME: case sREFLIBS: case sFONTS: case sATTRTABLE:
            case sGENERATIONS: case sFORMAT: case sMASK: case sENDMASKS: case sLIBNAME:
            case sPROPVALUE:
                break;
            case sPROPATTR:
                st_.rec.get_ushort();
                break;
            case sUNITS: {
                st_.rec.get_double();
                const double dbum = st_.rec.get_double();
                const double dbu = dbum * 1e6;
                if (!(std::isfinite(dbu) && dbu > 0.0)) decline(unit_refusal(dbu));
                st_.out.dbu = dbu;
                break;
            }
            case sBGNSTR: case sENDLIB:
                st_.rec.unget(id);
                return;
            default:
                decline("invalid record in the library header");
        }
    }
}

void LibraryReader::cells() {
    bool first = true;
    uint16_t id;
    while ((id = st_.rec.get()) == sBGNSTR) {
        if (st_.rec.get() != sSTRNAME) decline("STRNAME record expected");
        const std::string name = st_.rec.get_string();
        if (name.empty()) decline("empty cell name");
        if (first && name == "$$$CONTEXT_INFO$$$") {
            context_cell();
        } else {
            cells_.structure(name);
        }
        first = false;
    }
    if (id != sENDLIB) decline("ENDLIB record expected");
    auto global = st_.listing ? st_.context.end() : st_.context.find(std::string());
    if (global != st_.context.end()) {
        gdsctx::Info info;
        if (!gdsctx::deserialize(global->second, info, st_.typed_strings)) decline("context information not verified");
    }
}

// The context information cell: per cell name (and "" for the layout),
// the strings KLayout reads back.
void LibraryReader::context_cell() {
    uint16_t id;
    while ((id = st_.rec.get()) != sENDSTR) {
        std::string cn;
        if (id == sSREF) {
            do {
                id = st_.rec.get();
            } while (id == sELFLAGS || id == sPLEX);
            if (id != sSNAME) decline("SNAME record expected");
            cn = std::string(st_.rec.get_cstring());
            id = st_.rec.get();
            while (id == sSTRANS || id == sANGLE || id == sMAG) id = st_.rec.get();
            if (id != sXY) decline("XY record expected");
        } else if (id == sBOUNDARY) {
            id = st_.rec.get();
            while (id == sLAYER || id == sDATATYPE) id = st_.rec.get();
            if (id != sXY) decline("XY record expected");
        } else {
            decline("invalid record in the context information");
        }
        std::vector<std::string>& strings = st_.context[cn];
        gdsctx::Parts parts;
        size_t attr = 0;
        while (true) {
            id = st_.rec.get();
            if (id == sENDEL) break;
            if (id == sPROPATTR) {
                attr = st_.rec.get_ushort();
            } else if (id == sPROPVALUE) {
                if (!gdsctx::add_string(strings, parts, attr, std::string(st_.rec.get_cstring())))
                    decline("context information not verified");
            } else {
                decline("ENDEL, PROPATTR or PROPVALUE record expected");
            }
        }
        gdsctx::join_parts(strings, parts);
    }
}

void LibraryReader::finish() {
    const size_t n = st_.out.cells.size();
    if (st_.listing) {
        // Cells only placed (ghosts) have nothing listed.
        st_.listing->shapes_as_held.resize(n);
        st_.listing->placements_as_held.resize(n, 1);
    }
    for (Cell& c : st_.out.cells) c.shapes.resize(st_.out.layers.size());
    st_.shapes_box.resize(n);
    st_.plain_count.resize(n, 0);
    if (const char* why = kplace::finish_hierarchy(st_.out, st_.order, st_.options.order, st_.shapes_box, st_.plain_count))
        decline(why);
}

}  // namespace lumino::core::gds
