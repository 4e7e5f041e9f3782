// The exported C functions. Each one checks its pointer arguments first, in
// argument order, then runs the work; every failure becomes one message in
// the calling thread's error slot plus a failure return value. Nothing
// throws across this boundary: the exports are noexcept, so an escaping
// exception (an internal defect or memory exhaustion) terminates.
#include "lib.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "front/parser.h"

namespace q_core::lib {

namespace {

// The most recent failure of this thread; empty until the first one.
thread_local std::optional<std::string> LAST_ERROR;

}  // namespace

void set_error(std::string&& text) {
  std::erase(text, '\0');
  LAST_ERROR = std::move(text);
}

void set_error(std::string_view text) { set_error(std::string(text)); }

bool is_valid_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
      cp = b & 0x1F;
      min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
      cp = b & 0x0F;
      min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      cp = b & 0x07;
      min = 0x10000;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace q_core::lib

using q_core::lib::set_error;

extern "C" {

const char* q_error(void) noexcept {
  const auto& slot = q_core::lib::LAST_ERROR;
  return slot ? slot->c_str() : nullptr;
}

void q_string_free(char* text) noexcept { std::free(text); }

QComponent* q_parse(const char* text) noexcept {
  if (text == nullptr) {
    set_error(std::string_view("null expression"));
    return nullptr;
  }
  const std::string_view source(text, std::strlen(text));
  if (!q_core::lib::is_valid_utf8(source)) {
    set_error(std::string_view("null expression"));
    return nullptr;
  }
  auto component = compiler::front::parser::parse_component(source);
  if (!component) {
    set_error(compiler::front::parser::debug_string(component.error()));
    return nullptr;
  }
  return new QComponent{std::move(*component)};
}

void q_component_free(QComponent* component) noexcept { delete component; }

}  // extern "C"
