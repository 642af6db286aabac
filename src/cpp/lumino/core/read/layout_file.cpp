// The choice of reader by content.  A file's first bytes are looked at
// before it is read whole; a gzip-compressed file is inflated first and
// then told by what it holds, as KLayout's stream layer does.
#include "lumino/core/read/layout_file.hpp"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <vector>

#include "lumino/core/read/gzip.hpp"
#include "lumino/core/read/mapped_file.hpp"
#include "lumino/core/read/oasis.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#define LUMINO_HAVE_POSIX 1
#endif

namespace lumino::core {

namespace {

// Paths that KLayout's stream layer would open as something other than a
// plain file (URLs, pipes, resources, a format override in brackets).  An
// absolute path is always a file to it, whatever colons it holds, but for
// the trailing brackets.
bool plain_path(const std::string& path) {
    if (path.empty() || std::isspace(static_cast<unsigned char>(path[0]))) return false;
    if (path[0] != '/' && path.find(':') != std::string::npos) return false;
    if (path.back() == ']') return false;
    return path.find('\0') == std::string::npos;
}

// The first bytes of a regular file, without waiting on anything else.
bool first_bytes(const std::string& path, uint8_t* buf, size_t want, size_t& got, std::string& reason) {
    got = 0;
#ifdef LUMINO_HAVE_POSIX
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = std::string("cannot open the file: ") + std::strerror(errno);
        return false;
    }
    struct stat st;
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    while (regular && got < want) {
        const ssize_t n = ::read(fd, buf + got, want - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    ::close(fd);
    if (!regular) {
        reason = "not a regular file";
        return false;
    }
    return true;
#else
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        reason = "cannot open the file";
        return false;
    }
    got = std::fread(buf, 1, want, f);
    std::fclose(f);
    return true;
#endif
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

LayoutFormat layout_format(const uint8_t* data, size_t size) {
    return is_oasis(data, size) ? LayoutFormat::oasis : LayoutFormat::gds2;
}

bool layout_reader_supports(const std::string& klayout_version) {
    return gds_reader_supports(klayout_version) || oasis_reader_supports(klayout_version);
}

bool read_layout(const uint8_t* data, size_t size, const GdsReadOptions& options, Layout& out, std::string& reason) {
    if (layout_format(data, size) == LayoutFormat::oasis) return read_oasis(data, size, options, out, reason);
    return read_gds(data, size, options, out, reason);
}

bool read_layout_file(const std::string& path, const GdsReadOptions& options, Layout& out, std::string& reason) {
    if (!plain_path(path)) {
        reason = "not a plain file path";
        return false;
    }
    uint8_t head[kOasisMagicSize];
    size_t got = 0;
    if (!first_bytes(path, head, sizeof head, got, reason)) return false;
    if (layout_format(head, got) == LayoutFormat::oasis && !oasis_reader_supports(options.klayout_version))
        return read_oasis(head, got, options, out, reason);  // declines before the file is read whole
    MappedFile file;
    if (!file.open(path, reason)) return false;
    if (!is_gzip(file.data(), file.size())) return read_layout(file.data(), file.size(), options, out, reason);
    // KLayout reads a gzip-compressed file as its inflated stream, whatever its name and format.
    std::vector<uint8_t> inflated;
    if (!gunzip(file.data(), file.size(), inflate_limit(), inflated, reason)) return false;
    file.close();
    return read_layout(inflated.data(), inflated.size(), options, out, reason);
}

}  // namespace lumino::core
