#include "graph/raw_write.h"

#include <cerrno>

#ifdef _WIN32
#include <io.h>

#include <climits>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace vornak {

#ifdef _WIN32

std::ptrdiff_t write_fd(int fd, const char* data, std::size_t size) noexcept {
  // _write takes an unsigned int count; the callers loop over partial writes.
  const unsigned count = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
  return ::_write(fd, data, count);
}

bool fd_is_closed(int fd) noexcept { return ::_get_osfhandle(fd) == -1 && errno == EBADF; }

#else

std::ptrdiff_t write_fd(int fd, const char* data, std::size_t size) noexcept {
  return ::write(fd, data, size);
}

bool fd_is_closed(int fd) noexcept { return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

#endif

}  // namespace vornak
