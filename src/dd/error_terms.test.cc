#include "dd/error_terms.h"

#include <gtest/gtest.h>

#include <map>
#include <numbers>

namespace vornak::pauli {
namespace {

constexpr std::uint32_t kZ = kLetterZ;

std::uint32_t part(std::uint32_t qubit, std::uint32_t letter) { return qubit * 4 + letter; }

// Every term on `qubit`, taken out, as {key: value}.
std::map<Key, Term> taken(Errors& errors, std::uint32_t qubit) {
  TermList out;
  errors.take(&qubit, 1, out);
  std::map<Key, Term> terms;
  for (const auto& [key, value] : out) {
    if (value != Term{}) terms[key] = value;
  }
  return terms;
}

TEST(ErrorTerms, KeysNameAStringWhicheverOrderItsPartsCome) {
  EXPECT_EQ(make_key(part(2, kLetterX), part(0, kZ)), make_key(part(0, kZ), part(2, kLetterX)));
  EXPECT_EQ(make_key(0, part(1, kLetterY)), make_key(part(1, kLetterY), 0));
  const Key k = make_key(part(3, kLetterY), part(1, kZ));
  EXPECT_EQ(first(k), part(1, kZ));
  EXPECT_EQ(second(k), part(3, kLetterY));
  EXPECT_EQ(second(make_key(part(1, kZ), 0)), 0u);
}

TEST(ErrorTerms, TermsAddUpAndTurnsApplyWhenNextNeeded) {
  Errors errors(3);
  EXPECT_FALSE(errors.touches(1));
  errors.add(make_key(part(1, kLetterX), 0), {0.5, 0.25});
  errors.add(make_key(part(1, kLetterX), 0), {0.5, -0.25});
  EXPECT_TRUE(errors.touches(1));
  EXPECT_FALSE(errors.touches(0));
  EXPECT_EQ(errors.coefficient(1, kLetterX), (Term{1.0, 0.0}));
  // An X then an X turn back: no change, exactly. A turn by π/2 about z then takes X to Y.
  const Turn x{1, 0, 0, 0, -1, 0, 0, 0, -1};
  errors.turn(1, x);
  errors.turn(1, x);
  errors.turn(1, z_turn(std::numbers::pi / 2));
  EXPECT_EQ(errors.coefficient(1, kLetterX), (Term{1.0, 0.0}));  // not yet applied
  TermList scratch;
  errors.flush(1, scratch);
  EXPECT_EQ(errors.coefficient(1, kLetterX), (Term{}));  // cos(π/2) is below kNegligible
  EXPECT_EQ(errors.coefficient(1, kLetterY), (Term{1.0, 0.0}));
  // Taking empties the qubit.
  const std::map<Key, Term> terms = taken(errors, 1);
  ASSERT_EQ(terms.size(), 1u);
  EXPECT_EQ(terms.begin()->first, make_key(part(1, kLetterY), 0));
  EXPECT_FALSE(errors.touches(1));
}

TEST(ErrorTerms, CarriedThroughTwoQubitGates) {
  const Matrix cx = controlled(single(0, 1, 1, 0));
  const std::uint32_t on[2] = {0, 2};  // control 0, target 2
  Errors errors(3);
  TermList scratch;
  errors.add(make_key(part(0, kLetterX), 0), {1.0, 0.0});
  errors.add(make_key(part(2, kZ), 0), {0.0, 0.5});
  Images images;
  errors.carry(cx, on, images, scratch);
  // X on the control becomes X X; Z on the target becomes Z Z. Qubit 1 is not involved.
  EXPECT_FALSE(errors.touches(1));
  EXPECT_TRUE(errors.touches(2));
  std::map<Key, Term> terms = taken(errors, 0);
  ASSERT_EQ(terms.size(), 2u);
  EXPECT_NEAR(terms[make_key(part(0, kLetterX), part(2, kLetterX))][0], 1.0, 1e-15);
  EXPECT_NEAR(terms[make_key(part(0, kZ), part(2, kZ))][1], 0.5, 1e-15);
  EXPECT_FALSE(errors.touches(2));  // taken through qubit 0, gone from qubit 2 as well

  // A string that would spread over three qubits is let go: X0 X1 through CX(1, 2).
  errors.add(make_key(part(0, kLetterX), part(1, kLetterX)), {1.0, 0.0});
  const std::uint32_t later[2] = {1, 2};
  Images later_images;
  errors.carry(cx, later, later_images, scratch);
  EXPECT_FALSE(errors.touches(0));
  EXPECT_FALSE(errors.touches(1));
  EXPECT_FALSE(errors.touches(2));
}

TEST(ErrorTerms, SmallTermsAndTermsBeyondTheLimitAreLetGo) {
  Errors errors(2);
  TermList scratch;
  // A turn that leaves a term below kSmallTerm drops it at the flush.
  errors.add(make_key(part(0, kLetterX), 0), {kSmallTerm / 2, 0.0});
  errors.turn(0, z_turn(0.1));
  errors.flush(0, scratch);
  EXPECT_EQ(errors.coefficient(0, kLetterX), (Term{}));
  EXPECT_EQ(errors.coefficient(0, kLetterY), (Term{}));
  // Pair strings beyond kMaxTerms are not stored; ones already there still add.
  Errors many(kMaxTerms + 2);
  for (std::uint32_t q = 1; q <= kMaxTerms; ++q) {
    many.add(make_key(part(0, kLetterX), part(q, kLetterX)), {1.0, 0.0});
  }
  many.add(make_key(part(0, kLetterX), part(kMaxTerms + 1, kLetterX)), {1.0, 0.0});
  EXPECT_FALSE(many.touches(kMaxTerms + 1));
  many.add(make_key(part(0, kLetterX), part(1, kLetterX)), {1.0, 0.0});
  const std::map<Key, Term> terms = taken(many, 1);
  ASSERT_EQ(terms.size(), 1u);
  EXPECT_EQ(terms.begin()->second, (Term{2.0, 0.0}));
}

}  // namespace
}  // namespace vornak::pauli
