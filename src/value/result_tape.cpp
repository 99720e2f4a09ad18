#include "value/result_tape.h"

#include <limits>

#include "runtime/bounds.h"
#include "runtime/fault.h"

namespace tamsel {

void ResultTape::put_count(size_t count) {
  // No string or container of a document or of a call's budget comes near.
  if (count > std::numeric_limits<uint32_t>::max()) throw InternalFault("capacity overflow");
  put(static_cast<uint32_t>(count));
}

void ResultTape::put_string(std::string_view s) {
  put_count(s.size());
  bytes_.append(s);
  runtime::note_text_work(s.size());
}

void ResultTape::append(View v) {
  runtime::note_work();
  switch (v.kind()) {
    case Kind::Null: put_tag(kNull); return;
    case Kind::Bool: put_tag(v.as_bool() ? kTrue : kFalse); return;
    case Kind::I64: put_tag(kI64); put(v.as_u64()); return;
    case Kind::U64: put_tag(kU64); put(v.as_u64()); return;
    case Kind::F64: put_tag(kF64); put(v.as_f64()); return;
    case Kind::String: put_tag(kString); put_string(v.as_string()); return;
    case Kind::Array:
      put_tag(kArray);
      put_count(v.size());
      for (View element : v.elements()) append(element);
      return;
    case Kind::Object:
      begin_object(v.size());
      for (const View::Member& member : v.members()) append_member(member.key, member.value);
      return;
  }
}

void ResultTape::begin_object(size_t count) {
  put_tag(kObject);
  put_count(count);
}

void ResultTape::append_member(std::string_view key, View value) {
  put_string(key);
  append(value);
}

void ResultTape::append_entries(View object) {
  put_tag(kArray);
  put_count(object.size());
  for (const View::Member& member : object.members()) {
    begin_object(2);
    put_string("key");
    put_tag(kString);
    put_string(member.key);
    append_member("value", member.value);
  }
}

void ResultTape::begin_text() {
  put_tag(kText);
  text_start_ = bytes_.size();
  put(uint32_t{0});
}

void ResultTape::end_text() {
  const size_t size = bytes_.size() - text_start_ - sizeof(uint32_t);
  if (size > std::numeric_limits<uint32_t>::max()) throw InternalFault("capacity overflow");
  const uint32_t length = static_cast<uint32_t>(size);
  std::memcpy(bytes_.data() + text_start_, &length, sizeof length);
}

}  // namespace tamsel
