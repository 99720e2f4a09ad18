#include "table/arrow_input.h"

#include <cstring>
#include <string_view>

namespace tamsel::table {

namespace {

struct OneArray {
  ArrowSchema schema;
  ArrowArray array;
  bool given = false;
};

int one_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* one = static_cast<OneArray*>(stream->private_data);
  // The schema is lent: a copy whose release does nothing keeps ours.
  *out = one->schema;
  out->release = [](ArrowSchema* schema) { schema->release = nullptr; };
  return 0;
}

int one_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* one = static_cast<OneArray*>(stream->private_data);
  if (one->given) {
    out->release = nullptr;
    return 0;
  }
  one->given = true;
  *out = one->array;
  one->array.release = nullptr;
  return 0;
}

const char* one_error(ArrowArrayStream*) { return nullptr; }

void one_release(ArrowArrayStream* stream) {
  auto* one = static_cast<OneArray*>(stream->private_data);
  if (one->array.release) one->array.release(&one->array);
  if (one->schema.release) one->schema.release(&one->schema);
  delete one;
  stream->release = nullptr;
}

}  // namespace

ArrowArrayStream stream_of_array(ArrowSchema schema, ArrowArray array) {
  ArrowArrayStream stream{};
  stream.get_schema = one_schema;
  stream.get_next = one_next;
  stream.get_last_error = one_error;
  stream.release = one_release;
  stream.private_data = new OneArray{schema, array};
  return stream;
}

ArrowTextFeed::ArrowTextFeed(ArrowArrayStream stream) : stream_(stream) {}

ArrowTextFeed::~ArrowTextFeed() {
  release_array();
  if (stream_.release) stream_.release(&stream_);
}

void ArrowTextFeed::release_array() {
  if (array_.release) array_.release(&array_);
  values_ = nullptr;
}

std::optional<std::string> ArrowTextFeed::open() {
  ArrowSchema schema{};
  if (const int code = stream_.get_schema(&stream_, &schema); code != 0) {
    const char* why = stream_.get_last_error ? stream_.get_last_error(&stream_) : nullptr;
    return "its Arrow stream gave no schema (error " + std::to_string(code) + (why ? std::string(": ") + why : "") + ")";
  }
  const ArrowSchema* column = &schema;
  std::string_view format = schema.format ? schema.format : "";
  if (format == "+s" && schema.n_children == 1) {
    in_table_ = true;
    column = schema.children[0];
    format = column->format ? column->format : "";
  }
  std::optional<std::string> error;
  if (format == "u" || format == "z") {
    layout_ = Layout::kOffsets32;
  } else if (format == "U" || format == "Z") {
    layout_ = Layout::kOffsets64;
  } else if (format == "vu" || format == "vz") {
    layout_ = Layout::kViews;
  } else {
    error = "its values have Arrow type '" + std::string(format) +
            "': a column of JSON texts is of strings (string, large_string or string_view)";
  }
  if (!error && column->dictionary) error = "its strings are dictionary-encoded: decode them first";
  schema.release(&schema);
  return error;
}

bool ArrowTextFeed::next_array() {
  release_array();
  for (;;) {
    if (const int code = stream_.get_next(&stream_, &array_); code != 0) {
      const char* why = stream_.get_last_error ? stream_.get_last_error(&stream_) : nullptr;
      error_ = "the Arrow stream of the texts failed (error " + std::to_string(code) + ")" +
               (why ? std::string(": ") + why : "");
      array_.release = nullptr;
      return false;
    }
    if (!array_.release) {
      ended_ = true;
      return false;
    }
    values_ = &array_;
    start_ = array_.offset;
    length_ = array_.length;
    if (in_table_) {
      values_ = array_.children[0];
      start_ += values_->offset;
    }
    position_ = 0;
    if (length_ > 0) return true;
    release_array();
  }
}

bool ArrowTextFeed::is_null(int64_t at) const {
  const auto* validity = static_cast<const uint8_t*>(values_->buffers[0]);
  return validity && !(validity[at / 8] & (1u << (at % 8)));
}

std::string_view ArrowTextFeed::value(int64_t at) const {
  switch (layout_) {
    case Layout::kOffsets32: {
      const auto* offsets = static_cast<const int32_t*>(values_->buffers[1]);
      const char* data = static_cast<const char*>(values_->buffers[2]);
      return std::string_view(data + offsets[at], static_cast<size_t>(offsets[at + 1] - offsets[at]));
    }
    case Layout::kOffsets64: {
      const auto* offsets = static_cast<const int64_t*>(values_->buffers[1]);
      const char* data = static_cast<const char*>(values_->buffers[2]);
      return std::string_view(data + offsets[at], static_cast<size_t>(offsets[at + 1] - offsets[at]));
    }
    case Layout::kViews: {
      // 16 bytes a value: its length, then up to 12 bytes in place, or a
      // prefix, the data buffer's number and the offset in it.
      const char* view = static_cast<const char*>(values_->buffers[1]) + 16 * at;
      int32_t size, buffer, offset;
      std::memcpy(&size, view, 4);
      if (size <= 12) return std::string_view(view + 4, static_cast<size_t>(size));
      std::memcpy(&buffer, view + 8, 4);
      std::memcpy(&offset, view + 12, 4);
      const char* data = static_cast<const char*>(values_->buffers[2 + buffer]);
      return std::string_view(data + offset, static_cast<size_t>(size));
    }
  }
  return {};
}

DocumentFeed::Fed ArrowTextFeed::next(DocumentGroup& group, size_t bytes) {
  if (ended_) return Fed::kEnd;
  if (!error_.empty()) return Fed::kFailed;
  while (group.bytes.size() < bytes) {
    if (!values_ || position_ == length_) {
      if (!next_array()) {
        if (!error_.empty()) return group.texts.empty() ? Fed::kFailed : Fed::kGroup;
        return group.texts.empty() ? Fed::kEnd : Fed::kGroup;
      }
    }
    for (; position_ < length_ && group.bytes.size() < bytes; ++position_) {
      const int64_t at = start_ + position_;
      group.add(is_null(at) ? std::string_view("null") : value(at));
    }
  }
  return Fed::kGroup;
}

}  // namespace tamsel::table
