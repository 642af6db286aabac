// A read-only memory map of a whole file (no Python).  Where mapping is not
// available the file is read into memory instead; either way `data()` holds
// the file's bytes for the life of the object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumino::core {

class MappedFile {
  public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps a regular file.  False, with the reason, when it cannot be opened
    // or is not a regular file.
    bool open(const std::string& path, std::string& reason);

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

  private:
    void close();

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
    std::vector<uint8_t> copy_;
};

}  // namespace lumino::core
