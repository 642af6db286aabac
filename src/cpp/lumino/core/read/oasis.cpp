// The direct OASIS reader: the file's structure (START, the name tables,
// cells, END and what may follow it), the cells and layers as KLayout's
// reader makes them, and the end of the read (forward references resolved,
// context information, cell names, top cells, instance order).  KLayout
// reads the records in one pass, and so does this reader; a record or value
// KLayout would reject, or whose treatment was not verified, makes it
// decline.
#include "lumino/core/read/oasis.hpp"

#include <cmath>
#include <cstring>
#include <exception>
#include <new>

#include "lumino/core/read/context.hpp"
#include "lumino/core/read/file_check.hpp"
#include "lumino/core/read/klayout_releases.hpp"
#include "lumino/core/read/kplacement.hpp"
#include "lumino/core/read/oasis_reader.hpp"
#include "lumino/core/read/read_frame.hpp"

namespace lumino::core {

namespace oasis {

Reader::Reader(const uint8_t* data, size_t size, const GdsReadOptions& options, Layout& out)
    : in_(data, size),
      options_(options),
      out_(out),
      props_(in_),
      cells_(out),
      typed_strings_(klayout_reads_typed_strings(options.klayout_version)) {
    for (const auto& [layer, datatype] : options.layers)
        if (layer >= 0 && datatype >= 0) keep_pairs_.insert(uint64_t(layer) << 32 | uint64_t(datatype));
    for (const std::string& name : options.libraries) libraries_.insert(name);
}

void Reader::run() {
    out_ = Layout();
    start();
    records();
    end_record();
    finish();
}

void Reader::start() {
    for (size_t k = 0; k < kOasisMagicSize; ++k)
        if (in_.byte() != uint8_t(kOasisMagic[k])) decline("not an OASIS file");
    if (in_.byte() != 1) decline("START record expected");
    if (in_.string() != "1.0") decline("OASIS version other than 1.0");
    const double resolution = in_.real();
    if (!(resolution >= 1e-6)) decline("invalid resolution");
    const double dbu = 1.0 / resolution;
    if (!(std::isfinite(dbu) && dbu > 0.0)) decline(unit_refusal(dbu));
    out_.dbu = dbu;
    offsets_at_end_ = in_.u64() != 0;
    if (!offsets_at_end_) offset_table();
}

void Reader::offset_table() {
    // Five tables (cell names, texts, property names and strings, layer
    // names) and the XNAMEs: a flag and an offset each, used by KLayout for
    // warnings only.
    for (int k = 0; k < 6; ++k) {
        in_.u64();
        in_.u64();
    }
}

void Reader::reset_modal() {
    mm_ = Modal();
    props_.reset();
}

void Reader::records() {
    while (true) {
        const uint8_t r = in_.byte();
        switch (r) {
            case 0: break;  // PAD
            case 2:
                if (in_.in_cblock()) decline("END record inside a CBLOCK");
                return;
            case 3: case 4: case 5: case 6: case 7: case 8: case 9: case 10: name_record(r); break;
            case 11: case 12: layername(); break;
            case 13: case 14: cell_record(r); break;
            case 28: props_.read(); props_.store_named(&file_context_); break;
            case 29: props_.store_named(&file_context_); break;
            case 30: case 31:  // XNAME
                in_.u64();
                in_.string();
                if (r == 31) in_.u64();
                reset_modal();
                named_properties(nullptr);
                break;
            case 34: cblock(); break;
            default: decline("invalid record on the file level");
        }
    }
}

void Reader::name_record(uint8_t r) {
    if (r == 3 || r == 4) {
        std::string name(in_.string());
        uint64_t id;
        if (r == 4) {
            if (cellname_mode_ == 1) decline("explicit and implicit reference numbers mixed");
            cellname_mode_ = 2;
            id = in_.u64();
        } else {
            if (cellname_mode_ == 2) decline("explicit and implicit reference numbers mixed");
            cellname_mode_ = 1;
            id = next_cellname_++;
        }
        cells_.name(id, name);
    } else if (r == 5 || r == 6) {
        in_.string();
        uint64_t id;
        if (r == 6) {
            if (textstring_mode_ == 1) decline("explicit and implicit reference numbers mixed");
            textstring_mode_ = 2;
            id = in_.u64();
        } else {
            if (textstring_mode_ == 2) decline("explicit and implicit reference numbers mixed");
            textstring_mode_ = 1;
            id = next_textstring_++;
        }
        if (!textstrings_.insert(id).second) decline("a TEXTSTRING number defined twice");
    } else if (r == 7 || r == 8) {
        props_.propname(r == 8);
    } else {
        props_.propstring(r == 10);
    }
    reset_modal();
    named_properties(nullptr);
}

void Reader::layername() {
    in_.string();
    // Intervals of layers, then of datatypes: all, up to, from, one, between,
    // with KLayout's bounds (its largest layer number less one).
    uint32_t lo[2] = {0, 0}, hi[2] = {INT32_MAX - 1, INT32_MAX - 1};
    for (int k = 0; k < 2; ++k) {
        const uint32_t type = in_.u32();
        if (type == 1) {
            hi[k] = in_.u32();
        } else if (type == 2) {
            lo[k] = in_.u32();
        } else if (type == 3) {
            lo[k] = hi[k] = in_.u32();
        } else if (type == 4) {
            lo[k] = in_.u32();
            hi[k] = in_.u32();
        } else if (type != 0) {
            decline("invalid LAYERNAME interval");
        }
    }
    // A name for one layer makes it exist, even without shapes.  Names
    // themselves are not part of what the core reads.
    if (lo[0] == hi[0] && lo[1] == hi[1]) open_layer(lo[0], lo[1]);
    reset_modal();
    named_properties(nullptr);
}

uint32_t Reader::open_layer(uint32_t layer, uint32_t datatype) {
    if (layer > uint32_t(INT32_MAX) || datatype > uint32_t(INT32_MAX)) decline("layer number beyond 31 bits");
    const uint64_t key = uint64_t(layer) << 32 | datatype;
    if (has_last_layer_ && key == last_layer_key_) return last_layer_;
    auto [it, added] = layer_index_.try_emplace(key, uint32_t(out_.layers.size()));
    if (added) {
        out_.layers.push_back(LayerInfo{it->second, int32_t(layer), int32_t(datatype)});
        stage_.add_layer(options_.all_layers || keep_pairs_.count(key) != 0);
    }
    has_last_layer_ = true;
    last_layer_key_ = key;
    last_layer_ = it->second;
    return it->second;
}

void Reader::cell_record(uint8_t r) {
    const uint32_t ci = r == 13 ? cells_.define(in_.u64()) : cells_.define(std::string(in_.string()));
    reset_modal();
    cell_body(ci);
}

void Reader::cell_body(uint32_t ci) {
    current_ = ci;
    with_props_.clear();
    absolute_ = true;
    ContextProps cell_props;
    bool more = true;
    while (more) {
        const uint8_t r = in_.byte();
        switch (r) {
            case 0: break;
            case 15: absolute_ = true; break;
            case 16: absolute_ = false; break;
            case 17: case 18: placement(r); break;
            case 19: text(); break;
            case 20: rectangle(); break;
            case 21: polygon(); break;
            case 22: path(); break;
            case 23: case 24: case 25: trapezoid(r); break;
            case 26: ctrapezoid(); break;
            case 27: circle(); break;
            case 28: props_.read(); props_.store_named(&cell_props); break;
            case 29: props_.store_named(&cell_props); break;
            case 32:  // XELEMENT
                in_.u64();
                in_.string();
                named_properties(nullptr);
                break;
            case 33: xgeometry(); break;
            case 34: cblock(); break;
            default:
                in_.unget();
                more = false;
        }
    }
    if (!cell_props.entries.empty()) cell_context_[ci] = std::move(cell_props);
    Cell& cell = out_.cells[ci];
    if (plain_count_.size() < out_.cells.size()) plain_count_.resize(out_.cells.size(), 0);
    plain_count_[ci] = uint32_t(cell.instances.size());
    cell.instances.insert(cell.instances.end(), with_props_.begin(), with_props_.end());
    with_props_.clear();
    if (shapes_box_.size() < out_.cells.size()) shapes_box_.resize(out_.cells.size());
    shapes_box_[ci] = stage_.cell_box();
    stage_.flush(cell, options_.order);
    if (options_.cells) options_.cells->cell_read(ci, cell, out_.dbu);
}

void Reader::cblock() {
    if (in_.u32() != 0) decline("CBLOCK compression type other than 0");
    in_.u64();  // byte counts: KLayout reads up to the end of the deflate stream
    in_.u64();
    in_.inflate(options_.limits.inflated_bytes);
}

void Reader::end_record() {
    const size_t after_end = in_.offset();
    if (offsets_at_end_) offset_table();
    // KLayout takes the END record as 256 bytes long; fewer than 254 may follow.
    const size_t used = in_.offset() - after_end;
    if (used > 254) decline("END record too long");
    const size_t rest = 254 - used;
    if (in_.left() < rest) decline("too few bytes after the END record");
    if (in_.left() - rest >= 254) decline("too many bytes after the END record");
}

void Reader::finish() {
    props_.check_resolved();
    for (uint64_t id : text_forward_)
        if (!textstrings_.count(id)) decline("a text string number without a TEXTSTRING");

    std::vector<std::string> strings;
    if (!file_context_.entries.empty()) {
        gdsctx::Info info;
        if (!props_.context_strings(file_context_, strings)) decline("context information not verified");
        if (!strings.empty() && !gdsctx::deserialize(strings, info, typed_strings_)) decline("context information not verified");
    }
    for (const auto& [ci, props] : cell_context_) {
        gdsctx::Info info;
        if (!props_.context_strings(props, strings)) decline("context information not verified");
        if (strings.empty()) continue;
        if (!gdsctx::deserialize(strings, info, typed_strings_)) decline("context information not verified");
        if (info.proxy()) {
            if (!info.lib_name.empty() && libraries_.count(info.lib_name))
                decline("cell of a library registered in KLayout");
            cells_.move_to_end(ci);  // KLayout's cold proxy, at the end of the cell list
        }
    }

    std::vector<uint32_t> order;
    cells_.finish(order);
    const size_t n = out_.cells.size();
    for (Cell& c : out_.cells) c.shapes.resize(out_.layers.size());
    shapes_box_.resize(n);
    plain_count_.resize(n, 0);
    if (const char* why = kplace::finish_hierarchy(out_, order, options_.order, shapes_box_, plain_count_)) decline(why);
}

}  // namespace oasis

bool is_oasis(const uint8_t* data, size_t size) {
    return size >= kOasisMagicSize && std::memcmp(data, kOasisMagic, kOasisMagicSize) == 0;
}

bool oasis_reader_supports(const std::string& klayout_version) {
    return klayout_release_verified(klayout_version);
}

bool read_oasis(const uint8_t* data, size_t size, const GdsReadOptions& options, Layout& out, std::string& reason) {
    if (!(reason = release_unverified(options.klayout_version)).empty()) return false;
    if (!is_oasis(data, size)) {
        reason = "not an OASIS file";
        return false;
    }
    return read_or_decline<oasis::Decline>([&] { oasis::Reader(data, size, options, out).run(); }, options, out,
                                           reason);
}

}  // namespace lumino::core
