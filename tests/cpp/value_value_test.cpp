#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "value/value.h"

namespace tamsel {
namespace {

TEST(Value, ScalarsCopyAsTheyAre) {
  struct Case { Value v; Kind kind; };
  Case cases[] = {{Value::null(), Kind::Null},   {Value::boolean(true), Kind::Bool},
                  {Value::i64(-5), Kind::I64},   {Value::u64(UINT64_MAX), Kind::U64},
                  {Value::f64(-0.0), Kind::F64}};
  for (const Case& c : cases) {
    Value copy = c.v.copy();
    EXPECT_EQ(copy.kind(), c.kind);
  }
  EXPECT_EQ(Value::u64(UINT64_MAX).copy().as_u64(), UINT64_MAX);
  EXPECT_TRUE(std::signbit(Value::f64(-0.0).copy().as_f64()));
}

TEST(Value, OwnedStringsCopyBytesAndViewsStayViews) {
  const std::string backing = "document text";
  Value view = Value::string_view(backing.data(), 8);
  Value view_copy = view.copy();
  EXPECT_EQ(view_copy.as_string().data(), backing.data());
  EXPECT_EQ(view_copy.as_string(), "document");

  Value owned = Value::string("owned");
  Value owned_copy = owned.copy();
  EXPECT_EQ(owned_copy.as_string(), "owned");
  EXPECT_NE(owned_copy.as_string().data(), owned.as_string().data());
  EXPECT_EQ(Value::string("").copy().as_string(), "");
}

TEST(Value, ContainersCopyDeeply) {
  const std::string backing = "key";
  ObjectMap inner;
  inner.insert(Value::string_view(backing.data(), 3), Value::string("v"));
  Array elements;
  elements.push_back(Value::object(std::move(inner)));
  elements.push_back(Value::array({}));
  Value original = Value::array(std::move(elements));

  Value copy = original.copy();
  ASSERT_EQ(copy.kind(), Kind::Array);
  ASSERT_EQ(copy.as_array().size(), 2u);
  const ObjectMap& map = copy.as_array()[0].as_object();
  EXPECT_NE(&map, &original.as_array()[0].as_object());
  EXPECT_EQ(map.begin()->key.as_string().data(), backing.data());  // key view kept
  EXPECT_EQ(map.get("key")->as_string(), "v");
  // Changing the copy leaves the original alone.
  copy.as_array()[0].as_object().insert(Value::string("key"), Value::u64(1));
  EXPECT_EQ(original.as_array()[0].as_object().get("key")->kind(), Kind::String);
}

TEST(Value, MoveLeavesNull) {
  Value a = Value::string("text");
  Value b(std::move(a));
  EXPECT_TRUE(a.is_null());
  EXPECT_EQ(b.as_string(), "text");
  Value c = Value::array({});
  c = std::move(b);
  EXPECT_EQ(c.as_string(), "text");
}

}  // namespace
}  // namespace tamsel
