#ifndef VORNAK_GRAPH_FAILURE_H
#define VORNAK_GRAPH_FAILURE_H

#include <stdexcept>
#include <string>

#include "graph/source_location.h"

namespace vornak {

// An internal failure: an invariant of the module broke and the current call is abandoned.
// The module surface reports it as a panic carrying what() and where().
class InternalFailure : public std::runtime_error {
 public:
  explicit InternalFailure(const std::string& message,
                           SourceLocation where = SourceLocation::current())
      : std::runtime_error(message), where_(where) {}

  const SourceLocation& where() const noexcept { return where_; }

 private:
  SourceLocation where_;
};

}  // namespace vornak

#endif
