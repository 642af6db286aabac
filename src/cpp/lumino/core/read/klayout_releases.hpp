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
// (519 tests with ../shared; "no to_bytes": the tests compare by
// ICplxTrans/Polygon.to_bytes, which klayout has from 0.30.9, and fail
// without it):
//   release        tests                     beyond the missing to_bytes
//   0.28.17.post1  204 failed, 315 passed    OASIS unit, NaN meta values
//   0.29.12        124 failed, 395 passed    complex SREF/AREF child order,
//   0.30.1-0.30.3  124 failed, 395 passed    a bytes context value
//   0.30.4-0.30.8  not run (no to_bytes)
//   0.30.9         519 passed                accepted
//   0.30.10        519 passed                accepted
//   0.30.11        519 passed                accepted
//   0.30.12        519 passed                accepted
inline constexpr const char* kVerifiedKlayoutReleases[] = {
    "0.30.9", "0.30.10", "0.30.11", "0.30.12",
};

inline bool klayout_release_verified(const std::string& version) {
    for (const char* v : kVerifiedKlayoutReleases)
        if (version == v) return true;
    return false;
}

}  // namespace lumino::core
