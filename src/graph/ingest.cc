#include "graph/ingest.h"

#include <string>

#include "graph/progress.h"

namespace vornak {

void build_from_ir(QuantumDAG& dag, NodeStore&& instructions) {
  write_progress_line("Received " + std::to_string(instructions.size()) +
                      " instructions from Python.");
  dag.insert_nodes(std::move(instructions));
  write_progress_line("Graph memory now contains " + std::to_string(dag.node_count()) +
                      " nodes.");
}

}  // namespace vornak
