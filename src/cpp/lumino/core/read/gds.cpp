// The direct GDS2 reader's entry points: the klayout versions it answers
// for, and a stream in memory read or listed (files come in through
// layout_file.hpp).  The reader itself is in parts (gds_reader.hpp).
#include "lumino/core/read/gds.hpp"

#include <exception>
#include <new>
#include <vector>

#include "lumino/core/read/gds_reader.hpp"
#include "lumino/core/read/klayout_releases.hpp"

namespace lumino::core {

bool gds_reader_supports(const std::string& klayout_version) {
    return klayout_release_verified(klayout_version);
}

bool read_gds(const uint8_t* data, size_t size, const GdsReadOptions& options, Layout& out, std::string& reason) {
    if (!options.listing && !gds_reader_supports(options.klayout_version)) {
        reason = "klayout " + (options.klayout_version.empty() ? std::string("version unknown")
                                                                 : options.klayout_version + " not verified");
        return false;
    }
    // KLayout takes a stream for GDS2 by these first four bytes.
    if (size < 4 || data[0] != 0x00 || data[1] != 0x06 || data[2] != 0x00 || data[3] != 0x02) {
        reason = "not a GDS2 stream";
        return false;
    }
    try {
        gds::State state(data, size, options, out);
        gds::LibraryReader(state).run();
        return true;
    } catch (const gds::Decline& d) {
        reason = d.reason;
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
    } catch (const std::exception& e) {
        reason = e.what();
    }
    if (options.cells) options.cells->read_declined();
    out = Layout();
    return false;
}

}  // namespace lumino::core
