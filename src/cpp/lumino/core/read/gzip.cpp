// gzip members inflated with zlib, as zlib's gzread reads a file.
#include "lumino/core/read/gzip.hpp"

#include <zlib.h>

#include <algorithm>
#include <new>

namespace lumino::core {

bool is_gzip(const uint8_t* data, size_t size) { return size >= 2 && data[0] == 0x1f && data[1] == 0x8b; }

bool gunzip(const uint8_t* data, size_t size, size_t limit, std::vector<uint8_t>& out, std::string& reason) {
    out.clear();
    z_stream zs{};
    // 16 + 15: a gzip wrapper (header, CRC-32 and length checked) around a
    // deflate stream of any window size, as gzread inflates.
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) {
        reason = "cannot inflate the file";
        return false;
    }
    struct End {
        z_stream* zs;
        ~End() { inflateEnd(zs); }
    } end{&zs};
    size_t in = 0;
    // zlib counts in 32 bits: feed and take at most this much per call.
    constexpr size_t kChunk = size_t(1) << 30;
    try {
        // A member's last four bytes hold its length modulo 2^32: the first
        // guess of the room needed (a file of one member, its usual form).
        size_t guess = size >= 4 ? size_t(data[size - 4]) | size_t(data[size - 3]) << 8 |
                                       size_t(data[size - 2]) << 16 | size_t(data[size - 1]) << 24
                                 : 0;
        if (guess < size) guess = size * 4;
        out.resize(std::min(limit, std::max<size_t>(guess, 1 << 16)));
        size_t have = 0;
        while (true) {
            if (have == out.size()) {
                if (out.size() >= limit) {
                    reason = "compressed stream too large to inflate in memory";
                    return false;
                }
                out.resize(std::min(limit, out.size() * 2));
            }
            zs.next_in = const_cast<Bytef*>(data + in);
            zs.avail_in = uInt(std::min(size - in, kChunk));
            zs.next_out = out.data() + have;
            zs.avail_out = uInt(std::min(out.size() - have, kChunk));
            const uInt in_before = zs.avail_in, out_before = zs.avail_out;
            const int rc = inflate(&zs, Z_NO_FLUSH);
            in += in_before - zs.avail_in;
            have += out_before - zs.avail_out;
            if (rc == Z_STREAM_END) {
                // Another member follows only where its magic does; anything
                // else after a member is ignored.
                if (!is_gzip(data + in, size - in)) break;
                if (inflateReset(&zs) != Z_OK) {
                    reason = "cannot inflate the file";
                    return false;
                }
                continue;
            }
            if (rc == Z_BUF_ERROR && in == size && zs.avail_out != 0) {
                // A member cut short: gzread gives what it inflated and no
                // error (the stream read from it is then usually cut too).
                break;
            }
            if (rc != Z_OK && rc != Z_BUF_ERROR) {
                reason = std::string("compressed stream damaged") + (zs.msg ? std::string(": ") + zs.msg : "");
                return false;
            }
        }
        out.resize(have);
    } catch (const std::bad_alloc&) {
        out = std::vector<uint8_t>();
        reason = "out of memory";
        return false;
    }
    return true;
}

}  // namespace lumino::core
