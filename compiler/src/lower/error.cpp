#include "lower/error.h"

#include <fmt/format.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace compiler::lower {

namespace {

// Decodes one UTF-8 sequence at `i` into its code point and length. Fails
// for a malformed, overlong or truncated sequence and for surrogates and
// values above U+10FFFF; the caller then escapes the single byte.
bool decode_utf8(const std::string& s, std::size_t i, char32_t& cp, std::size_t& len) {
  const unsigned char b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    cp = b0;
    len = 1;
    return true;
  }
  std::size_t n = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    n = 2;
    min = 0x80;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3;
    min = 0x800;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4;
    min = 0x10000;
    cp = b0 & 0x07;
  } else {
    return false;
  }
  if (i + n > s.size()) return false;
  for (std::size_t k = 1; k < n; ++k) {
    const unsigned char b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  len = n;
  return true;
}

bool is_control(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 ||
         cp == 0xFEFF || (cp >= 0x200B && cp <= 0x200F);
}

}  // namespace

std::string escape_debug(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    std::size_t len = 1;
    if (!decode_utf8(text, i, cp, len)) {
      out += fmt::format("\\u{{{:x}}}", static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    switch (cp) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (is_control(cp)) {
          out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(cp));
        } else {
          out.append(text, i, len);
        }
    }
    i += len;
  }
  out += '"';
  return out;
}

std::string debug_string(const LowerError& error) {
  return fmt::format("LowerError {{ message: {} }}", escape_debug(error.message));
}

}  // namespace compiler::lower
