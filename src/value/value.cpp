#include "value/value.h"

#include "runtime/bounds.h"

namespace tamsel {

Value Value::object(ObjectMap map) {
  Value v;
  v.obj_ = new ObjectMap(std::move(map));
  v.kind_ = Kind::Object;
  return v;
}

Value Value::object_with_room(size_t n) {
  Value v;
  v.obj_ = new ObjectMap(ObjectMap::with_capacity(n));
  v.kind_ = Kind::Object;
  return v;
}

Value Value::copy() const {
  if (part_) return document_part(kind_, doc_, len_);
  switch (kind_) {
    case Kind::String:
      return owns_ ? Value::string(as_string()) : Value::string_view(str_, len_);
    case Kind::Array: {
      Array elements;
      elements.reserve(arr_->size());
      // A deep copy of a large value is long work: it counts for the poll.
      for (const Value& element : *arr_) {
        runtime::note_work();
        elements.push_back(element.copy());
      }
      return Value::array(std::move(elements));
    }
    case Kind::Object:
      return Value::object(obj_->copy());
    case Kind::Bool:
      return Value::boolean(b_);
    case Kind::I64:
      return Value::i64(i_);
    case Kind::U64:
      return Value::u64(u_);
    case Kind::F64:
      return Value::f64(f_);
    case Kind::Null:
      break;
  }
  return Value();
}

void Value::release() noexcept {
  switch (kind_) {
    case Kind::String:
      if (owns_) delete[] str_;
      break;
    case Kind::Array:
      delete arr_;
      break;
    case Kind::Object:
      delete obj_;
      break;
    default:
      break;
  }
  kind_ = Kind::Null;
  owns_ = false;
}

}  // namespace tamsel
