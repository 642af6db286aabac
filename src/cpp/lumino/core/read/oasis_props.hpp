// OASIS properties as KLayout's reader takes them.  The viewer's data needs
// only two things of them: whether an element has properties at all (a shape
// or placement with properties comes after those without in KLayout's
// order), and the context strings of KLayout's KLAYOUT_CONTEXT property,
// which say which cells are library or parametrised-cell proxies.  Beyond
// those, the records are checked as KLayout checks them: reference numbers
// that are never defined, misused standard properties and values read
// before they were set make KLayout fail the read, so the reader declines.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lumino/core/read/oasis_stream.hpp"

namespace lumino::core::oasis {

// A value of a property as far as the reader keeps it: a text, a
// reference to a PROPSTRING not yet defined, or something else.
struct PropValue {
    enum Kind : uint8_t { text, reference, other } kind = other;
    std::string s;
    uint64_t ref = 0;
};

// What a cell or the file holds of properties that may be KLayout's context
// information: values of KLAYOUT_CONTEXT, and those of properties named by a
// PROPNAME not yet defined (they are context if it turns out to be it).
struct ContextProps {
    struct Entry {
        bool known = true;  // named KLAYOUT_CONTEXT; else by `name_id`, undefined when read
        uint64_t name_id = 0;
        std::vector<PropValue> values;
    };
    std::vector<Entry> entries;
};

class Properties {
  public:
    explicit Properties(Stream& in) : in_(in) {}

    // PROPNAME and PROPSTRING records (after their record id).
    void propname(bool numbered);
    void propstring(bool numbered);

    // A PROPERTY record (record id 28, read): sets the modal last property.
    void read();

    // What the last property contributes: to an element (true: it has
    // properties), or to a cell or the file (`context` collects context
    // values, null for CELLNAME and the other name records).
    void store_element();
    void store_named(ContextProps* context);

    // The modal last property is forgotten (KLayout's modal reset).
    void reset();

    // At the end of the file: every reference number used was defined.
    void check_resolved() const;

    // A cell's or the file's context strings, references resolved; false
    // where KLayout would not read them as texts.
    bool context_strings(const ContextProps& props, std::vector<std::string>& out) const;

  private:
    // The checks and the context value of the last property.
    bool last_is(const char* name) const;
    void check_last() const;

    Stream& in_;
    std::unordered_map<uint64_t, std::string> names_, strings_;
    uint64_t next_name_ = 0, next_string_ = 0;
    int name_mode_ = 0, string_mode_ = 0;  // 0 unknown, 1 implicit numbers, 2 explicit
    std::unordered_set<uint64_t> forward_names_, forward_strings_;

    // The modal last property.
    bool has_name_ = false, name_known_ = true;
    std::string name_;
    uint64_t name_id_ = 0;
    bool has_standard_ = false, standard_ = false;
    bool has_values_ = false;
    std::vector<PropValue> values_;
};

}  // namespace lumino::core::oasis
