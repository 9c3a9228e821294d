#ifndef VORNAK_GRAPH_STRING_POOL_H
#define VORNAK_GRAPH_STRING_POOL_H

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vornak {

// Interns texts (gate names, parameter keys) as dense 32-bit ids.
// Ids are handed out from 0 in order of first appearance and never change.
class StringPool {
 public:
  StringPool() = default;
  StringPool(StringPool&&) noexcept = default;
  StringPool& operator=(StringPool&&) noexcept = default;
  // The lookup table points into the stored texts, so a copy would dangle.
  StringPool(const StringPool&) = delete;
  StringPool& operator=(const StringPool&) = delete;

  // Returns the id of `text`, adding it if it is new. O(1) expected.
  std::uint32_t intern(std::string_view text);

  // Forgets, when destroyed before keep(), the texts interned into `pool` while it lived:
  // for a change that interns as it goes and may be abandoned. Nothing may still use the
  // ids of the forgotten texts.
  class Checkpoint {
   public:
    explicit Checkpoint(StringPool& pool) : pool_(pool), size_(pool.size()) {}
    ~Checkpoint() {
      if (!kept_) pool_.truncate(size_);
    }
    Checkpoint(const Checkpoint&) = delete;
    Checkpoint& operator=(const Checkpoint&) = delete;
    void keep() { kept_ = true; }

   private:
    StringPool& pool_;
    std::size_t size_;
    bool kept_ = false;
  };

  std::string_view text(std::uint32_t id) const { return texts_[id]; }
  std::size_t size() const { return texts_.size(); }

 private:
  // A deque never moves its elements, so the views used as keys stay valid.
  std::deque<std::string> texts_;
  std::unordered_map<std::string_view, std::uint32_t> ids_;

  // Forgets the texts added after the first `size`.
  void truncate(std::size_t size);
};

}  // namespace vornak

#endif
