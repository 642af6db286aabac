// gzip-compressed layout files, inflated as KLayout reads them (no Python).
// KLayout opens every plain file through zlib's gzread, so a file whose
// first two bytes are gzip's magic is read as gzip whatever its name, and
// one without them as it is.  gzread reads the members of the file one
// after another and ignores whatever follows the last member that does not
// start another; a member cut short gives what it inflated, without an
// error; a damaged member (bad header, data, check sum or length) fails the
// read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumino::core {

// Whether the bytes start with gzip's magic (0x1f 0x8b).
bool is_gzip(const uint8_t* data, size_t size);

// The bytes gzread gives for `data`, which starts with gzip's magic, into
// `out`.  False, with the reason, where gzread would fail, and where the
// inflated bytes would pass `limit`.
bool gunzip(const uint8_t* data, size_t size, size_t limit, std::vector<uint8_t>& out, std::string& reason);

}  // namespace lumino::core
