// The klayout releases the direct readers (GDS2 and OASIS) answer for: those
// whose reader-against-KLayout tests pass with that release installed
// (scripts/releases.sh runs them in an environment per release; the results
// are in docs/reliability.md).  A release names itself by its __version__
// and, before klayout is imported, by its package metadata; a post release
// differs between the two (0.28.17-1 and 0.28.17.post1), so both would be
// listed.  Any other release is declined and read with KLayout.
#pragma once

#include <string>

namespace lumino::core {

// Every minor release from 0.28 on, tried with the reader answering for it
// (536 tests with ../shared):
//   release        tests                     what differs
//   0.28.17.post1  73 failed, 1 error        OASIS unit, CBLOCK levels,
//                                            NaN meta values, context values
//   0.29.12        3 failed, 1 error         instance order where cells
//   0.30.1-0.30.3  3 failed, 1 error         hold no shapes
//   0.30.4.post1   accepted (one check skipped: no Library.unregister)
//   0.30.5-0.30.8  accepted
//   0.30.4-0.30.8 read no character or byte strings in context values
//   0.30.9-0.30.12 accepted
inline constexpr const char* kVerifiedKlayoutReleases[] = {
    "0.30.4.post1", "0.30.4-1", "0.30.5", "0.30.6", "0.30.7", "0.30.8",
    "0.30.9", "0.30.10", "0.30.11", "0.30.12",
};

// The accepted releases before 0.30.9 fail a read on a character or byte
// string in context information ('text'c, 'text'b); the reader declines
// such a value for them.
inline constexpr const char* kReleasesWithoutTypedStrings[] = {
    "0.30.4.post1", "0.30.4-1", "0.30.5", "0.30.6", "0.30.7", "0.30.8",
};

inline bool klayout_reads_typed_strings(const std::string& version) {
    for (const char* v : kReleasesWithoutTypedStrings)
        if (version == v) return false;
    return true;
}

inline bool klayout_release_verified(const std::string& version) {
    for (const char* v : kVerifiedKlayoutReleases)
        if (version == v) return true;
    return false;
}

}  // namespace lumino::core
