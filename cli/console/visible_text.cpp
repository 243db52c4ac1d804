#include "cli/console/visible_text.h"

#include <cstdio>

namespace cli {

namespace {

unsigned char Byte(std::string_view text, std::size_t at) {
  return static_cast<unsigned char>(text[at]);
}

// The length of the UTF-8 character text starts with; 0 when its first byte starts none:
// a stray continuation byte, an overlong form (which could spell a control character), a
// surrogate, a code point beyond U+10FFFF, or a character cut short.
std::size_t CharacterLength(std::string_view text) {
  const unsigned char lead = Byte(text, 0);
  if (lead < 0x80) {
    return 1;
  }
  std::size_t length = 0;
  unsigned char low = 0x80;  // the range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : low;
    high = lead == 0xED ? 0x9F : high;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : low;
    high = lead == 0xF4 ? 0x8F : high;
  } else {
    return 0;
  }
  if (text.size() < length || Byte(text, 1) < low || Byte(text, 1) > high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if ((Byte(text, i) & 0xC0) != 0x80) {
      return 0;
    }
  }
  return length;
}

void AppendEscape(std::string& shown, const char* form, unsigned value) {
  char escape[8];
  std::snprintf(escape, sizeof(escape), form, value);
  shown += escape;
}

}  // namespace

std::string VisibleText(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::string_view rest = text.substr(at);
    const unsigned char first = Byte(rest, 0);
    const std::size_t length = CharacterLength(rest);
    if (length == 0) {
      AppendEscape(shown, "\\x%02x", first);
      ++at;
      continue;
    }
    if (first == '\t') {
      shown += "\\t";
    } else if (first == '\n') {
      shown += "\\n";
    } else if (first == '\r') {
      shown += "\\r";
    } else if (first < 0x20 || first == 0x7F) {
      AppendEscape(shown, "\\x%02x", first);
    } else if (first == 0xC2 && Byte(rest, 1) < 0xA0) {
      AppendEscape(shown, "\\u%04x", Byte(rest, 1));
    } else {
      shown.append(rest.substr(0, length));
    }
    at += length;
  }
  return shown;
}

}  // namespace cli
