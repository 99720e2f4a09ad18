// What a query can observe of its input document, worked out from the query
// before any document is read. A reader that builds only these parts, and
// checks the rest of the text without building it, gives the query a
// document on which it yields exactly what it yields on the whole one: the
// query never looks at what was left out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "value/same_bytes.h"

namespace tamsel {

class Projection {
 public:
  // Only the value's kind: a container is kept, empty.
  Projection() = default;
  // All of the value.
  static Projection whole() {
    Projection p;
    p.whole_ = true;
    return p;
  }

  bool is_whole() const { return whole_; }

  // What is needed of the value of an object's members named `key`; nullptr
  // when they are not needed at all.
  const Projection* member(std::string_view key) const {
    if (whole_) return this;
    // Lengths first: most keys of an object differ from a name in length.
    for (const auto& [name, need] : members_)
      if (same_text(name, key)) return &need;
    return every_.empty() ? nullptr : &every_.front();
  }
  // What is needed of an array's element at `position`; nullptr when only
  // its place is (see elements_needed()).
  const Projection* element(size_t position) const {
    if (whole_) return this;
    for (const auto& [at, need] : elements_)
      if (at == position) return &need;
    return every_.empty() ? nullptr : &every_.front();
  }
  // Whether the element at `position` is needed at all, its value or only
  // its place (the places before a needed element keep it where it is).
  bool keeps_element(size_t position) const {
    return whole_ || !every_.empty() || (!elements_.empty() && position <= last_element_);
  }

  // The value's member `key` is read with need `need`.
  void add_member(std::string_view key, Projection need);
  // The array element at `position` is read with `need`.
  void add_element(uint32_t position, Projection need);
  // Every element or member value is read with `need`.
  void add_every(Projection need);
  // Everything `other` needs as well.
  void merge(Projection other);

  // The number of nodes, to keep the analysis of a huge query bounded.
  size_t node_count() const;

 private:
  bool whole_ = false;
  // Each member and element need already holds what every_ needs.
  std::vector<std::pair<std::string, Projection>> members_;
  std::vector<std::pair<uint32_t, Projection>> elements_;
  std::vector<Projection> every_;  // none, or one
  size_t last_element_ = 0;        // meaningful while elements_ is not empty

  template <typename Entries, typename Key>
  void add_entry(Entries& entries, Key key, Projection need);
};

}  // namespace tamsel
