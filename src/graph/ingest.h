#ifndef VORNAK_GRAPH_INGEST_H
#define VORNAK_GRAPH_INGEST_H

#include "graph/dag.h"

namespace vornak {

// Appends the converted instruction list to the graph, one node per instruction in list
// order, between two progress lines: the number of instructions received, then the
// graph's node count. If the first line cannot be written no node is added.
void build_from_ir(QuantumDAG& dag, NodeStore&& instructions);

}  // namespace vornak

#endif
