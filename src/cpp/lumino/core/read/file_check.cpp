// A layout file's kind and its header's database unit, told without reading
// the file whole.
#include "lumino/core/read/file_check.hpp"

#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <vector>

#include "lumino/core/read/gzip.hpp"
#include "lumino/core/read/oasis.hpp"
#include "lumino/core/read/oasis_stream.hpp"
#include "lumino/core/read/records.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#define LUMINO_HAVE_POSIX 1
#endif

namespace lumino::core {

namespace {

// Enough for any GDS2 library header (REFLIBS, FONTS and the like are
// short) and an OASIS START record.
constexpr size_t kHead = size_t(1) << 16;

std::string gds_refusal(const uint8_t* data, size_t size) {
    try {
        gds::Records rec(data, size);
        if (rec.get() != gds::sHEADER || rec.get() != gds::sBGNLIB) return "";
        // The library records up to the first cell, as the reader takes them.
        for (int k = 0; k < 64; ++k) {
            const uint16_t id = rec.get();
            if (id == gds::sBGNSTR || id == gds::sENDLIB) return "";
            if (id == gds::sUNITS) {
                rec.get_double();
                const double dbu = rec.get_double() * 1e6;
                return std::isfinite(dbu) && dbu > 0.0 ? "" : unit_refusal(dbu);
            }
        }
    } catch (const gds::Decline&) {
    }
    return "";
}

std::string oasis_refusal(const uint8_t* data, size_t size) {
    try {
        oasis::Stream in(data, size);
        for (size_t k = 0; k < kOasisMagicSize; ++k) in.byte();
        if (in.byte() != 1) return "";
        in.string();
        const double resolution = in.real();
        // KLayout refuses a resolution below 1e-6 itself, with its own error.
        if (!(resolution >= 1e-6)) return "";
        const double dbu = 1.0 / resolution;
        return std::isfinite(dbu) && dbu > 0.0 ? "" : unit_refusal(dbu);
    } catch (const oasis::Decline&) {
    }
    return "";
}

// The first bytes a gzip stream inflates to, at most `want`.
std::vector<uint8_t> inflated_head(const uint8_t* data, size_t size, size_t want) {
    std::vector<uint8_t> out(want);
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return {};
    zs.next_in = const_cast<Bytef*>(data);
    zs.avail_in = uInt(size);
    zs.next_out = out.data();
    zs.avail_out = uInt(want);
    while (zs.avail_out > 0) {
        const int rc = inflate(&zs, Z_NO_FLUSH);
        if (rc != Z_OK) break;
    }
    out.resize(want - zs.avail_out);
    inflateEnd(&zs);
    return out;
}

}  // namespace

FileKind file_kind(const std::string& path) {
#ifdef LUMINO_HAVE_POSIX
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return FileKind::absent;
    if (S_ISREG(st.st_mode)) return FileKind::regular;
    if (S_ISDIR(st.st_mode)) return FileKind::directory;
    if (S_ISFIFO(st.st_mode)) return FileKind::fifo;
    if (S_ISCHR(st.st_mode)) return FileKind::character_device;
    if (S_ISBLK(st.st_mode)) return FileKind::block_device;
    if (S_ISSOCK(st.st_mode)) return FileKind::socket;
    return FileKind::other;
#else
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return FileKind::absent;
    std::fclose(f);
    return FileKind::regular;
#endif
}

const char* file_kind_text(FileKind kind) {
    switch (kind) {
        case FileKind::directory: return "a directory";
        case FileKind::fifo: return "a FIFO";
        case FileKind::character_device: return "a character device";
        case FileKind::block_device: return "a block device";
        case FileKind::socket: return "a socket";
        case FileKind::other: return "not a regular file";
        default: return "a regular file";
    }
}

std::string unit_refusal(double dbu) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", dbu);
    return std::string("database unit not positive (") + text + " um)";
}

std::string header_unit_refusal(const uint8_t* data, size_t size) {
    if (is_oasis(data, size)) return oasis_refusal(data, size);
    return gds_refusal(data, size);
}

std::string file_unit_refusal(const std::string& path) {
#ifdef LUMINO_HAVE_POSIX
    // Not waiting on anything: a FIFO swapped in since its kind was told
    // opens at once and is not read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return "";
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return "";
    std::vector<uint8_t> head(kHead);
    size_t got = 0;
    while (got < head.size()) {
        const ssize_t n = ::read(fd, head.data() + got, head.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    head.resize(got);
#else
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return "";
    std::vector<uint8_t> head(kHead);
    head.resize(std::fread(head.data(), 1, head.size(), f));
    std::fclose(f);
#endif
    if (is_gzip(head.data(), head.size())) head = inflated_head(head.data(), head.size(), kHead);
    return header_unit_refusal(head.data(), head.size());
}

}  // namespace lumino::core
