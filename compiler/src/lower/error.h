// The error every lowering reports: one message. At the C interface it is
// shown through its debug text, `LowerError { message: "..." }`, with the
// message written as an escaped string literal.
#pragma once

#include <expected>
#include <string>

namespace compiler::lower {

struct LowerError {
  std::string message;

  static LowerError from_node(std::string message) { return LowerError{std::move(message)}; }
  bool operator==(const LowerError&) const = default;
};

template <class T>
using LowerResult = std::expected<T, LowerError>;

// `text` as a double-quoted literal: backslash, quote, \n, \r, \t and \0
// escaped; other control characters as \u{hex}; everything else copied.
std::string escape_debug(const std::string& text);

// `LowerError { message: "<escaped message>" }`.
std::string debug_string(const LowerError& error);

}  // namespace compiler::lower
