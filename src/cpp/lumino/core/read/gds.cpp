// The direct GDS2 reader's entry points: the klayout versions it answers
// for, a stream in memory read or listed, and a file (plain or
// gzip-compressed) read.  The reader itself is in parts (gds_reader.hpp).
#include "lumino/core/read/gds.hpp"

#include <cctype>
#include <exception>
#include <new>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

#include "lumino/core/read/gds_reader.hpp"
#include "lumino/core/read/gzip.hpp"
#include "lumino/core/read/mapped_file.hpp"

namespace lumino::core {

namespace {

// The klayout releases this reader was compared with.  A new release joins
// once tests/lumino/test_direct_reader.py passes with it installed and the
// release added here (until then the tests skip and callers read with
// KLayout).
constexpr const char* kVerifiedVersions[] = {"0.30.12"};

// Paths that KLayout's stream layer would open as something other than a
// plain file (URLs, pipes, resources, a format override in brackets).
bool plain_path(const std::string& path) {
    if (path.empty() || std::isspace(static_cast<unsigned char>(path[0]))) return false;
    if (path.find(':') != std::string::npos) return false;
    if (path.back() == ']') return false;
    return path.find('\0') == std::string::npos;
}

// The most a compressed file may inflate to here: half the machine's
// memory.  A larger stream is left to KLayout, which reads it in pieces.
size_t inflate_limit() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) return size_t(pages) / 2 * size_t(page);
#endif
    return size_t(1) << 31;
}

}  // namespace

bool gds_reader_supports(const std::string& klayout_version) {
    for (const char* v : kVerifiedVersions)
        if (klayout_version == v) return true;
    return false;
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

bool read_gds_file(const std::string& path, const GdsReadOptions& options, Layout& out, std::string& reason) {
    if (!plain_path(path)) {
        reason = "not a plain file path";
        return false;
    }
    MappedFile file;
    if (!file.open(path, reason)) return false;
    if (!is_gzip(file.data(), file.size())) return read_gds(file.data(), file.size(), options, out, reason);
    // KLayout reads a gzip-compressed file as its inflated stream, whatever its name.
    std::vector<uint8_t> inflated;
    if (!gunzip(file.data(), file.size(), inflate_limit(), inflated, reason)) return false;
    file.close();
    return read_gds(inflated.data(), inflated.size(), options, out, reason);
}

}  // namespace lumino::core
