#include "table/column_builder.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include "engine/render.h"

namespace tamsel::table {
namespace {

using Tag = ResultTape::Tag;

const char* value_word(Tag tag) {
  switch (tag) {
    case ResultTape::kNull: return "null";
    case ResultTape::kFalse:
    case ResultTape::kTrue: return "a boolean";
    case ResultTape::kI64:
    case ResultTape::kU64: return "an integer";
    case ResultTape::kF64: return "a float";
    case ResultTape::kString:
    case ResultTape::kText: return "a string";
    case ResultTape::kArray: return "an array";
    case ResultTape::kObject: return "an object";
  }
  return "a value";
}

template <class T>
void append_decimal(std::string& out, T value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, static_cast<size_t>(end - digits));
}

void append_json_tagged(std::string& out, Tag tag, ResultTape::Reader& reader) {
  switch (tag) {
    case ResultTape::kNull: out += "null"; return;
    case ResultTape::kFalse: out += "false"; return;
    case ResultTape::kTrue: out += "true"; return;
    case ResultTape::kI64: append_decimal(out, static_cast<int64_t>(reader.number())); return;
    case ResultTape::kU64: append_decimal(out, reader.number()); return;
    case ResultTape::kF64: {
      const double x = reader.f64();
      if (std::isnan(x)) {
        out += "null";
      } else if (std::isinf(x)) {
        // As tojson writes an infinity: the largest finite double.
        out += x < 0 ? "-1.7976931348623157e+308" : "1.7976931348623157e+308";
      } else {
        engine::append_float(out, x);
      }
      return;
    }
    case ResultTape::kString: engine::escape_json_string(out, reader.string()); return;
    case ResultTape::kText: out += reader.string(); return;
    case ResultTape::kArray: {
      out += '[';
      for (uint32_t i = 0, n = reader.count(); i < n; ++i) {
        if (i) out += ',';
        append_json_tagged(out, reader.tag(), reader);
      }
      out += ']';
      return;
    }
    case ResultTape::kObject: {
      out += '{';
      for (uint32_t i = 0, n = reader.count(); i < n; ++i) {
        if (i) out += ',';
        engine::escape_json_string(out, reader.string());
        out += ':';
        append_json_tagged(out, reader.tag(), reader);
      }
      out += '}';
      return;
    }
  }
}

size_t fixed_width(TypeKind kind) {
  switch (kind) {
    case TypeKind::kInt8:
    case TypeKind::kUInt8: return 1;
    case TypeKind::kInt16:
    case TypeKind::kUInt16: return 2;
    case TypeKind::kInt32:
    case TypeKind::kUInt32:
    case TypeKind::kFloat32: return 4;
    case TypeKind::kInt64:
    case TypeKind::kUInt64:
    case TypeKind::kFloat64: return 8;
    default: return 0;
  }
}

bool is_integer(TypeKind kind) {
  return kind >= TypeKind::kInt8 && kind <= TypeKind::kUInt64;
}

// The range of an integer type, as a signed and an unsigned bound.
struct IntRange {
  int64_t min;
  uint64_t max;
};

IntRange range_of(TypeKind kind) {
  switch (kind) {
    case TypeKind::kInt8: return {INT8_MIN, INT8_MAX};
    case TypeKind::kInt16: return {INT16_MIN, INT16_MAX};
    case TypeKind::kInt32: return {INT32_MIN, INT32_MAX};
    case TypeKind::kInt64: return {INT64_MIN, INT64_MAX};
    case TypeKind::kUInt8: return {0, UINT8_MAX};
    case TypeKind::kUInt16: return {0, UINT16_MAX};
    case TypeKind::kUInt32: return {0, UINT32_MAX};
    default: return {0, UINT64_MAX};
  }
}

// What an exported array owns: its buffers, and its children's structs.
struct ExportedArray {
  std::vector<Buffer> buffers;
  std::vector<const void*> pointers;
  std::unique_ptr<ArrowArray[]> children;
  std::unique_ptr<ArrowArray*[]> child_pointers;
  int64_t n_children = 0;
};

void release_array(ArrowArray* array) {
  auto* exported = static_cast<ExportedArray*>(array->private_data);
  for (int64_t i = 0; i < exported->n_children; ++i) {
    ArrowArray* child = exported->child_pointers[i];
    if (child->release) child->release(child);
  }
  delete exported;
  array->release = nullptr;
}

void fill_array(std::unique_ptr<ExportedArray> exported, int64_t length, int64_t nulls,
                ArrowArray* out) {
  out->length = length;
  out->null_count = nulls;
  out->offset = 0;
  out->n_buffers = static_cast<int64_t>(exported->pointers.size());
  out->buffers = exported->pointers.data();
  out->n_children = exported->n_children;
  out->children = exported->child_pointers.get();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = exported.release();
}

void take_children(ExportedArray& exported, std::vector<ArrowArray> children) {
  exported.n_children = static_cast<int64_t>(children.size());
  exported.children = std::make_unique<ArrowArray[]>(children.size());
  exported.child_pointers = std::make_unique<ArrowArray*[]>(children.size());
  for (size_t i = 0; i < children.size(); ++i) {
    exported.children[i] = children[i];
    exported.child_pointers[i] = &exported.children[i];
  }
}

// Offsets as int32, when they all fit.
bool narrow_offsets(const Buffer& wide, Buffer* narrow) {
  const size_t count = wide.size() / sizeof(int64_t);
  const auto* from = reinterpret_cast<const int64_t*>(wide.data());
  if (count && from[count - 1] > std::numeric_limits<int32_t>::max()) return false;
  narrow->resize(count * sizeof(int32_t));
  auto* to = narrow->as<int32_t>();
  for (size_t i = 0; i < count; ++i) to[i] = static_cast<int32_t>(from[i]);
  return true;
}

}  // namespace

void append_tape_json(std::string& out, ResultTape::Reader& reader) {
  append_json_tagged(out, reader.tag(), reader);
}

ColumnBuilder::ColumnBuilder(const ColumnType& type, bool open_structs, std::string path)
    : type_(type), open_structs_(open_structs), path_(std::move(path)) {
  if (type.is_string() || type.is_list()) offsets_.push<int64_t>(0);
  for (const ColumnType& child : type.children) {
    std::string child_path = type.is_list() ? path_ + "[]"
                             : path_.empty() ? child.name
                                             : path_ + "." + child.name;
    children_.emplace_back(child, open_structs, std::move(child_path));
  }
}

void ColumnBuilder::set_valid() {
  if (validity_.size() == 0) return;
  const size_t byte = length_ / 8;
  if (byte >= validity_.size()) validity_.resize(byte + 1);
  validity_.data()[byte] |= static_cast<uint8_t>(1u << (length_ % 8));
}

void ColumnBuilder::set_null_bit() {
  if (validity_.size() == 0) {
    // Every value so far was valid.
    validity_.resize(length_ / 8 + 1);
    std::memset(validity_.data(), 0xFF, length_ / 8);
    validity_.data()[length_ / 8] = static_cast<uint8_t>((1u << (length_ % 8)) - 1);
    return;
  }
  const size_t byte = length_ / 8;
  if (byte >= validity_.size()) validity_.resize(byte + 1);
}

void ColumnBuilder::push_offset(size_t end) { offsets_.push<int64_t>(static_cast<int64_t>(end)); }

void ColumnBuilder::append_null() {
  set_null_bit();
  ++nulls_;
  if (type_.kind == TypeKind::kBool) {
    values_.resize(length_ / 8 + 1);
  } else if (const size_t width = fixed_width(type_.kind)) {
    values_.resize(values_.size() + width);
  } else if (type_.is_string()) {
    push_offset(data_.size());
  } else if (type_.is_list()) {
    push_offset(children_.front().length());
  } else if (type_.kind == TypeKind::kStruct) {
    for (ColumnBuilder& child : children_) child.append_null();
  }
  ++length_;
}

bool ColumnBuilder::mismatch(ResultTape::Reader& reader, Tag tag, Mismatch policy,
                             Misfit* misfit, const std::string& what) {
  skip_rest(tag, reader);
  if (policy == Mismatch::kNull) {
    append_null();
    return true;
  }
  misfit->path = path_;
  misfit->message = what + " does not fit " + describe(type_);
  return false;
}

bool ColumnBuilder::append(ResultTape::Reader& reader, Mismatch policy, Misfit* misfit) {
  return append_tagged(reader.tag(), reader, policy, misfit);
}

bool ColumnBuilder::append_integer(Tag tag, uint64_t bits, ResultTape::Reader& reader,
                                   Mismatch policy, Misfit* misfit) {
  const bool negative = tag == ResultTape::kI64 && static_cast<int64_t>(bits) < 0;
  const IntRange range = range_of(type_.kind);
  const bool fits = negative ? static_cast<int64_t>(bits) >= range.min : bits <= range.max;
  if (!fits) {
    std::string what = "the integer ";
    if (negative) {
      append_decimal(what, static_cast<int64_t>(bits));
    } else {
      append_decimal(what, bits);
    }
    return mismatch(reader, ResultTape::kNull, policy, misfit, what);
  }
  set_valid();
  // Two's complement: the low bytes are the value at every width.
  values_.append(&bits, fixed_width(type_.kind));
  ++length_;
  return true;
}

bool ColumnBuilder::append_float(double x, ResultTape::Reader& reader, Mismatch policy,
                                 Misfit* misfit) {
  if (is_integer(type_.kind)) {
    // An integral float is the integer it spells, where that fits.
    if (std::isfinite(x) && x == std::trunc(x) && x >= -0x1p63 && x < 0x1p64) {
      if (x < 0) {
        return append_integer(ResultTape::kI64, static_cast<uint64_t>(static_cast<int64_t>(x)),
                              reader, policy, misfit);
      }
      return append_integer(ResultTape::kU64, static_cast<uint64_t>(x), reader, policy, misfit);
    }
    std::string what = "the float ";
    engine::append_float(what, x);
    return mismatch(reader, ResultTape::kNull, policy, misfit, what);
  }
  set_valid();
  if (type_.kind == TypeKind::kFloat32) {
    values_.push(static_cast<float>(x));
  } else {
    values_.push(x);
  }
  ++length_;
  return true;
}

bool ColumnBuilder::append_tagged(Tag tag, ResultTape::Reader& reader, Mismatch policy,
                                  Misfit* misfit) {
  if (tag == ResultTape::kNull) {
    append_null();
    return true;
  }
  if (type_.json) {
    std::string text;
    append_json_tagged(text, tag, reader);
    set_valid();
    data_.append(text.data(), text.size());
    push_offset(data_.size());
    ++length_;
    return true;
  }
  switch (type_.kind) {
    case TypeKind::kNull: break;
    case TypeKind::kBool:
      if (tag != ResultTape::kTrue && tag != ResultTape::kFalse) break;
      set_valid();
      values_.resize(length_ / 8 + 1);
      if (tag == ResultTape::kTrue) values_.data()[length_ / 8] |= static_cast<uint8_t>(1u << (length_ % 8));
      ++length_;
      return true;
    case TypeKind::kInt8: case TypeKind::kInt16: case TypeKind::kInt32: case TypeKind::kInt64:
    case TypeKind::kUInt8: case TypeKind::kUInt16: case TypeKind::kUInt32: case TypeKind::kUInt64:
      if (tag == ResultTape::kI64 || tag == ResultTape::kU64)
        return append_integer(tag, reader.number(), reader, policy, misfit);
      if (tag == ResultTape::kF64) return append_float(reader.f64(), reader, policy, misfit);
      break;
    case TypeKind::kFloat32: case TypeKind::kFloat64:
      if (tag == ResultTape::kI64)
        return append_float(static_cast<double>(static_cast<int64_t>(reader.number())), reader,
                            policy, misfit);
      if (tag == ResultTape::kU64)
        return append_float(static_cast<double>(reader.number()), reader, policy, misfit);
      if (tag == ResultTape::kF64) return append_float(reader.f64(), reader, policy, misfit);
      break;
    case TypeKind::kString: case TypeKind::kLargeString:
      if (tag != ResultTape::kString && tag != ResultTape::kText) break;
      {
        const std::string_view s = reader.string();
        set_valid();
        data_.append(s.data(), s.size());
        push_offset(data_.size());
        ++length_;
      }
      return true;
    case TypeKind::kList: case TypeKind::kLargeList:
      if (tag != ResultTape::kArray) break;
      {
        ColumnBuilder& item = children_.front();
        for (uint32_t n = reader.count(); n > 0; --n)
          if (!item.append(reader, policy, misfit)) return false;
        set_valid();
        push_offset(item.length());
        ++length_;
      }
      return true;
    case TypeKind::kStruct:
      if (tag != ResultTape::kObject) break;
      if (!append_struct(reader, policy, misfit)) return false;
      set_valid();
      ++length_;
      return true;
  }
  return mismatch(reader, tag, policy, misfit, value_word(tag));
}

bool ColumnBuilder::append_struct(ResultTape::Reader& reader, Mismatch policy, Misfit* misfit) {
  const size_t row = length_;
  const size_t fields = children_.size();
  for (uint32_t n = reader.count(); n > 0; --n) {
    const std::string_view key = reader.string();
    // Members come in the same order in most objects of a column.
    size_t at = field_cursor_ < fields && children_[field_cursor_].type_.name == key
                    ? field_cursor_
                    : fields;
    for (size_t i = 0; at == fields && i < fields; ++i)
      if (children_[i].type_.name == key) at = i;
    if (at == fields) {
      if (open_structs_ || policy == Mismatch::kNull) {
        skip_value(reader);
        continue;
      }
      misfit->path = path_;
      misfit->message = "a member '" + std::string(key) + "' does not fit " + describe(type_);
      return false;
    }
    field_cursor_ = at + 1;
    ColumnBuilder& child = children_[at];
    if (child.length() > row) {
      skip_value(reader);  // a repeated key: the first one counts
      continue;
    }
    if (!child.append(reader, policy, misfit)) return false;
  }
  field_cursor_ = 0;
  for (ColumnBuilder& child : children_)
    if (child.length() == row) child.append_null();
  return true;
}

bool ColumnBuilder::append_row(ResultTape::Reader& reader, Mismatch policy, Misfit* misfit) {
  const Tag tag = reader.tag();
  if (tag == ResultTape::kObject) {
    if (!append_struct(reader, policy, misfit)) return false;
  } else {
    skip_rest(tag, reader);
    if (tag != ResultTape::kNull && policy == Mismatch::kRaise) {
      misfit->path.clear();
      misfit->message = std::string(value_word(tag)) +
                        " is not an object, whose members would be the row's columns";
      return false;
    }
    for (ColumnBuilder& child : children_) child.append_null();
  }
  ++length_;
  return true;
}

ColumnType ColumnBuilder::finished_type(bool may_grow) const {
  ColumnType type = type_;
  type.children.clear();
  for (const ColumnBuilder& child : children_) type.children.push_back(child.finished_type(may_grow));
  if (may_grow && offsets_.size() >= sizeof(int64_t)) {
    const int64_t end = reinterpret_cast<const int64_t*>(offsets_.data())[offsets_.size() / 8 - 1];
    if (end > std::numeric_limits<int32_t>::max()) {
      if (type.kind == TypeKind::kString) type.kind = TypeKind::kLargeString;
      if (type.kind == TypeKind::kList) type.kind = TypeKind::kLargeList;
    }
  }
  return type;
}

bool ColumnBuilder::finish(const ColumnType& type, bool batch, ArrowArray* out) {
  auto exported = std::make_unique<ExportedArray>();
  std::vector<ArrowArray> children;
  for (size_t i = 0; i < children_.size(); ++i) {
    ArrowArray child;
    if (!children_[i].finish(type.children[i], false, &child)) {
      for (ArrowArray& done : children) done.release(&done);
      return false;
    }
    children.push_back(child);
  }
  // A record batch's struct has its slot for validity, and none in it.
  const bool validity = type.kind != TypeKind::kNull;
  const bool with_nulls = nulls_ > 0 && !batch;
  if (validity) {
    if (with_nulls) validity_.resize((length_ + 7) / 8);
    exported->buffers.push_back(with_nulls ? std::move(validity_) : Buffer());
  }
  auto take_offsets = [&](bool large) {
    if (large) {
      exported->buffers.push_back(std::move(offsets_));
      return true;
    }
    Buffer narrow;
    if (!narrow_offsets(offsets_, &narrow)) return false;
    exported->buffers.push_back(std::move(narrow));
    return true;
  };
  switch (type.kind) {
    case TypeKind::kNull:
    case TypeKind::kStruct: break;
    case TypeKind::kString:
    case TypeKind::kLargeString:
      if (!take_offsets(type.kind == TypeKind::kLargeString)) {
        for (ArrowArray& done : children) done.release(&done);
        return false;
      }
      exported->buffers.push_back(std::move(data_));
      break;
    case TypeKind::kList:
    case TypeKind::kLargeList:
      if (!take_offsets(type.kind == TypeKind::kLargeList)) {
        for (ArrowArray& done : children) done.release(&done);
        return false;
      }
      break;
    default:
      if (type.kind == TypeKind::kBool) values_.resize((length_ + 7) / 8);
      exported->buffers.push_back(std::move(values_));
      break;
  }
  for (Buffer& buffer : exported->buffers)
    exported->pointers.push_back(buffer.size() ? buffer.data() : nullptr);
  // A buffer with nothing in it still needs an address for some readers.
  static const int64_t kNothing[1] = {0};
  for (size_t i = validity ? 1 : 0; i < exported->pointers.size(); ++i)
    if (!exported->pointers[i]) exported->pointers[i] = kNothing;
  take_children(*exported, std::move(children));
  const int64_t length = static_cast<int64_t>(length_);
  const int64_t nulls = type.kind == TypeKind::kNull ? length : batch ? 0 : static_cast<int64_t>(nulls_);
  fill_array(std::move(exported), length, nulls, out);
  length_ = nulls_ = 0;
  return true;
}

void export_batch(std::vector<ArrowArray> children, int64_t length, ArrowArray* out) {
  auto exported = std::make_unique<ExportedArray>();
  exported->pointers.push_back(nullptr);
  take_children(*exported, std::move(children));
  fill_array(std::move(exported), length, 0, out);
}

}  // namespace tamsel::table
