// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks) of raw
// bytes, written into a caller's buffer.  No Python involved.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumino::base64 {

// Length of the encoding of `n` bytes.
constexpr size_t encoded_size(size_t n) { return (n + 2) / 3 * 4; }

// Write the encoding of `data[0, n)` to `out`, which holds encoded_size(n)
// characters (no terminating zero is written).
void encode(const uint8_t* data, size_t n, char* out);

}  // namespace lumino::base64
