// A file's bytes, read(2) into a buffer of their own.
#include "lumino/core/read/mapped_file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#define LUMINO_HAVE_POSIX 1
#endif

namespace lumino::core {

MappedFile::~MappedFile() { close(); }

void MappedFile::close() {
    data_ = nullptr;
    size_ = 0;
    copy_.reset();
}

#ifdef LUMINO_HAVE_POSIX

bool MappedFile::open(const std::string& path, std::string& reason) {
    close();
    // Not waiting on a FIFO swapped in since the kind was told: it opens at
    // once and fstat refuses it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = std::string("cannot open the file: ") + std::strerror(errno);
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    const size_t size = size_t(st.st_size);
    static const uint8_t empty = 0;
    if (size == 0) {
        data_ = &empty;
        return true;
    }
    // Read up to the size the file had when opened; a file shortened
    // meanwhile gives fewer bytes, one grown is taken as it was.
    copy_.reset(new (std::nothrow) uint8_t[size]);
    if (!copy_) {
        reason = "out of memory";
        return false;
    }
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, copy_.get() + got, size - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            reason = std::string("cannot read the file: ") + std::strerror(errno);
            copy_.reset();
            return false;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    data_ = copy_.get();
    size_ = got;
    return true;
}

#else

bool MappedFile::open(const std::string& path, std::string& reason) {
    close();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        reason = "cannot open the file";
        return false;
    }
    std::string bytes;
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        reason = "cannot read the file";
        return false;
    }
    copy_.reset(new (std::nothrow) uint8_t[bytes.size() + 1]);
    if (!copy_) {
        reason = "out of memory";
        return false;
    }
    std::memcpy(copy_.get(), bytes.data(), bytes.size());
    data_ = copy_.get();
    size_ = bytes.size();
    return true;
}

#endif

}  // namespace lumino::core
