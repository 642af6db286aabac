// OASIS property records: names, strings and values as KLayout's reader
// reads and checks them.
#include "lumino/core/read/oasis_props.hpp"

#include <cstring>

namespace lumino::core::oasis {

namespace {

constexpr const char* kContextName = "KLAYOUT_CONTEXT";
constexpr const char* kGdsPropertyName = "S_GDS_PROPERTY";

// Implicit and explicit reference numbers cannot be mixed in one table.
uint64_t table_id(Stream& in, bool numbered, int& mode, uint64_t& next) {
    if (numbered) {
        if (mode == 1) decline("explicit and implicit reference numbers mixed");
        mode = 2;
        return in.u64();
    }
    if (mode == 2) decline("explicit and implicit reference numbers mixed");
    mode = 1;
    return next++;
}

}  // namespace

void Properties::propname(bool numbered) {
    std::string name(in_.string());
    const uint64_t id = table_id(in_, numbered, name_mode_, next_name_);
    if (!names_.emplace(id, std::move(name)).second) decline("a PROPNAME number defined twice");
}

void Properties::propstring(bool numbered) {
    std::string s(in_.string());
    const uint64_t id = table_id(in_, numbered, string_mode_, next_string_);
    if (!strings_.emplace(id, std::move(s)).second) decline("a PROPSTRING number defined twice");
}

void Properties::read() {
    const uint8_t m = in_.byte();
    has_standard_ = true;
    standard_ = (m & 0x01) != 0;
    if (m & 0x04) {
        has_name_ = true;
        if (m & 0x02) {
            const uint64_t id = in_.u64();
            auto it = names_.find(id);
            if (it == names_.end()) {
                name_known_ = false;
                name_id_ = id;
                forward_names_.insert(id);
            } else {
                name_known_ = true;
                name_ = it->second;
            }
        } else {
            name_known_ = true;
            name_ = std::string(in_.string());
        }
    }
    if (m & 0x08) return;  // the last value list again
    uint64_t n = (m >> 4) & 0x0f;
    if (n == 15) n = in_.u64();
    values_.clear();
    while (n > 0) {
        const uint8_t t = in_.byte();
        PropValue v;
        if (t < 8) {
            in_.unget();
            in_.real();
        } else if (t == 8) {
            in_.u64();
        } else if (t == 9) {
            in_.s64();
        } else if (t == 10 || t == 11 || t == 12) {
            v.kind = PropValue::text;
            v.s = std::string(in_.string());
        } else if (t == 13 || t == 14 || t == 15) {
            const uint64_t id = in_.u64();
            auto it = strings_.find(id);
            if (it == strings_.end()) {
                v.kind = PropValue::reference;
                v.ref = id;
                forward_strings_.insert(id);
            } else {
                v.kind = PropValue::text;
                v.s = it->second;
            }
        } else {
            decline("invalid property value type");
        }
        values_.push_back(std::move(v));
        --n;
    }
    has_values_ = true;
}

void Properties::reset() {
    has_name_ = false;
    has_standard_ = false;
    has_values_ = false;
    values_.clear();
}

bool Properties::last_is(const char* name) const { return name_known_ && name_ == name; }

void Properties::check_last() const {
    if (!has_name_) decline("modal variable last-property-name used before it was set");
    if (!has_standard_) decline("modal variable last-property-is-stdprop used before it was set");
}

void Properties::store_element() {
    check_last();
    if (!has_values_) decline("modal variable last-value-list used before it was set");
    if (name_known_ && standard_ && last_is(kGdsPropertyName) && values_.size() != 2)
        decline("S_GDS_PROPERTY without exactly two values");
}

void Properties::store_named(ContextProps* context) {
    check_last();
    if (!name_known_) {
        if (!has_values_) decline("modal variable last-value-list used before it was set");
        if (context) context->entries.push_back(ContextProps::Entry{false, name_id_, values_});
        return;
    }
    if (context && last_is(kContextName)) {
        if (!has_values_) decline("modal variable last-value-list used before it was set");
        context->entries.push_back(ContextProps::Entry{true, 0, values_});
        return;
    }
    if (standard_ && last_is(kGdsPropertyName)) {
        if (!has_values_) decline("modal variable last-value-list used before it was set");
        if (values_.size() != 2) decline("S_GDS_PROPERTY without exactly two values");
        return;
    }
    if (standard_) return;  // other standard properties are left out
    if (!has_values_) decline("modal variable last-value-list used before it was set");
}

void Properties::check_resolved() const {
    for (uint64_t id : forward_names_)
        if (!names_.count(id)) decline("a property name number without a PROPNAME");
    for (uint64_t id : forward_strings_)
        if (!strings_.count(id)) decline("a property string number without a PROPSTRING");
}

bool Properties::context_strings(const ContextProps& props, std::vector<std::string>& out) const {
    out.clear();
    size_t found = 0;
    for (const ContextProps::Entry& e : props.entries) {
        if (!e.known) {
            auto it = names_.find(e.name_id);
            if (it == names_.end() || it->second != kContextName) continue;
            // A single value stands alone, none is nil: KLayout reads that as a text of its own.
            if (e.values.empty()) return false;
        }
        ++found;
        for (const PropValue& v : e.values) {
            if (v.kind == PropValue::text) {
                out.push_back(v.s);
            } else if (v.kind == PropValue::reference) {
                auto it = strings_.find(v.ref);
                if (it == strings_.end()) return false;
                out.push_back(it->second);
            } else {
                return false;
            }
        }
    }
    // Two context properties come in an order this reader does not model.
    return found <= 1;
}

}  // namespace lumino::core::oasis
