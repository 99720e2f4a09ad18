#include "table/column_type.h"

#include <cstring>
#include <limits>
#include <memory>
#include <utility>

namespace tamsel::table {
namespace {

constexpr std::string_view kExtensionName = "ARROW:extension:name";
constexpr std::string_view kJsonExtension = "arrow.json";

struct TypeName {
  TypeKind kind;
  const char* format;
  const char* name;
};

constexpr TypeName kNames[] = {
    {TypeKind::kNull, "n", "null"},          {TypeKind::kBool, "b", "bool"},
    {TypeKind::kInt8, "c", "int8"},          {TypeKind::kInt16, "s", "int16"},
    {TypeKind::kInt32, "i", "int32"},        {TypeKind::kInt64, "l", "int64"},
    {TypeKind::kUInt8, "C", "uint8"},        {TypeKind::kUInt16, "S", "uint16"},
    {TypeKind::kUInt32, "I", "uint32"},      {TypeKind::kUInt64, "L", "uint64"},
    {TypeKind::kFloat32, "f", "float32"},    {TypeKind::kFloat64, "g", "float64"},
    {TypeKind::kString, "u", "string"},      {TypeKind::kLargeString, "U", "large_string"},
    {TypeKind::kList, "+l", "list"},         {TypeKind::kLargeList, "+L", "large_list"},
    {TypeKind::kStruct, "+s", "struct"},
};

const TypeName& name_of(TypeKind kind) {
  for (const TypeName& name : kNames)
    if (name.kind == kind) return name;
  return kNames[0];
}

// Metadata as the interface encodes it: a count, then each key and value,
// every one an int32 length and its bytes (native byte order).
void put_int32(std::string& out, size_t n) {
  const int32_t v = static_cast<int32_t>(n);
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

std::string encode_metadata(const std::vector<std::pair<std::string_view, std::string_view>>& pairs) {
  std::string out;
  put_int32(out, pairs.size());
  for (const auto& [key, value] : pairs) {
    put_int32(out, key.size());
    out.append(key);
    put_int32(out, value.size());
    out.append(value);
  }
  return out;
}

int32_t read_int32(const char* at) {
  int32_t v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

// The pairs of encoded metadata, and its length.
std::vector<std::pair<std::string_view, std::string_view>> decode_metadata(const char* metadata,
                                                                            size_t* length) {
  std::vector<std::pair<std::string_view, std::string_view>> pairs;
  *length = 0;
  if (!metadata) return pairs;
  const char* at = metadata;
  const int32_t count = read_int32(at);
  at += 4;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t key_size = read_int32(at);
    const std::string_view key(at + 4, static_cast<size_t>(key_size));
    at += 4 + key_size;
    const int32_t value_size = read_int32(at);
    const std::string_view value(at + 4, static_cast<size_t>(value_size));
    at += 4 + value_size;
    pairs.emplace_back(key, value);
  }
  *length = static_cast<size_t>(at - metadata);
  return pairs;
}

}  // namespace

std::optional<size_t> ColumnType::field(std::string_view key) const {
  for (size_t i = 0; i < children.size(); ++i)
    if (children[i].name == key) return i;
  return std::nullopt;
}

std::string describe(const ColumnType& type) {
  if (type.json) return "json";
  std::string out = name_of(type.kind).name;
  if (type.is_list()) {
    out += '<';
    out += describe(type.children.front());
    out += '>';
  } else if (type.kind == TypeKind::kStruct) {
    out += '<';
    for (size_t i = 0; i < type.children.size(); ++i) {
      if (i) out += ", ";
      out += type.children[i].name;
      out += ": ";
      out += describe(type.children[i]);
    }
    out += '>';
  }
  return out;
}

void TypeInference::mix(Seen seen) {
  if (seen_ == Seen::kNothing || seen_ == seen) {
    seen_ = seen;
  } else if ((seen_ == Seen::kInteger && seen == Seen::kFloat) ||
             (seen_ == Seen::kFloat && seen == Seen::kInteger)) {
    seen_ = Seen::kFloat;
  } else {
    seen_ = Seen::kMixed;
    item_.clear();
    fields_.clear();
  }
}

void skip_value(ResultTape::Reader& reader) { skip_rest(reader.tag(), reader); }

void skip_rest(ResultTape::Tag tag, ResultTape::Reader& reader) {
  switch (tag) {
    case ResultTape::kNull:
    case ResultTape::kFalse:
    case ResultTape::kTrue: return;
    case ResultTape::kI64:
    case ResultTape::kU64: reader.number(); return;
    case ResultTape::kF64: reader.f64(); return;
    case ResultTape::kString:
    case ResultTape::kText: reader.string(); return;
    case ResultTape::kArray:
      for (uint32_t n = reader.count(); n > 0; --n) skip_value(reader);
      return;
    case ResultTape::kObject:
      for (uint32_t n = reader.count(); n > 0; --n) {
        reader.string();
        skip_value(reader);
      }
      return;
  }
}

void TypeInference::add(ResultTape::Reader& reader) {
  switch (reader.tag()) {
    case ResultTape::kNull: return;
    case ResultTape::kFalse:
    case ResultTape::kTrue: mix(Seen::kBool); return;
    case ResultTape::kI64:
      negative_ |= static_cast<int64_t>(reader.number()) < 0;
      mix(Seen::kInteger);
      return;
    case ResultTape::kU64:
      above_int64_ |= reader.number() > uint64_t{std::numeric_limits<int64_t>::max()};
      mix(Seen::kInteger);
      return;
    case ResultTape::kF64:
      reader.f64();
      mix(Seen::kFloat);
      return;
    case ResultTape::kString:
    case ResultTape::kText:
      reader.string();
      mix(Seen::kString);
      return;
    case ResultTape::kArray: {
      mix(Seen::kArray);
      const uint32_t count = reader.count();
      if (seen_ != Seen::kArray) {
        for (uint32_t n = count; n > 0; --n) skip_value(reader);
        return;
      }
      if (item_.empty()) item_.emplace_back();
      for (uint32_t n = count; n > 0; --n) item_.front().add(reader);
      return;
    }
    case ResultTape::kObject: {
      mix(Seen::kObject);
      const uint32_t count = reader.count();
      for (uint32_t n = count; n > 0; --n) {
        const std::string_view key = reader.string();
        if (seen_ != Seen::kObject) {
          skip_value(reader);
          continue;
        }
        TypeInference* field = nullptr;
        for (auto& [name, inference] : fields_)
          if (name == key) field = &inference;
        if (!field) field = &fields_.emplace_back(std::string(key), TypeInference()).second;
        field->add(reader);
      }
      return;
    }
  }
}

ColumnType TypeInference::type(std::string name) const {
  ColumnType type;
  type.name = std::move(name);
  switch (seen_) {
    case Seen::kNothing: type.kind = TypeKind::kNull; break;
    case Seen::kBool: type.kind = TypeKind::kBool; break;
    case Seen::kInteger:
      type.kind = above_int64_ ? (negative_ ? TypeKind::kFloat64 : TypeKind::kUInt64)
                               : TypeKind::kInt64;
      break;
    case Seen::kFloat: type.kind = TypeKind::kFloat64; break;
    case Seen::kString: type.kind = TypeKind::kString; break;
    case Seen::kArray:
      type.kind = TypeKind::kList;
      type.children.push_back(item_.empty() ? TypeInference().type("item")
                                            : item_.front().type("item"));
      break;
    case Seen::kObject:
      type.kind = TypeKind::kStruct;
      for (const auto& [key, inference] : fields_) type.children.push_back(inference.type(key));
      break;
    case Seen::kMixed:
      type.kind = TypeKind::kString;
      type.json = true;
      type.metadata = encode_metadata(
          {{kExtensionName, kJsonExtension}, {"ARROW:extension:metadata", ""}});
      break;
  }
  return type;
}

std::optional<ColumnType> import_type(const ArrowSchema& schema, std::string* error) {
  ColumnType type;
  type.name = schema.name ? schema.name : "";
  type.nullable = (schema.flags & ARROW_FLAG_NULLABLE) != 0;
  const std::string_view format = schema.format ? schema.format : "";
  const TypeName* found = nullptr;
  for (const TypeName& name : kNames)
    if (format == name.format) found = &name;
  if (!found || schema.dictionary) {
    *error = "field '" + type.name + "' has Arrow type '" + std::string(format) +
             "', which a column here cannot take: null, bool, the integers, float32, "
             "float64, string, large_string, list, large_list and struct can";
    return std::nullopt;
  }
  type.kind = found->kind;
  size_t length = 0;
  for (const auto& [key, value] : decode_metadata(schema.metadata, &length))
    if (key == kExtensionName && value == kJsonExtension && type.is_string()) type.json = true;
  if (length) type.metadata.assign(schema.metadata, length);
  for (int64_t i = 0; i < schema.n_children; ++i) {
    auto child = import_type(*schema.children[i], error);
    if (!child) return std::nullopt;
    type.children.push_back(std::move(*child));
  }
  if (type.is_list() && type.children.size() != 1) {
    *error = "field '" + type.name + "' is a list without one item type";
    return std::nullopt;
  }
  return type;
}

namespace {

struct ExportedSchema {
  std::string format, name, metadata;
  std::unique_ptr<ArrowSchema[]> children;
  std::unique_ptr<ArrowSchema*[]> child_pointers;
  int64_t n_children = 0;
};

void release_schema(ArrowSchema* schema) {
  auto* exported = static_cast<ExportedSchema*>(schema->private_data);
  for (int64_t i = 0; i < exported->n_children; ++i) {
    ArrowSchema* child = exported->child_pointers[i];
    if (child->release) child->release(child);
  }
  delete exported;
  schema->release = nullptr;
}

}  // namespace

void export_type(const ColumnType& type, ArrowSchema* out) {
  auto exported = std::make_unique<ExportedSchema>();
  exported->format = name_of(type.kind).format;
  exported->name = type.name;
  exported->metadata = type.metadata;
  exported->n_children = static_cast<int64_t>(type.children.size());
  exported->children = std::make_unique<ArrowSchema[]>(type.children.size());
  exported->child_pointers = std::make_unique<ArrowSchema*[]>(type.children.size());
  for (size_t i = 0; i < type.children.size(); ++i) {
    export_type(type.children[i], &exported->children[i]);
    exported->child_pointers[i] = &exported->children[i];
  }
  out->format = exported->format.c_str();
  out->name = exported->name.c_str();
  out->metadata = exported->metadata.empty() ? nullptr : exported->metadata.data();
  out->flags = type.nullable ? ARROW_FLAG_NULLABLE : 0;
  out->n_children = exported->n_children;
  out->children = exported->child_pointers.get();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = exported.release();
}

}  // namespace tamsel::table
