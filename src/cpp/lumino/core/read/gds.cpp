// The direct GDS2 reader's entry points: the klayout versions it answers
// for, and a stream in memory read or listed (files come in through
// layout_file.hpp).  The reader itself is in parts (gds_reader.hpp).
#include "lumino/core/read/gds.hpp"

#include <vector>

#include "lumino/core/read/gds_reader.hpp"
#include "lumino/core/read/klayout_releases.hpp"
#include "lumino/core/read/read_frame.hpp"

namespace lumino::core {

bool gds_reader_supports(const std::string& klayout_version) {
    return klayout_release_verified(klayout_version);
}

bool read_gds(const uint8_t* data, size_t size, const GdsReadOptions& options, Layout& out, std::string& reason) {
    if (!options.listing && !(reason = release_unverified(options.klayout_version)).empty()) return false;
    // KLayout takes a stream for GDS2 by these first four bytes.
    if (size < 4 || data[0] != 0x00 || data[1] != 0x06 || data[2] != 0x00 || data[3] != 0x02) {
        reason = "not a GDS2 stream";
        return false;
    }
    return read_or_decline<gds::Decline>([&] {
        gds::State state(data, size, options, out);
        gds::LibraryReader(state).run();
    }, options, out, reason);
}

}  // namespace lumino::core
