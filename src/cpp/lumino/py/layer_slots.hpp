// The layers that polygon keys stand for, resolved once per conversion into
// numbered slots: a layer's (layer, datatype) pair, display name and
// exclusion when its key is first met; its height, colour and location only
// once a part is made on it.  The core's part-tree builder reads the slots
// as core::LayerView values.
#pragma once

#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "lumino/core/model/parts.hpp"
#include "lumino/py/edge.hpp"
#include "lumino/py/exclusion.hpp"
#include "lumino/py/parse_gds.hpp"

namespace lumino {

struct LayerSlot {
    nb::object spec, name;
    nb::object height, color, loc;  // set by complete()
};

class LayerSlots {
  public:
    // `lookups` and `exclude_layers`: the parser's, as taken at entry.
    LayerSlots(LayerLookups lookups, nb::handle exclude_layers) : lookups_(std::move(lookups)), exclude_(exclude_layers) {}

    // Cell-wise: the slot of a polygon key through `layer_map` (a missing
    // key is a KeyError).
    uint32_t cell_slot(nb::handle key, nb::handle layer_map) {
        auto it = cell_.find(key.ptr());
        if (it != cell_.end()) return it->second;
        nb::object n = own(PyNumber_Long(key.ptr()));
        nb::object spec = own(PySequence_Tuple(nb::object(layer_map[n]).ptr()));
        return remember(cell_, key, spec);
    }

    // Layer-wise: the slot of an entry through the parser's layer map; an
    // unknown layer gets a slot that is not `known`.
    uint32_t layer_slot(nb::handle key, nb::handle layer_map) {
        auto it = layer_.find(key.ptr());
        if (it != layer_.end()) return it->second;
        nb::object n = own(PyNumber_Long(key.ptr()));
        const int has = PySequence_Contains(layer_map.ptr(), n.ptr());
        if (has < 0) throw nb::python_error();
        if (!has) {
            keys_.push_back(nb::borrow(key));
            views_.push_back(core::LayerView{false, std::string(), false});
            slots_.emplace_back();
            layer_[key.ptr()] = uint32_t(views_.size() - 1);
            return uint32_t(views_.size() - 1);
        }
        return remember(layer_, key, nb::object(layer_map[n]));
    }

    // A slot of its own for a layer given by its (layer, datatype) pair:
    // the slots of a parse made in the core, in the order of its layer map.
    uint32_t add(nb::handle spec) {
        Cache unused;
        return remember(unused, spec, spec);
    }

    LayerSlot& operator[](uint32_t slot) { return slots_[slot]; }
    const std::vector<core::LayerView>& views() const { return views_; }

    // Height, colour and location, once.
    LayerSlot& complete(uint32_t slot) {
        LayerSlot& s = slots_[slot];
        if (!s.height.is_valid()) {
            s.height = lookups_.height(s.spec);
            s.color = lookups_.color(s.spec);
            s.loc = nb::make_tuple(nb::make_tuple(0, 0, lookups_.zmin(s.spec)), nb::make_tuple(0, 0, 0, 1));
        }
        return s;
    }

  private:
    using Cache = std::unordered_map<PyObject*, uint32_t>;

    uint32_t remember(Cache& cache, nb::handle key, nb::handle spec) {
        LayerSlot s;
        s.spec = nb::borrow(spec);
        s.name = lookups_.name(spec);
        const bool excluded = exclude_(s.name);
        keys_.push_back(nb::borrow(key));  // keeps the key's address unique
        views_.push_back(core::LayerView{true, text_of(s.name), excluded});
        slots_.push_back(std::move(s));
        cache[key.ptr()] = uint32_t(views_.size() - 1);
        return uint32_t(views_.size() - 1);
    }

    LayerLookups lookups_;
    Exclusion exclude_;
    Cache cell_, layer_;
    std::vector<nb::object> keys_;
    std::vector<core::LayerView> views_;
    std::deque<LayerSlot> slots_;
};

}  // namespace lumino
