#include "dd/term_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <unordered_map>

namespace vornak {
namespace {

// Random adds and takes against a std::unordered_map, over few keys (long probe runs that
// wrap around the array, holes refilled by shifting back) and then many (growth).
TEST(TermTable, AgreesWithAHashMapUnderAddsAndTakes) {
  std::mt19937_64 rng(20261209);
  for (std::uint64_t keys : {std::uint64_t{40}, std::uint64_t{5000}}) {
    TermTable table;
    std::unordered_map<std::uint64_t, TermTable::Value> reference;
    for (int step = 0; step < 200000; ++step) {
      const std::uint64_t key = 1 + rng() % keys;
      if (rng() % 3 != 0) {
        const double v = static_cast<double>(step);
        TermTable::Value& got = table.at(key);
        got[0] += v;
        got[1] -= v;
        reference[key][0] += v;
        reference[key][1] -= v;
      } else {
        TermTable::Value value{};
        const bool had = table.take(key, value);
        const auto it = reference.find(key);
        ASSERT_EQ(had, it != reference.end()) << key;
        if (had) {
          EXPECT_EQ(value, it->second);
          reference.erase(it);
        }
      }
      ASSERT_EQ(table.size(), reference.size());
    }
    for (std::uint64_t key = 1; key <= keys; ++key) {
      const TermTable::Value* found = table.find(key);
      const auto it = reference.find(key);
      ASSERT_EQ(found != nullptr, it != reference.end()) << key;
      if (found != nullptr) {
        EXPECT_EQ(*found, it->second);
      }
    }
  }
}

TEST(TermTable, AnEmptyTableHoldsNothing) {
  TermTable table;
  TermTable::Value value{1.0, 2.0};
  EXPECT_EQ(table.find(7), nullptr);
  EXPECT_FALSE(table.take(7, value));
  EXPECT_EQ(value, (TermTable::Value{1.0, 2.0}));
  EXPECT_EQ(table.at(7), (TermTable::Value{0.0, 0.0}));
  EXPECT_TRUE(table.take(7, value));
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.find(7), nullptr);
}

}  // namespace
}  // namespace vornak
