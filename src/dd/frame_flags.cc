#include "dd/frame_flags.h"

#include <array>

#include "dd/plan.h"

namespace vornak {
namespace {

constexpr std::array<std::string_view, 18> kKeepFrame = {
    "global_phase", "id", "z",  "p",   "rz",   "s",   "sdg", "t",   "tdg",
    "u1",           "cz", "cp", "crz", "cs",   "csdg", "cu1", "rzz", "ccz"};
constexpr std::array<std::string_view, 15> kKeepFirstFrame = {
    "ch", "cx", "cy", "crx", "cry", "csx", "cu", "cu3", "rzx", "ccx", "cswap", "rccx", "mcx",
    "c3sx", "rcccx"};

bool among(std::string_view name, const auto& names) {
  for (std::string_view n : names) {
    if (n == name) return true;
  }
  return false;
}

}  // namespace

std::uint8_t frame_flags(std::string_view name) {
  if (among(name, kKeepFrame)) return kDdNodeKeepsFrame;
  if (among(name, kKeepFirstFrame)) return kDdNodeKeepsFirstFrame;
  if (name == "x" || name == "y") return kDdNodeFlipsFrame;
  if (name == "ecr") return kDdNodeFlipsFirstFrame;
  return 0;
}

}  // namespace vornak
