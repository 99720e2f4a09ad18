#include "value/projection.h"

#include <algorithm>

namespace tamsel {

// Merges `need` into the entry of `entries` for `key`, or adds one, which
// holds what every_ needs as well.
template <typename Entries, typename Key>
void Projection::add_entry(Entries& entries, Key key, Projection need) {
  if (whole_) return;
  for (auto& [at, existing] : entries) {
    if (at == key) {
      existing.merge(std::move(need));
      return;
    }
  }
  if (!every_.empty()) need.merge(every_.front());
  entries.emplace_back(key, std::move(need));
}

void Projection::add_member(std::string_view key, Projection need) {
  add_entry(members_, key, std::move(need));
}

void Projection::add_element(uint32_t position, Projection need) {
  if (!whole_) last_element_ = std::max<size_t>(last_element_, position);
  add_entry(elements_, position, std::move(need));
}

void Projection::add_every(Projection need) {
  if (whole_) return;
  if (need.whole_) {
    // Every part of every part is all of it, but for the container's kind,
    // which the whole keeps too.
    *this = whole();
    return;
  }
  for (auto& [name, existing] : members_) existing.merge(need);
  for (auto& [at, existing] : elements_) existing.merge(need);
  if (every_.empty()) {
    every_.push_back(std::move(need));
  } else {
    every_.front().merge(std::move(need));
  }
}

void Projection::merge(Projection other) {
  if (whole_) return;
  if (other.whole_) {
    *this = whole();
    return;
  }
  if (!other.every_.empty()) add_every(std::move(other.every_.front()));
  for (auto& [name, need] : other.members_) add_member(name, std::move(need));
  for (auto& [at, need] : other.elements_) add_element(at, std::move(need));
}

size_t Projection::node_count() const {
  size_t count = 1;
  for (const auto& [name, need] : members_) count += need.node_count();
  for (const auto& [at, need] : elements_) count += need.node_count();
  for (const Projection& need : every_) count += need.node_count();
  return count;
}

}  // namespace tamsel
