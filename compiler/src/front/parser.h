// The parser of the tensor-expression language. It decides syntax only;
// the meaning of an expression is checked by the component validator.
//
//   expr     := (op pattern | pattern op pattern | pattern) "~" pattern schedule?
//   schedule := "|" (split ("," split)*)? "|" item*
//   split    := letter ":" int (":" int)*
//   item     := letter "'"* | "0" | "1" | "!"
//   pattern  := "." | letter+
//
// Whitespace (space, tab, LF, FF, CR; not vertical tab) may precede any
// token but not appear inside a pattern or a number. Offsets in errors are
// byte offsets into the text.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "ir/component.h"
#include "ir/expr.h"

namespace compiler::front::parser {

struct ParseError {
  std::size_t offset = 0;
  std::string message;
  bool operator==(const ParseError&) const = default;
};

// `ParseError { offset: N, message: "..." }` with `"` and `\` escaped.
std::string debug_string(const ParseError& error);

template <class T>
using ParseResult = std::expected<T, ParseError>;

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  ParseResult<ir::expr::Expr> parse_expr();
  ParseResult<ir::expr::Pattern> parse_pattern();
  ParseResult<std::size_t> parse_usize();
  // Never fails: returns nothing, having consumed only whitespace, when no
  // operator token stands at the cursor.
  std::optional<ir::common::Op> parse_op_token();

  std::size_t pos() const { return pos_; }

 private:
  void skip_ws();
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }
  // Skips whitespace, then reports whether the next byte is `c`.
  bool next_is(char c);
  std::unexpected<ParseError> fail(std::size_t offset, std::string message) const;

  std::string_view text_;
  std::size_t pos_ = 0;
};

ParseResult<ir::expr::Expr> parse_expr(std::string_view text);
ParseResult<ir::component::Component> parse_component(std::string_view text);

}  // namespace compiler::front::parser
