#ifndef VORNAK_DD_BLOCK_CUT_H
#define VORNAK_DD_BLOCK_CUT_H

#include <cstdint>
#include <span>
#include <vector>

namespace vornak {

// One timed block of a circuit with control flow: the operations timed together, and the
// operations between blocks (control flow, classical stores) that end it. Both hold
// instruction indices: the block in the circuit's order, the boundary (whose instructions
// share no wire) in the order of each one's lowest wire, the instructions without wires
// last, ties in the circuit's order.
struct CutLevel {
  std::vector<std::uint32_t> block;
  std::vector<std::uint32_t> boundary;
};

// Cuts a circuit into levels, one instruction at a time, each instruction in the earliest
// level its wires allow. Wires are small integers the caller chooses (qubits, clbits, and one
// wire for all classical variables). A boundary instruction ends the level on its wires; a
// reset ends it on its wires after it; any other instruction leaves its wires at its level.
// The levels are the same for every order of the instructions that keeps the order on each
// wire, and so is each boundary's order where the caller numbers the wires alike.
class BlockCutter {
 public:
  explicit BlockCutter(std::uint32_t num_wires) : ready_(num_wires, 0) {}

  void add(std::uint32_t index, std::span<const std::uint32_t> wires, bool boundary, bool resets);
  const std::vector<CutLevel>& levels() const { return levels_; }

 private:
  std::vector<std::uint32_t> ready_;  // by wire: the first level an instruction on it may take
  std::vector<CutLevel> levels_;
  std::vector<std::vector<std::uint32_t>> boundary_keys_;  // by level: each boundary's lowest wire
};

}  // namespace vornak

#endif
