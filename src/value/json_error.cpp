#include "value/json.h"

namespace tamsel {

std::string JsonError::message() const {
  std::string text = kind + " at character " + std::to_string(index);
  if (!has_character) return text;
  // The byte is shown as the code point of the same number, as Latin-1 would.
  text += " ('";
  if (character < 0x80) {
    text += static_cast<char>(character);
  } else {
    text += static_cast<char>(0xC0 | (character >> 6));
    text += static_cast<char>(0x80 | (character & 0x3F));
  }
  text += "')";
  return text;
}

}  // namespace tamsel
