// What a layout file is before anything reads it: its kind (a FIFO or a
// device would make a read wait or never end) and the database unit its
// header declares.  Both readers and every road through KLayout ask here,
// so that a file is refused alike whoever reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumino::core {

enum class FileKind { regular, absent, directory, fifo, character_device, block_device, socket, other };

// The kind of what `path` names, symbolic links followed; never opens it.
FileKind file_kind(const std::string& path);

// "a directory", "a FIFO", ... for the kinds other than regular and absent.
const char* file_kind_text(FileKind kind);

// The reason both readers refuse a database unit (micrometres) that is not
// a positive number: "database unit not positive (0 um)".
std::string unit_refusal(double dbu);

// The refusal of the unit that the bytes' header declares (GDS2 or OASIS,
// already inflated), or "" where the unit is positive or the header does
// not tell it.
std::string header_unit_refusal(const uint8_t* data, size_t size);

// The same for a regular file (its first bytes, inflated where it is
// gzip-compressed); "" where it cannot be read (the read says why).
std::string file_unit_refusal(const std::string& path);

}  // namespace lumino::core
