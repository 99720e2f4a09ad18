// The members of a JSON object, in insertion order.
//
// Entries live in one array in the order they were added. Up to 32 entries a
// lookup is a linear scan; above that the map keeps an open-addressing index
// over the entries, hashed with a per-map seed (XXH3), so lookups stay O(1) and
// crafted keys cannot make them quadratic. Iteration is insertion order in
// both forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "value/value.h"

namespace tamsel {

class ObjectMap {
 public:
  struct Entry {
    Value key;  // always a String
    Value value;
  };
  // Above this many entries the map is in its hashed form.
  static constexpr size_t kListLimit = 32;

  ObjectMap() noexcept = default;
  // An empty map with room for `n` entries, already in the form that `n`
  // entries call for. One named result on every path, so that it is built
  // where the caller keeps it rather than moved there.
  static ObjectMap with_capacity(size_t n) {
    ObjectMap map;
    if (n > kListLimit) {
      map.begin_hashed(n);
    } else {
      map.entries_.reserve(n);
    }
    return map;
  }
  ~ObjectMap();
  ObjectMap(ObjectMap&&) noexcept;
  ObjectMap& operator=(ObjectMap&&) noexcept;
  ObjectMap(const ObjectMap&) = delete;
  ObjectMap& operator=(const ObjectMap&) = delete;

  // Adds `key` (a String value) with `value`, or replaces the value of the
  // entry that already has that key, which keeps its position and its key.
  // Returns true when an existing value was replaced. A list-form map that
  // already holds 32 or more entries switches to its hashed form first,
  // merging any duplicate keys it held (the later value wins, at the first
  // key's position).
  bool insert(Value key, Value value);
  // Appends without looking for an equal key. Only for filling a map made by
  // with_capacity(entry count): from parsed text, where duplicates are kept,
  // or with keys known to differ.
  // Inline where it is only an append, as it is in a map made at its size.
  void insert_unchecked(Value key, Value value) {
    if (index_ || entries_.size() == entries_.capacity())
      return insert_unchecked_growing(std::move(key), std::move(value));
    entries_.push_back(Entry{std::move(key), std::move(value)});
  }

  // The value of the first entry with that key, or nullptr.
  const Value* get(std::string_view key) const;
  Value* get(std::string_view key);

  size_t size() const;
  bool empty() const { return size() == 0; }
  bool is_hashed() const;

  Entry* begin();
  Entry* end();
  const Entry* begin() const;
  const Entry* end() const;

  // Same form, seed, entries (duplicates included) and order.
  ObjectMap copy() const;

 private:
  // Largest entry count: positions are stored 1-based in 32-bit slots and the
  // index keeps at least two slots per entry.
  static constexpr size_t kMaxEntries = size_t{1} << 31;

  // Makes this empty map hashed, with room for `n` entries.
  void begin_hashed(size_t n);
  // insert_unchecked() where the map hashes, or has no room left.
  void insert_unchecked_growing(Value key, Value value);
  bool equal_key(uint32_t position, std::string_view key) const;
  uint64_t hash(std::string_view key) const;
  // Position of the first entry (insertion order) with `key`, or -1.
  int64_t find(std::string_view key) const;
  // Index slot for a new entry with `key`: the first free slot of its probe.
  size_t free_slot(std::string_view key) const;
  // Makes room for one more entry in the array and, when hashed, the index,
  // so that the append that follows cannot fail halfway.
  void reserve_one_more();
  // Puts entry `position` into the index unless an entry with an equal key
  // is there already.
  void index_entry(size_t position);
  // A fresh zeroed index of `slots` slots (a power of two) holding the first
  // entry of every key, in entry order.
  void rebuild_index(size_t slots);
  void convert_to_hashed();
  bool insert_hashed(Value key, Value value);

  std::vector<Entry> entries_;
  // Hashed form only: open addressing with linear probing; each slot holds an
  // entry position + 1, or 0 when free. Null in list form.
  std::unique_ptr<uint32_t[]> index_;
  size_t index_mask_ = 0;
  uint64_t seed_ = 0;
};

}  // namespace tamsel
