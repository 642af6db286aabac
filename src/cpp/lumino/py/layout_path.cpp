// The checked, absolute layout path and KLayout's read of it.
#include "lumino/py/layout_path.hpp"

#include <cstring>
#include <string>

#include "lumino/core/read/file_check.hpp"
#include "lumino/py/edge.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <unistd.h>
#define LUMINO_HAVE_POSIX 1
#endif

namespace lumino {

using namespace nb::literals;

namespace {

// The path's bytes as the file system takes them (undecodable bytes kept).
std::string fs_bytes(nb::handle text) {
    nb::object bytes = own(PyUnicode_EncodeFSDefault(text.ptr()));
    return std::string(PyBytes_AS_STRING(bytes.ptr()), size_t(PyBytes_GET_SIZE(bytes.ptr())));
}

nb::object fs_text(const std::string& bytes) {
    return own(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), Py_ssize_t(bytes.size())));
}

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    nb::object shown = own(PyObject_Repr(fs_text(path).ptr()));
    corvane::raise(PyExc_ValueError, "gds_file " + nb::cast<std::string>(shown) + ": " + why);
}

}  // namespace

nb::object checked_layout_path(nb::handle gds_file) {
    if (!PyUnicode_Check(gds_file.ptr())) corvane::wrong_type("gds_file", "a str", gds_file);
    std::string path = fs_bytes(gds_file);
    if (path.empty()) return nb::borrow(gds_file);  // no file: KLayout's error
    if (path.find('\0') != std::string::npos) refuse(path, "a path holds no NUL character");
#ifdef LUMINO_HAVE_POSIX
    if (path[0] != '/') {
        // Joined as it is: a normalised "a/../b" would be another file
        // where a is a symbolic link.
        std::string cwd(256, '\0');
        while (!::getcwd(cwd.data(), cwd.size())) {
            if (errno != ERANGE) {
                corvane::raise(PyExc_OSError, std::string("cannot tell the working folder: ") + std::strerror(errno));
            }
            cwd.resize(cwd.size() * 2);
        }
        cwd.resize(std::strlen(cwd.c_str()));
        path = cwd + (cwd.back() == '/' ? "" : "/") + path;
    }
#endif
    const core::FileKind kind = core::file_kind(path);
    if (kind == core::FileKind::absent) return fs_text(path);
    if (kind != core::FileKind::regular)
        refuse(path, std::string(core::file_kind_text(kind)) + ", not a regular file");
    std::string refusal;
    {
        nb::gil_scoped_release unlocked;
        refusal = core::file_unit_refusal(path);
    }
    if (!refusal.empty()) refuse(path, refusal);
    return fs_text(path);
}

void klayout_read(nb::handle layout, nb::handle path) {
#ifdef LUMINO_HAVE_POSIX
    const std::string bytes = PyUnicode_Check(path.ptr()) ? fs_bytes(path) : std::string();
    if (!bytes.empty() && bytes.back() == ']') {
        const int fd = ::open(bytes.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            struct Closer {
                int fd;
                ~Closer() { ::close(fd); }
            } closer{fd};
            layout.attr("read")(nb::str(("/dev/fd/" + std::to_string(fd)).c_str()));
            return;
        }
    }
#endif
    layout.attr("read")(path);
}

void bind_layout_path(nb::module_& m) {
    m.def("_layout_path", &checked_layout_path, "path"_a.none(), nb::sig("def _layout_path(path: str) -> str"),
          "The layout file `path` as the entry points read it: an absolute path (no prefix of the name "
          "means anything to KLayout).  ValueError for a directory, a FIFO, a device or a socket, and for "
          "a database unit that is not positive; a missing file is given back for the read to report.");
}

}  // namespace lumino
