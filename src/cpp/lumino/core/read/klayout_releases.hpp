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

// release   reader-against-KLayout tests (full set of scripts/releases.sh)
// 0.30.12   519 passed
inline constexpr const char* kVerifiedKlayoutReleases[] = {
    "0.30.12",
};

inline bool klayout_release_verified(const std::string& version) {
    for (const char* v : kVerifiedKlayoutReleases)
        if (version == v) return true;
    return false;
}

}  // namespace lumino::core
