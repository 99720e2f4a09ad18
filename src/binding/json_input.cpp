#include "binding/json_input.h"

#include <cstring>
#include <string_view>

#include "binding/errors.h"
#include "binding/py_ref.h"
#include "unicode/utf8_transcode.h"

namespace tamsel::binding {
namespace {

bool refuse_size(uint64_t size) {
  if (auto error = JsonParser::size_error(size)) {
    raise_value_error(error->message());
    return true;
  }
  return false;
}

bool copy_text(std::string_view text, JsonParser& parser, size_t* size) {
  if (refuse_size(text.size())) return false;
  std::memcpy(parser.work_buffer(text.size()), text.data(), text.size());
  *size = text.size();
  return true;
}

// Lends `text`, which the interpreter keeps NUL-terminated, to the parser.
bool lend_text(std::string_view text, JsonParser& parser, size_t* size,
               bool parse_in_place = true) {
  if (refuse_size(text.size())) return false;
  parser.lend_text(text, parse_in_place);
  *size = text.size();
  return true;
}

// The UTF-8 form the interpreter keeps on a non-ASCII `str` once something
// asked for it, or an empty view when it has none.
std::string_view cached_utf8(PyObject* str) {
  auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(str);
  if (!compact->utf8) return {};
  return std::string_view(compact->utf8, static_cast<size_t>(compact->utf8_length));
}

}  // namespace

bool load_str_text(PyObject* arg, JsonParser& parser, size_t* size, bool parse_in_place) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(arg) < 0) return false;
#endif
  const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(arg));
  const void* data = PyUnicode_DATA(arg);
  // An ASCII str is its own UTF-8 text, NUL-terminated.
  if (PyUnicode_IS_ASCII(arg))
    return lend_text(std::string_view(static_cast<const char*>(data), length), parser, size,
                     parse_in_place);
  if (std::string_view utf8 = cached_utf8(arg); utf8.data()) return copy_text(utf8, parser, size);

  // Every character takes at least one byte, so a text of this many
  // characters is refused before room for its widest form is asked for.
  if (refuse_size(length)) return false;
  const int kind = PyUnicode_KIND(arg);
  char* out = parser.work_buffer(utf8::max_encoded_size(length, static_cast<size_t>(kind)));
  size_t written = utf8::kNotEncoded;
  switch (kind) {
    case PyUnicode_1BYTE_KIND:
      written = utf8::encode_latin1(static_cast<const uint8_t*>(data), length, out);
      break;
    case PyUnicode_2BYTE_KIND:
      written = utf8::encode_ucs2(static_cast<const uint16_t*>(data), length, out);
      break;
    default:
      written = utf8::encode_ucs4(static_cast<const uint32_t*>(data), length, out);
      break;
  }
  if (written == utf8::kNotEncoded) {
    // A lone surrogate: the interpreter's encoder raises the error callers
    // know, with its exact text.
    Py_ssize_t utf8_size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(arg, &utf8_size);
    if (!utf8) return false;
    return copy_text(std::string_view(utf8, static_cast<size_t>(utf8_size)), parser, size);
  }
  if (refuse_size(written)) return false;
  *size = written;
  return true;
}

bool export_contiguous(PyObject* arg, const char* param, Py_buffer* view) {
  if (PyObject_GetBuffer(arg, view, PyBUF_SIMPLE) == 0) return true;
  if (!PyErr_ExceptionMatches(PyExc_BufferError)) return false;
  // A strided view (for example memoryview(b)[::2]) has no single run of bytes.
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not a contiguous buffer", param,
               Py_TYPE(arg)->tp_name);
  return false;
}

bool load_bytes_text(PyObject* arg, const char* param, JsonParser& parser, size_t* size) {
  // A bytes object holds its text NUL-terminated and can never change.
  if (PyBytes_CheckExact(arg)) {
    return lend_text(std::string_view(PyBytes_AS_STRING(arg),
                                      static_cast<size_t>(PyBytes_GET_SIZE(arg))),
                     parser, size);
  }
  Py_buffer view;
  if (!export_contiguous(arg, param, &view)) return false;
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  return copy_text(
      std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)), parser,
      size);
}

}  // namespace tamsel::binding
