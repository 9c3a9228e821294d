#ifndef VORNAK_GRAPH_RAW_WRITE_H
#define VORNAK_GRAPH_RAW_WRITE_H

#include <cstddef>

namespace vornak {

// The process's own descriptors, below any buffering of Python's or the C library's: POSIX
// write() and fcntl() on Linux and macOS, the C runtime's _write and _get_osfhandle on
// Windows. The only platform-specific code of the core.
inline constexpr int kStdoutFd = 1;
inline constexpr int kStderrFd = 2;

// One write call: the number of bytes written, or -1 with errno set.
std::ptrdiff_t write_fd(int fd, const char* data, std::size_t size) noexcept;

// Whether descriptor `fd` is not open at all, as opposed to open but refusing writes (a
// read-only descriptor fails its writes with EBADF too).
bool fd_is_closed(int fd) noexcept;

}  // namespace vornak

#endif
