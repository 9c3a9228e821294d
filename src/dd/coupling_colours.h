#ifndef VORNAK_DD_COUPLING_COLOURS_H
#define VORNAK_DD_COUPLING_COLOURS_H

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

namespace vornak {

// The coupling graph between qubits, by dense slot index, and a proper colouring of it: by
// breadth-first search in two colours where a connected part is bipartite, by DSatur where it
// is not. The walsh placement plans qubits colour after colour, so that two coupled qubits
// never both follow the other's pulses, and flips the two sides of a two-coloured part to
// compare where its pulses go.
class CouplingColours {
 public:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  // The graph on `slots` slots from `pairs` (both directions of each coupling, in any order
  // and with repeats; sorted and made unique here). O(pairs log pairs).
  void connect(std::size_t slots, std::vector<std::pair<std::size_t, std::size_t>>& pairs);

  // The neighbours of slot `s`, in increasing order.
  std::span<const std::size_t> neighbours(std::size_t s) const {
    return {neighbours_.data() + offsets_[s], neighbours_.data() + offsets_[s + 1]};
  }

  // Colours every slot `s` with coloured[s] != 0 (the graph's slots, after connect()), and
  // numbers the connected parts they form; the others keep kNone as colour and part. Edges
  // to uncoloured slots must not exist. O(slots + edges), and O(edges log) in a part that is
  // not bipartite.
  void assign(std::span<const std::uint8_t> coloured);

  std::uint32_t colour(std::size_t s) const { return colour_[s]; }
  std::uint32_t component(std::size_t s) const { return component_[s]; }
  // By connected part: bipartite, with two qubits or more (a part of one qubit has no other
  // side to give its pulses to).
  const std::vector<bool>& two_coloured() const { return two_coloured_; }

  // Swaps colours 0 and 1 in every connected part `c` with components[c] (two-coloured
  // parts only: a part coloured by DSatur would lose its properness).
  void flip_sides(const std::vector<bool>& components);

 private:
  void colour_dsatur(const std::vector<std::size_t>& part);

  std::vector<std::size_t> offsets_;  // by slot, into neighbours_
  std::vector<std::size_t> neighbours_;
  std::vector<std::uint32_t> colour_;     // by slot
  std::vector<std::uint32_t> component_;  // by slot: its connected part
  std::vector<bool> two_coloured_;        // by part
  std::vector<std::size_t> part_position_;  // by slot, for colour_dsatur()
};

}  // namespace vornak

#endif
