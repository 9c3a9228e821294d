#ifndef VORNAK_GRAPH_PROGRESS_H
#define VORNAK_GRAPH_PROGRESS_H

#include <string_view>

namespace vornak {

// Writes one progress line, "\U0001F980 [Rust] " + message + "\n", straight to file
// descriptor 1 in one piece (retrying interrupted and partial writes). The line is
// dropped silently when the process has no descriptor 1 (it is not open); any other write
// error, a descriptor 1 open only for reading included, throws
// InternalFailure("failed printing to stdout: " + description of the error).
void write_progress_line(std::string_view message);

}  // namespace vornak

#endif
