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

#include "component/build.h"
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

namespace {

namespace build = compiler::component::build;
using compiler::ir::component::Component;

// Builds a two-part component from deep copies of both arguments, which the
// caller keeps.
template <class Combinator>
QComponent* combine(const QComponent* left, const QComponent* right, Combinator combinator) {
  if (left == nullptr) {
    set_error(std::string_view("null left component"));
    return nullptr;
  }
  if (right == nullptr) {
    set_error(std::string_view("null right component"));
    return nullptr;
  }
  return new QComponent{combinator(Component(left->value), Component(right->value))};
}

// The boundary of `component`, or nothing with the failure recorded.
std::optional<build::ComponentBoundary> boundary_or_error(const QComponent& component) {
  auto boundary = build::component_boundary(component.value);
  if (!boundary) {
    set_error(std::move(boundary.error()));
    return std::nullopt;
  }
  return std::move(*boundary);
}

}  // namespace

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

// Component handles: combinators and boundary queries. Every combinator
// copies its arguments; the queries compute the boundary afresh each time.

QComponent* q_identity(void) noexcept {
  return new QComponent{compiler::ir::component::Identity{}};
}

QComponent* q_pair(const QComponent* left, const QComponent* right) noexcept {
  return combine(left, right, build::pair);
}

QComponent* q_chain(const QComponent* left, const QComponent* right) noexcept {
  return combine(left, right, build::chain);
}

QComponent* q_fanout(const QComponent* left, const QComponent* right) noexcept {
  return combine(left, right, build::fanout);
}

QComponent* q_compose(const QComponent* left, const QComponent* right) noexcept {
  return combine(left, right, build::compose);
}

QComponent* q_swap(const QComponent* component) noexcept {
  if (component == nullptr) {
    set_error(std::string_view("null component"));
    return nullptr;
  }
  return new QComponent{build::swap(Component(component->value))};
}

QComponent* q_bind_input(const QComponent* component, size_t index) noexcept {
  if (component == nullptr) {
    set_error(std::string_view("null component"));
    return nullptr;
  }
  return new QComponent{build::bind_input(Component(component->value), index)};
}

int q_component_input_count(const QComponent* component, size_t* count) noexcept {
  if (component == nullptr) {
    set_error(std::string_view("null component"));
    return -1;
  }
  if (count == nullptr) {
    set_error(std::string_view("null input count output"));
    return -1;
  }
  const auto boundary = boundary_or_error(*component);
  if (!boundary) return -1;
  *count = boundary->inputs.size();
  return 0;
}

int q_component_output_count(const QComponent* component, size_t* count) noexcept {
  if (component == nullptr) {
    set_error(std::string_view("null component"));
    return -1;
  }
  if (count == nullptr) {
    set_error(std::string_view("null output count output"));
    return -1;
  }
  const auto boundary = boundary_or_error(*component);
  if (!boundary) return -1;
  *count = boundary->outputs;
  return 0;
}

int q_component_input_states(const QComponent* component, uint32_t* states) noexcept {
  if (component == nullptr) {
    set_error(std::string_view("null component"));
    return -1;
  }
  if (states == nullptr) {
    set_error(std::string_view("null input states"));
    return -1;
  }
  const auto boundary = boundary_or_error(*component);
  if (!boundary) return -1;
  for (std::size_t i = 0; i < boundary->inputs.size(); ++i) {
    states[i] = static_cast<uint32_t>(boundary->inputs[i]);
  }
  return 0;
}

// End of component handles.

}  // extern "C"
