#ifndef VORNAK_GRAPH_FAILURE_H
#define VORNAK_GRAPH_FAILURE_H

#include <source_location>
#include <stdexcept>
#include <string>

namespace vornak {

// An internal failure: an invariant of the module broke and the current call is abandoned.
// The module surface reports it as a panic carrying what() and where().
class InternalFailure : public std::runtime_error {
 public:
  explicit InternalFailure(const std::string& message,
                           std::source_location where = std::source_location::current())
      : std::runtime_error(message), where_(where) {}

  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

}  // namespace vornak

#endif
