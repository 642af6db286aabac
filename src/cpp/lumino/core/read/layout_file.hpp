// The core's one entry for reading a layout: the format is told by the
// content, as KLayout tells it (OASIS by its magic bytes, GDS2 otherwise),
// never by the file name, and the file goes to the reader of that format.
// Every caller that reads a layout file or bytes in the core goes through
// here, so that each reader is reached the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lumino/core/model/layout.hpp"
#include "lumino/core/read/gds.hpp"

namespace lumino::core {

enum class LayoutFormat { gds2, oasis };

// The format of a file's first bytes.
LayoutFormat layout_format(const uint8_t* data, size_t size);

// True when the reader of some format was verified against this klayout
// version (a caller can skip its look-ups otherwise).
bool layout_reader_supports(const std::string& klayout_version);

// Reads layout bytes with the reader of their format.  False, with the
// reason, wherever that reader declines.
bool read_layout(const uint8_t* data, size_t size, const GdsReadOptions& options, Layout& out, std::string& reason);

// Reads a layout file with the reader of its content's format.  False, with
// the reason, where the path is not a plain regular file or the reader
// declines; nothing waits on a FIFO or a device.
bool read_layout_file(const std::string& path, const GdsReadOptions& options, Layout& out, std::string& reason);

}  // namespace lumino::core
