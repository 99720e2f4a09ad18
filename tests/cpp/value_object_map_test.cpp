#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "value/value.h"

namespace tamsel {
namespace {

Value key(const std::string& s) { return Value::string(s); }

// prefix + number, spelt out to keep GCC 12's -Wrestrict false positive on
// "literal" + std::string quiet.
std::string numbered(std::string_view prefix, size_t i) {
  std::string text(prefix);
  text += std::to_string(i);
  return text;
}

std::vector<std::string> keys_of(const ObjectMap& map) {
  std::vector<std::string> keys;
  for (const auto& entry : map) keys.emplace_back(entry.key.as_string());
  return keys;
}

uint64_t value_of(const ObjectMap& map, const std::string& k) {
  const Value* v = map.get(k);
  EXPECT_NE(v, nullptr) << k;
  return v ? v->as_u64() : ~uint64_t{0};
}

// A map filled with insert() with keys k0..k{n-1}, values 0..n-1.
ObjectMap filled(size_t n) {
  ObjectMap map;
  for (size_t i = 0; i < n; ++i) map.insert(key(numbered("k", i)), Value::u64(i));
  return map;
}

TEST(ObjectMap, FormFollowsCapacity) {
  struct Case { size_t capacity; bool hashed; };
  for (Case c : {Case{0, false}, Case{1, false}, Case{32, false}, Case{33, true},
                 Case{1000, true}}) {
    EXPECT_EQ(ObjectMap::with_capacity(c.capacity).is_hashed(), c.hashed) << c.capacity;
  }
}

TEST(ObjectMap, ReplaceKeepsPositionAndFirstKey) {
  for (size_t n : {3, 40}) {  // list form and hashed form
    ObjectMap map = filled(n);
    EXPECT_TRUE(map.insert(key("k1"), Value::u64(100)));
    EXPECT_FALSE(map.insert(key("new"), Value::u64(7)));
    ASSERT_EQ(map.size(), n + 1);
    EXPECT_EQ(keys_of(map)[1], "k1");
    EXPECT_EQ(keys_of(map).back(), "new");
    EXPECT_EQ(value_of(map, "k1"), 100u);
    EXPECT_EQ(map.get("missing"), nullptr);
  }
}

TEST(ObjectMap, ConvertsWhenInsertingIntoFullList) {
  ObjectMap map = filled(32);
  EXPECT_FALSE(map.is_hashed());
  // Replacing an existing key converts too.
  EXPECT_TRUE(map.insert(key("k5"), Value::u64(55)));
  EXPECT_TRUE(map.is_hashed());
  EXPECT_EQ(map.size(), 32u);
  EXPECT_EQ(value_of(map, "k5"), 55u);

  ObjectMap grown = filled(33);
  EXPECT_TRUE(grown.is_hashed());
  std::vector<std::string> expected;
  for (int i = 0; i < 33; ++i) expected.push_back(numbered("k", i));
  EXPECT_EQ(keys_of(grown), expected);
}

TEST(ObjectMap, ConversionMergesDuplicates) {
  // A parsed list-form map may hold a key twice; converting keeps the first
  // key's position with the later value.
  ObjectMap map = ObjectMap::with_capacity(32);
  for (int i = 0; i < 32; ++i) {
    map.insert_unchecked(key(i == 20 ? "k3" : numbered("k", i)), Value::u64(i));
  }
  EXPECT_EQ(value_of(map, "k3"), 3u);  // first match in list form
  map.insert(key("extra"), Value::u64(99));
  EXPECT_TRUE(map.is_hashed());
  EXPECT_EQ(map.size(), 32u);  // 32 - 1 merged + 1 new
  EXPECT_EQ(value_of(map, "k3"), 20u);
  std::vector<std::string> keys = keys_of(map);
  EXPECT_EQ(keys[3], "k3");
  EXPECT_EQ(keys[20], "k21");
  EXPECT_EQ(keys.back(), "extra");
}

TEST(ObjectMap, GetReturnsFirstDuplicateInBothForms) {
  // (A full list-form map would convert on insert and merge; covered above.)
  for (size_t n : {2, 31, 33, 500}) {
    ObjectMap map = ObjectMap::with_capacity(n);
    for (size_t i = 0; i < n; ++i) {
      map.insert_unchecked(key(i % 2 ? "dup" : numbered("u", i)), Value::u64(i));
    }
    ASSERT_EQ(map.size(), n);
    EXPECT_EQ(value_of(map, "dup"), 1u) << n;
    // insert() replaces that first one and adds nothing.
    EXPECT_TRUE(map.insert(key("dup"), Value::u64(777)));
    EXPECT_EQ(map.size(), n);
    EXPECT_EQ(map.begin()[1].value.as_u64(), 777u);
  }
}

TEST(ObjectMap, ParsedMapRepeatingOneKeyStaysLinear) {
  // Every repeat hashes alike. Probing past each earlier copy would make
  // filling this map take some 10^11 steps; with one index slot per distinct
  // key it is instant, and lookups, copies and merges still see the first.
  constexpr size_t n = 1'000'000;
  ObjectMap map = ObjectMap::with_capacity(n + 1);
  for (size_t i = 0; i < n; ++i) map.insert_unchecked(key("k"), Value::u64(i));
  map.insert_unchecked(key("other"), Value::u64(n));
  EXPECT_EQ(map.size(), n + 1);
  EXPECT_EQ(value_of(map, "k"), 0u);
  EXPECT_EQ(value_of(map, "other"), n);
  ObjectMap copy = map.copy();
  EXPECT_EQ(copy.size(), n + 1);
  EXPECT_EQ(value_of(copy, "k"), 0u);
  EXPECT_TRUE(map.insert(key("k"), Value::u64(7)));  // replaces the first copy
  EXPECT_EQ(value_of(map, "k"), 7u);
  EXPECT_EQ(map.begin()->value.as_u64(), 7u);
  EXPECT_EQ((map.begin() + 1)->value.as_u64(), 1u);
}

TEST(ObjectMap, ManyKeysWithSharedPrefixesAndEmptyKey) {
  ObjectMap map;
  const std::string prefix(100, 'p');
  const size_t n = 5000;
  for (size_t i = 0; i < n; ++i) map.insert(key(numbered(prefix, i)), Value::u64(i));
  map.insert(key(""), Value::u64(n));
  map.insert(key(std::string("a\0b", 3)), Value::u64(n + 1));
  ASSERT_EQ(map.size(), n + 2);
  for (size_t i = 0; i < n; ++i) ASSERT_EQ(value_of(map, numbered(prefix, i)), i);
  EXPECT_EQ(value_of(map, ""), n);
  EXPECT_EQ(value_of(map, std::string("a\0b", 3)), n + 1);
  EXPECT_EQ(map.get("a"), nullptr);
  EXPECT_EQ(map.get(prefix), nullptr);
  size_t i = 0;
  for (const auto& entry : map) {
    if (i < n) {
      ASSERT_EQ(entry.key.as_string(), numbered(prefix, i));
    }
    ++i;
  }
}

TEST(ObjectMap, CopyKeepsFormAndOrder) {
  for (size_t n : {5, 33, 300}) {
    ObjectMap map = ObjectMap::with_capacity(n);
    for (size_t i = 0; i < n; ++i) map.insert_unchecked(key(numbered("k", n - i)), Value::u64(i));
    map.insert_unchecked(key("k1"), Value::u64(999));  // duplicate survives the copy
    ObjectMap copy = map.copy();
    EXPECT_EQ(copy.is_hashed(), map.is_hashed());
    EXPECT_EQ(keys_of(copy), keys_of(map));
    EXPECT_EQ(value_of(copy, "k1"), n - 1);
    // Independent storage.
    copy.insert(key("k1"), Value::u64(5));
    EXPECT_EQ(value_of(map, "k1"), n - 1);
    EXPECT_NE(copy.begin()->key.as_string().data(), map.begin()->key.as_string().data());
  }
}

TEST(ObjectMap, MovesLeaveSourceEmpty) {
  static_assert(std::is_nothrow_move_constructible_v<ObjectMap>);
  static_assert(std::is_nothrow_move_assignable_v<ObjectMap>);
  ObjectMap map = filled(40);
  ObjectMap moved(std::move(map));
  EXPECT_EQ(moved.size(), 40u);
  EXPECT_EQ(value_of(moved, "k39"), 39u);
  ObjectMap target = filled(3);
  target = std::move(moved);
  EXPECT_EQ(target.size(), 40u);
  EXPECT_TRUE(target.is_hashed());
  EXPECT_EQ(value_of(target, "k0"), 0u);
}

TEST(ObjectMap, CapacityTooLargeIsInternalFault) {
  EXPECT_THROW(ObjectMap::with_capacity(size_t{1} << 40), InternalFault);
}

}  // namespace
}  // namespace tamsel
