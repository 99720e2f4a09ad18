// The structure around the elements of one JSON array, for a stream that
// runs each element of a source's array as a text of its own (elements=):
// the opening bracket (after the keys of the objects the array may sit in,
// `{"items": [`), the commas between elements, the closing bracket, the
// rest of the objects around it, and nothing but white space after them.
//
// The frame looks at the bytes between values and stops at the first byte
// of each: an element, which the caller frames and runs as a text, or the
// value of another member of an object around the array, which the caller
// frames and checks as JSON without running it. Any other byte out of place
// breaks the array, which the frame reports as a value (where, and what was
// expected), never as a throw. It keeps its place across windows, so a
// caller may give it the source a window at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tamsel::texts {

// The keys of the objects an array sits in, outermost first; none for an
// array that is the whole source.
using ElementPath = std::vector<std::string>;

// The path as a query writes it: "." alone, or ".items", ".data.rows"; a
// key that is not a name is quoted, `."two words"`.
std::string path_text(const ElementPath& path);
// The path that `text` writes so (a quoted key may escape '"' and '\\'
// with a backslash), or false when it writes none.
bool parse_element_path(std::string_view text, ElementPath* path);

class ElementFrame {
 public:
  enum class Step {
    kElement,   // *pos is an element's first byte
    kMember,    // *pos is the first byte of another member's value
    kNeedMore,  // the window ends before the next value: more, please
    kEnd,       // the array and what is around it are whole
    kBroken,    // not an array as it should be: broken()
  };

  // `inside`: the frame starts just after a comma between two elements (a
  // piece cut from within the array), rather than at the source's start.
  ElementFrame(ElementPath path, bool inside);

  // Looks at the window from *pos on (the bytes before it were passed) and
  // moves *pos past the structure it passes, up to one of the steps above;
  // `last` when the source ends with the window. Asked again before took(),
  // it gives the same value again.
  Step advance(std::string_view window, size_t* pos, bool last);
  // The value advance() stopped at was framed and passed.
  void took();
  // The member's value that advance() stopped at is not JSON: `why`.
  void refuse_member(std::string_view why, size_t at);

  // Whether the frame stands where the next element must come, just after
  // a comma: where a piece cut from within the array starts.
  bool expects_element() const { return state_ == State::kNext; }

  // What broke the array: where (in the window it was found in) and why.
  size_t broken_at() const { return broken_at_; }
  const std::string& broken() const { return broken_; }

 private:
  enum class State : unsigned char {
    kOpen,            // the next object around the array, or the array, opens
    kKey,             // a member's key, or the object's end
    kKeyAfterComma,   // a member's key, after a comma
    kKeyText,         // inside a key
    kColon,
    kValue,           // another member's value starts
    kAtMember,        // at another member's value
    kAfterMember,     // a comma or the object's end
    kFirst,           // just inside the array: an element or its end
    kAtElement,
    kAfterElement,    // a comma or the array's end
    kNext,            // after a comma: an element
    kAfterAll,        // white space to the end
    kEnd,
    kBroken,
  };

  Step fail(size_t at, std::string why, std::string_view window);
  // The key just read; false when it breaks the frame.
  bool end_key();
  // The array or an object around it closed.
  void closed();

  const ElementPath path_;
  State state_;
  size_t level_ = 0;          // objects entered; path_.size() inside the array
  std::vector<char> found_;   // per object: its key to the array was passed
  std::string key_;           // the key being read, as written; then decoded
  bool key_escaped_ = false;  // the byte after a backslash comes next
  size_t broken_at_ = 0;
  std::string broken_;
};

}  // namespace tamsel::texts
