// A whole file's bytes in memory (no Python), read into a buffer of its
// own: `data()` holds them for the life of the object.
//
// The file is never mapped: a mapped file that another process shortens
// while it is read makes the access past its new end raise SIGBUS, which
// ends the interpreter (a layout tool rewriting the file while a viewer
// reads it is a plausible case), and the map saved no measurable time.  A
// read buffer only sees a shorter file, which the readers then decline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace lumino::core {

class MappedFile {
  public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Takes the contents of a regular file.  False, with the reason, when it
    // cannot be opened or read or is not a regular file.
    bool open(const std::string& path, std::string& reason);

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

    // Gives the memory back (the object is then empty).
    void close();

  private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    std::unique_ptr<uint8_t[]> copy_;
};

}  // namespace lumino::core
