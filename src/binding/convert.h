// Values to native Python objects.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "binding/collector_pause.h"
#include "binding/key_cache.h"
#include "engine/path_record.h"
#include "value/document_ref.h"
#include "value/result_tape.h"
#include "value/structural_index.h"
#include "value/view.h"

namespace tamsel::binding {

// Makes the Python objects of one call's results, with the interpreter lock
// held. Every object is new, except for the short keys that the module's
// own methods share (Keys::kShared): the str of such a key is taken from the
// process's key cache (key_cache.h), and kept there for the next dict that
// has it. input() and first() convert with Keys::kSeparate: their objects
// are all created separately, and no cache is read or kept.
class Converter {
 public:
  enum class Keys { kSeparate, kShared };
  explicit Converter(Keys keys) : share_keys_(keys == Keys::kShared) {}
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // A new Python object for `v` (None, bool, int, float, str, list, dict),
  // or nullptr with the Python exception set. Never changes `v`. Document
  // parts, whether results themselves or held by built values, are read off
  // the document's tape.
  PyObject* object_of(const View& v);
  // The same for the object of a record program, from the values of its
  // members in the record's order.
  PyObject* object_of(const engine::PathRecord& record, const View* values);
  // The same for to_entries of `object`, an object: a list of
  // {"key": k, "value": v} dicts, one for each member in order.
  PyObject* entries_of(const View& object);
  // The same for the next value of a result tape; a JSON text there becomes
  // its bytes. On failure the reader's place is lost: read no further.
  PyObject* object_of(ResultTape::Reader& reader);
  // The value of a whole JSON text, made as its structural index is walked
  // (text_walk.h), in `*object` as a new reference when kTaken; kFailed
  // with the Python exception set. A text the walk does not take leaves
  // nothing made: the caller parses it.
  Walk object_of_text(const StructuralIndex& index, PyObject** object);

 private:
  // The key's str: a new reference, or with `*borrowed` set, the cache's
  // own, valid only until the next key is made (which may take its slot):
  // make a member's value before its key. nullptr with an exception set.
  PyObject* key_of(std::string_view text, bool* borrowed);
  PyObject* new_string(std::string_view text);
  PyObject* built_list(const View& array);
  PyObject* built_dict(const View& object);
  // Sets the member `key_text` of `dict` to the object of `member`; false
  // with an exception set.
  bool set_member(PyObject* dict, std::string_view key_text, const View& member);
  // The same with a key the caller holds.
  bool set_member(PyObject* dict, PyObject* key, const View& member);
  // A part of the parsed document, read off its tape: the value whose word
  // is at `at` (convert.cpp says how the tape is laid out).
  struct Tape;
  class TextBuilder;
  PyObject* document_value(const Tape& tape, const uint64_t* at);
  PyObject* document_scalar(const Tape& tape, const uint64_t* at);
  PyObject* document_list(const Tape& tape, const uint64_t* at);
  PyObject* document_dict(const Tape& tape, const uint64_t* at);

  // The Python objects of a result are part of what the call builds: each
  // is charged to the call's memory budget (an estimate of the interpreter's
  // size for it: a header, and 8 bytes a list slot or 32 a dict member), and
  // each counts as work between polls for Ctrl-C. They are settled with the
  // call's bounds every few hundred objects, and a container's slots at
  // once when they are many, before it is made; settling throws, which the
  // references held on the way up release. A key taken from the cache is no
  // new object.
  void made(size_t payload = 0, size_t work = 1) {
    owed_bytes_ += kObjectHeader + payload;
    owed_work_ += work;
    if (owed_work_ >= kSettleWork || owed_bytes_ >= kSettleBytes) settle();
  }
  void made_scalar() {
    owed_bytes_ += kObjectHeader;
    counted();
  }
  // A value that takes no new object (None, True, False).
  void counted() {
    if (++owed_work_ >= kSettleWork) settle();
  }
  void settle();

  static constexpr size_t kObjectHeader = 48;
  static constexpr size_t kSettleBytes = size_t{64} << 10;
  static constexpr size_t kSettleWork = 256;
  size_t owed_bytes_ = 0;
  size_t owed_work_ = 0;

  const bool share_keys_;
  std::string scratch_;  // escaped strings of a walked text, unescaped
  // Taken when the first key is made, so that a run that lets go of the
  // interpreter lock does not hold the cache meanwhile.
  std::optional<KeyCacheLease> lease_;
  // Taken at the first settling, once a few hundred objects are made: the
  // collector would otherwise walk every container made so far at each of
  // its passes, which turns making millions of them quadratic. A small
  // result, made before that, pays nothing for it.
  std::optional<CollectorPause> collector_paused_;
};

}  // namespace tamsel::binding
