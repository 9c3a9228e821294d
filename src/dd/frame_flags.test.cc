#include "dd/frame_flags.h"

#include <gtest/gtest.h>

#include <numbers>
#include <string_view>
#include <vector>

#include "dd/gate_matrix.h"
#include "dd/pauli_images.h"
#include "dd/plan.h"

namespace vornak {
namespace {

using namespace pauli;

constexpr int kZ = 3;

// The coefficient of Z on qubit `k` (and I elsewhere) in the image of Z on qubit `k` under
// `u`: 1 where the gate commutes with that Z, −1 where it flips it, else between.
double z_kept(const Matrix& u, int k) {
  Images images;
  const int z = kZ << (2 * k);
  images.find(u, z);
  return images.of[z][z];
}

struct Named {
  std::string_view name;
  Matrix u;
};

// The flags agree with the gates' matrices: a frame said kept is one whose Z the gate
// leaves in place, one said flipped is one it sends to −Z, and a gate with no flag on a
// qubit turns that qubit's Z.
TEST(FrameFlags, AgreeWithTheGatesMatrices) {
  const double r = std::numbers::sqrt2 / 2;
  const Matrix x = single(0, 1, 1, 0);
  Matrix ecr;  // (IX − XY) / √2, Qiskit's ECR
  ecr.qubits = 2;
  ecr.at(0, 1) = r, ecr.at(0, 3) = kI * r, ecr.at(1, 0) = r, ecr.at(1, 2) = -kI * r;
  ecr.at(2, 1) = kI * r, ecr.at(2, 3) = r, ecr.at(3, 0) = -kI * r, ecr.at(3, 2) = r;
  Matrix swap = diagonal(1, 0, 0, 1);
  swap.at(1, 2) = swap.at(2, 1) = 1;
  const std::vector<Named> gates = {
      {"id", single(1, 0, 0, 1)},
      {"x", x},
      {"y", single(0, -kI, kI, 0)},
      {"z", single(1, 0, 0, -1)},
      {"rz", rotation(0.3, 0, 0, 1)},
      {"p", single(1, 0, 0, std::exp(kI * 0.3))},
      {"s", single(1, 0, 0, kI)},
      {"t", single(1, 0, 0, std::exp(kI * (std::numbers::pi / 4)))},
      {"sx", single({0.5, 0.5}, {0.5, -0.5}, {0.5, -0.5}, {0.5, 0.5})},
      {"h", single(r, r, r, -r)},
      {"rx", rotation(0.3, 1, 0, 0)},
      {"cz", diagonal(1, 1, 1, -1)},
      {"cp", diagonal(1, 1, 1, std::exp(kI * 0.4))},
      {"crz", controlled(rotation(0.4, 0, 0, 1))},
      {"rzz", diagonal(std::exp(-kI * 0.2), std::exp(kI * 0.2), std::exp(kI * 0.2),
                       std::exp(-kI * 0.2))},
      {"cx", controlled(x)},
      {"cy", controlled(single(0, -kI, kI, 0))},
      {"crx", controlled(rotation(0.4, 1, 0, 0))},
      {"ecr", ecr},
      {"swap", swap},
  };
  for (const Named& g : gates) {
    const std::uint8_t flags = frame_flags(g.name);
    for (int k = 0; k < static_cast<int>(g.u.qubits); ++k) {
      const bool first = k == 0;
      const bool keeps = (flags & kDdNodeKeepsFrame) || (first && (flags & kDdNodeKeepsFirstFrame));
      const bool flips = (flags & kDdNodeFlipsFrame) || (first && (flags & kDdNodeFlipsFirstFrame));
      const double z = z_kept(g.u, k);
      if (keeps) {
        EXPECT_NEAR(z, 1.0, 1e-15) << g.name << " qubit " << k;
      } else if (flips) {
        EXPECT_NEAR(z, -1.0, 1e-15) << g.name << " qubit " << k;
      } else {
        EXPECT_LT(std::abs(z), 1.0 - 1e-9) << g.name << " qubit " << k;
      }
    }
  }
}

TEST(FrameFlags, GatesOfMoreQubitsAndUnknownNames) {
  EXPECT_EQ(frame_flags("ccz"), kDdNodeKeepsFrame);
  for (std::string_view name : {"ccx", "cswap", "mcx", "c3sx", "rcccx", "rzx", "cu"}) {
    EXPECT_EQ(frame_flags(name), kDdNodeKeepsFirstFrame) << name;
  }
  for (std::string_view name : {"", "measure", "delay", "xx_plus_yy", "RZ", "rz "}) {
    EXPECT_EQ(frame_flags(name), 0) << name;
  }
}

}  // namespace
}  // namespace vornak
