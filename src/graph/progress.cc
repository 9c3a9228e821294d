#include "graph/progress.h"

#include <cerrno>
#include <string>
#include <system_error>

#include "graph/failure.h"
#include "graph/raw_write.h"

namespace vornak {

void write_progress_line(std::string_view message) {
  std::string line = "\xF0\x9F\xA6\x80 [Rust] ";
  line.append(message);
  line.push_back('\n');
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    std::ptrdiff_t written = write_fd(kStdoutFd, data, left);
    if (written < 0) {
      int error = errno;
      if (error == EINTR) continue;
      if (error == EBADF && fd_is_closed(kStdoutFd)) return;
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
