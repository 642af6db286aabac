// The layers that polygon keys stand for, memoised for one conversion: a
// layer's (layer, datatype) pair, name and exclusion are looked up once per
// key; its height, colour and location only once a part is made on it.
#pragma once

#include <deque>
#include <unordered_map>
#include <vector>

#include "lumino/exclusion.hpp"
#include "lumino/parse.hpp"
#include "lumino/pyedge.hpp"

namespace lumino {

struct LayerInfo {
    nb::object spec, name;
    bool excluded = false;
    nb::object height, color, loc;
};

class LayerCache {
  public:
    explicit LayerCache(ParseGDS& g) : g_(g), exclude_(g.exclude_layers) {}

    // Cell-wise: the layer of a polygon key through the layer map that
    // `layer_map()` returns (asked only on a miss; a missing key is a KeyError).
    template <class F>
    LayerInfo& cell_layer(nb::handle key, F&& layer_map) {
        auto it = cache_.find(key.ptr());
        if (it != cache_.end()) return infos_[it->second];
        nb::object n = own(PyNumber_Long(key.ptr()));
        nb::object map = layer_map();
        nb::object spec = own(PySequence_Tuple(nb::object(map[n]).ptr()));
        return remember(key, named(spec));
    }

    // Layer-wise: the layer of an entry through the parser's layer map, or
    // null when the map does not know it.
    LayerInfo* layer_of(nb::handle key) {
        auto it = cache_.find(key.ptr());
        if (it != cache_.end()) return it->second == npos ? nullptr : &infos_[it->second];
        nb::object n = own(PyNumber_Long(key.ptr()));
        nb::object layer_map = g_.layer_map;
        const int has = PySequence_Contains(layer_map.ptr(), n.ptr());
        if (has < 0) throw nb::python_error();
        if (!has) {
            keys_.push_back(nb::borrow(key));
            cache_[key.ptr()] = npos;
            return nullptr;
        }
        return &remember(key, named(nb::object(layer_map[n])));
    }

    // Height, colour and location, once.
    void complete(LayerInfo& li) {
        if (li.height.is_valid()) return;
        li.height = g_.get_height(li.spec);
        li.color = g_.get_color(li.spec);
        li.loc = nb::make_tuple(nb::make_tuple(0, 0, g_.get_zmin(li.spec)), nb::make_tuple(0, 0, 0, 1));
    }

  private:
    static constexpr size_t npos = size_t(-1);

    LayerInfo named(nb::handle spec) {
        LayerInfo li;
        li.spec = nb::borrow(spec);
        li.name = g_.get_name(spec);
        li.excluded = exclude_(li.name);
        return li;
    }

    LayerInfo& remember(nb::handle key, LayerInfo li) {
        keys_.push_back(nb::borrow(key));  // keeps the key's address unique
        cache_[key.ptr()] = infos_.size();
        infos_.push_back(std::move(li));
        return infos_.back();
    }

    ParseGDS& g_;
    Exclusion exclude_;
    std::unordered_map<PyObject*, size_t> cache_;
    std::vector<nb::object> keys_;
    std::deque<LayerInfo> infos_;
};

}  // namespace lumino
