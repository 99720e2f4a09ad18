#include "value/object_map.h"

#include <algorithm>
#include <cstring>
#include <utility>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "runtime/bounds.h"
#include "value/hash_seed.h"
#include "value/same_bytes.h"

namespace tamsel {
namespace {

constexpr size_t kMinSlots = 64;

// Power-of-two slot count that keeps the load at or below one half for
// `entries` entries.
size_t slots_for(size_t entries) {
  size_t slots = kMinSlots;
  while (slots < entries * 2) slots *= 2;
  return slots;
}

void check_capacity(size_t n, size_t limit) {
  if (n > limit) throw InternalFault("capacity overflow");
}

}  // namespace

ObjectMap::~ObjectMap() = default;
ObjectMap::ObjectMap(ObjectMap&&) noexcept = default;
ObjectMap& ObjectMap::operator=(ObjectMap&&) noexcept = default;

void ObjectMap::begin_hashed(size_t n) {
  check_capacity(n, kMaxEntries);
  entries_.reserve(n);
  // The seed is drawn only for maps that hash: list-form maps, by far the
  // most common, never need one.
  seed_ = next_hash_seed();
  rebuild_index(slots_for(n));
}

size_t ObjectMap::size() const { return entries_.size(); }
bool ObjectMap::is_hashed() const { return index_ != nullptr; }

ObjectMap::Entry* ObjectMap::begin() { return entries_.data(); }
ObjectMap::Entry* ObjectMap::end() { return entries_.data() + entries_.size(); }
const ObjectMap::Entry* ObjectMap::begin() const { return entries_.data(); }
const ObjectMap::Entry* ObjectMap::end() const { return entries_.data() + entries_.size(); }

bool ObjectMap::equal_key(uint32_t position, std::string_view key) const {
  return same_text(entries_[position].key.as_string(), key);
}

uint64_t ObjectMap::hash(std::string_view key) const {
  return XXH3_64bits_withSeed(key.data(), key.size(), seed_);
}

int64_t ObjectMap::find(std::string_view key) const {
  if (!index_) {
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (equal_key(static_cast<uint32_t>(i), key)) return static_cast<int64_t>(i);
    }
    return -1;
  }
  // Entries enter the index in entry order and never leave it, so among equal
  // keys the probe meets the earliest one first.
  for (size_t slot = hash(key) & index_mask_; index_[slot] != 0; slot = (slot + 1) & index_mask_) {
    uint32_t position = index_[slot] - 1;
    if (equal_key(position, key)) return position;
  }
  return -1;
}

size_t ObjectMap::free_slot(std::string_view key) const {
  size_t slot = hash(key) & index_mask_;
  while (index_[slot] != 0) slot = (slot + 1) & index_mask_;
  return slot;
}

void ObjectMap::index_entry(size_t position) {
  // Only the first entry of each key is indexed: lookups never need a later
  // duplicate, and a document repeating one key many times would otherwise
  // pile every copy into one probe sequence and make parsing it quadratic.
  std::string_view key = entries_[position].key.as_string();
  size_t slot = hash(key) & index_mask_;
  for (; index_[slot] != 0; slot = (slot + 1) & index_mask_) {
    if (equal_key(index_[slot] - 1, key)) return;
  }
  index_[slot] = static_cast<uint32_t>(position + 1);
}

void ObjectMap::rebuild_index(size_t slots) {
  index_ = std::make_unique<uint32_t[]>(slots);  // zeroed
  index_mask_ = slots - 1;
  for (size_t i = 0; i < entries_.size(); ++i) index_entry(i);
}

void ObjectMap::reserve_one_more() {
  size_t n = entries_.size() + 1;
  check_capacity(n, kMaxEntries);
  if (n > entries_.capacity()) entries_.reserve(std::max(n, entries_.capacity() * 2));
  if (index_ && n * 2 > index_mask_ + 1) rebuild_index((index_mask_ + 1) * 2);
}

const Value* ObjectMap::get(std::string_view key) const {
  int64_t position = find(key);
  return position < 0 ? nullptr : &entries_[position].value;
}

Value* ObjectMap::get(std::string_view key) {
  int64_t position = find(key);
  return position < 0 ? nullptr : &entries_[position].value;
}

bool ObjectMap::insert_hashed(Value key, Value value) {
  int64_t position = find(key.as_string());
  if (position >= 0) {
    entries_[position].value = std::move(value);
    return true;
  }
  reserve_one_more();
  index_[free_slot(key.as_string())] = static_cast<uint32_t>(entries_.size() + 1);
  entries_.push_back(Entry{std::move(key), std::move(value)});
  return false;
}

void ObjectMap::convert_to_hashed() {
  // Everything is allocated before the first entry moves, so a failed
  // allocation leaves the map as it was.
  ObjectMap hashed;
  hashed.entries_.reserve(entries_.size() + 1);
  hashed.seed_ = seed_ != 0 ? seed_ : next_hash_seed();
  hashed.rebuild_index(slots_for(entries_.size() + 1));
  // Moving in list order through the hashed insert merges duplicate keys:
  // the first key keeps its position and the later value wins.
  for (Entry& entry : entries_) hashed.insert_hashed(std::move(entry.key), std::move(entry.value));
  *this = std::move(hashed);
}

bool ObjectMap::insert(Value key, Value value) {
  if (!index_) {
    if (entries_.size() < kListLimit) {
      int64_t position = find(key.as_string());
      if (position >= 0) {
        entries_[position].value = std::move(value);
        return true;
      }
      entries_.push_back(Entry{std::move(key), std::move(value)});
      return false;
    }
    convert_to_hashed();
  }
  return insert_hashed(std::move(key), std::move(value));
}

void ObjectMap::insert_unchecked_growing(Value key, Value value) {
  reserve_one_more();
  entries_.push_back(Entry{std::move(key), std::move(value)});
  if (index_) index_entry(entries_.size() - 1);
}

ObjectMap ObjectMap::copy() const {
  ObjectMap result;
  result.entries_.reserve(entries_.size());
  for (const Entry& entry : entries_) {
    runtime::note_work();
    result.entries_.push_back(Entry{entry.key.copy(), entry.value.copy()});
  }
  if (index_) {
    size_t slots = index_mask_ + 1;
    result.index_ = std::make_unique<uint32_t[]>(slots);
    std::memcpy(result.index_.get(), index_.get(), slots * sizeof(uint32_t));
    result.index_mask_ = index_mask_;
  }
  result.seed_ = seed_;
  return result;
}

}  // namespace tamsel
