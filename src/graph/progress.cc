#include "graph/progress.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "graph/failure.h"

namespace vornak {
namespace {

// Whether descriptor 1 is not open at all, as opposed to open but refusing writes (a
// read-only descriptor fails its writes with EBADF too).
bool stdout_is_closed() { return ::fcntl(STDOUT_FILENO, F_GETFD) == -1 && errno == EBADF; }

}  // namespace

void write_progress_line(std::string_view message) {
  std::string line = "\xF0\x9F\xA6\x80 [Rust] ";
  line.append(message);
  line.push_back('\n');
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t written = ::write(STDOUT_FILENO, data, left);
    if (written < 0) {
      int error = errno;
      if (error == EINTR) continue;
      if (error == EBADF && stdout_is_closed()) return;
      throw InternalFailure("failed printing to stdout: " +
                            std::generic_category().message(error) + " (os error " +
                            std::to_string(error) + ")");
    }
    if (written == 0) {
      throw InternalFailure("failed printing to stdout: failed to write whole buffer");
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace vornak
