#include "graph/string_pool.h"

#include <limits>

#include "graph/failure.h"

namespace vornak {

std::uint32_t StringPool::intern(std::string_view text) {
  if (auto found = ids_.find(text); found != ids_.end()) return found->second;
  if (texts_.size() >= std::numeric_limits<std::uint32_t>::max()) {
    throw InternalFailure("too many distinct names in one graph");
  }
  auto id = static_cast<std::uint32_t>(texts_.size());
  const std::string& stored = texts_.emplace_back(text);
  ids_.emplace(std::string_view(stored), id);
  return id;
}

void StringPool::truncate(std::size_t size) {
  while (texts_.size() > size) {
    ids_.erase(std::string_view(texts_.back()));
    texts_.pop_back();
  }
}

}  // namespace vornak
