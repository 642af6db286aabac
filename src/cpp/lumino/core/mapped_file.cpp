// Read-only file maps: mmap where the platform has it, a plain read otherwise.
#include "lumino/core/mapped_file.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#define LUMINO_HAVE_MMAP 1
#endif

namespace lumino::core {

MappedFile::~MappedFile() { close(); }

void MappedFile::close() {
#ifdef LUMINO_HAVE_MMAP
    if (mapped_) munmap(const_cast<uint8_t*>(data_), size_);
#endif
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
    copy_.clear();
}

bool MappedFile::open(const std::string& path, std::string& reason) {
    close();
#ifdef LUMINO_HAVE_MMAP
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::string("cannot open the file: ") + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        reason = "not a regular file";
        return false;
    }
    size_ = size_t(st.st_size);
    if (size_ == 0) {
        ::close(fd);
        data_ = copy_.data();
        return true;
    }
    void* p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) {
        size_ = 0;
        reason = std::string("cannot map the file: ") + std::strerror(errno);
        return false;
    }
#ifdef MADV_SEQUENTIAL
    madvise(p, size_, MADV_SEQUENTIAL);
#endif
    data_ = static_cast<const uint8_t*>(p);
    mapped_ = true;
    return true;
#else
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = "cannot open the file";
        return false;
    }
    copy_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    data_ = copy_.data();
    size_ = copy_.size();
    return true;
#endif
}

}  // namespace lumino::core
