#ifndef VORNAK_GRAPH_SOURCE_LOCATION_H
#define VORNAK_GRAPH_SOURCE_LOCATION_H

// Where an internal failure was raised: std::source_location where the standard library has
// it. libstdc++'s needs the compiler's __builtin_source_location, which clang has only from
// version 15, so with an older clang (Debian 12's is 14) a stand-in built on the older
// builtins gives the same file name and line, all the module reports.
#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

namespace vornak {

#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
class SourceLocation {
 public:
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          unsigned line = __builtin_LINE()) noexcept {
    SourceLocation where;
    where.file_ = file;
    where.line_ = line;
    return where;
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr unsigned line() const noexcept { return line_; }

 private:
  const char* file_ = "";
  unsigned line_ = 0;
};
#endif

}  // namespace vornak

#endif
