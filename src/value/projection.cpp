#include "value/projection.h"

#include <algorithm>

namespace tamsel {

void Projection::add_member(std::string_view key, Projection need) {
  if (whole_) return;
  for (auto& [name, existing] : members_) {
    if (name == key) {
      existing.merge(std::move(need));
      return;
    }
  }
  if (!every_.empty()) need.merge(every_.front());
  members_.emplace_back(std::string(key), std::move(need));
}

void Projection::add_element(uint32_t position, Projection need) {
  if (whole_) return;
  for (auto& [at, existing] : elements_) {
    if (at == position) {
      existing.merge(std::move(need));
      return;
    }
  }
  if (!every_.empty()) need.merge(every_.front());
  last_element_ = elements_.empty() ? position : std::max<size_t>(last_element_, position);
  elements_.emplace_back(position, std::move(need));
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
