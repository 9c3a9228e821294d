#ifndef VORNAK_DD_TERM_TABLE_H
#define VORNAK_DD_TERM_TABLE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vornak {

// A map from nonzero 64-bit keys to pairs of doubles, in one array probed linearly: no
// allocation per entry, and a lookup is a multiply and a few compares. Entries are taken
// out by shifting the ones after them back, so no slot is ever marked deleted. Grows by
// doubling at half full.
class TermTable {
 public:
  using Value = std::array<double, 2>;

  std::size_t size() const { return size_; }

  // The value of `key`, else null.
  Value* find(std::uint64_t key) {
    if (size_ == 0) return nullptr;
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      if (keys_[i] == key) return &values_[i];
      if (keys_[i] == 0) return nullptr;
    }
  }

  // The value of `key`, made 0 where it was not there.
  Value& at(std::uint64_t key) {
    if (2 * (size_ + 1) > keys_.size()) grow();
    std::size_t i = home(key);
    for (; keys_[i] != 0; i = (i + 1) & mask_) {
      if (keys_[i] == key) return values_[i];
    }
    keys_[i] = key;
    values_[i] = {};
    ++size_;
    return values_[i];
  }

  // Takes `key` out into `value`; false where it was not there.
  bool take(std::uint64_t key, Value& value) {
    if (size_ == 0) return false;
    std::size_t i = home(key);
    for (; keys_[i] != key; i = (i + 1) & mask_) {
      if (keys_[i] == 0) return false;
    }
    value = values_[i];
    // Every entry after the hole that may sit in it (its home is not between the hole and
    // itself) moves back into it.
    for (std::size_t j = (i + 1) & mask_; keys_[j] != 0; j = (j + 1) & mask_) {
      const std::size_t h = home(keys_[j]);
      if (((j - h) & mask_) >= ((j - i) & mask_)) {
        keys_[i] = keys_[j];
        values_[i] = values_[j];
        i = j;
      }
    }
    keys_[i] = 0;
    --size_;
    return true;
  }

 private:
  std::size_t home(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  void grow() {
    std::vector<std::uint64_t> keys = std::move(keys_);
    std::vector<Value> values = std::move(values_);
    const std::size_t capacity = keys.empty() ? 64 : 2 * keys.size();
    keys_.assign(capacity, 0);
    values_.assign(capacity, Value{});
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
    size_ = 0;
    for (std::size_t k = 0; k < keys.size(); ++k) {
      if (keys[k] != 0) at(keys[k]) = values[k];
    }
  }

  std::vector<std::uint64_t> keys_;  // 0: empty
  std::vector<Value> values_;
  std::size_t mask_ = 0;
  int shift_ = 64;
  std::size_t size_ = 0;
};

}  // namespace vornak

#endif
