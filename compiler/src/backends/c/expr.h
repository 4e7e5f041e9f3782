// C text of module expressions and places, with the fewest parentheses that
// keep C's precedence and associativity faithful to the tree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ir/module.h"

namespace compiler::backends::c {

// The C binary operators the renderer emits, with their C text and
// precedence (higher binds tighter).
enum class OpClass : std::uint8_t {
  Plus,        // "+"  60
  Minus,       // "-"  60
  Times,       // "*"  70
  Slash,       // "/"  70
  Percent,     // "%"  70
  Less,        // "<"  50
  Greater,     // ">"  50
  LessEq,      // "<=" 50
  GreaterEq,   // ">=" 50
  EqualEqual,  // "==" 45
  NotEqual,    // "!=" 45
  AndAnd,      // "&&" 40
  OrOr,        // "||" 30
};

std::string_view op_class_text(OpClass cls);
int op_class_precedence(OpClass cls);

// Precedence of atoms (constants, names, element and member accesses,
// calls) and of a logical negation.
inline constexpr int kAtomPrecedence = 100;
inline constexpr int kNotPrecedence = 80;

// A rendered expression: its text, the class of its outermost operator (none
// for atoms and negations) and that operator's precedence.
struct Rendered {
  std::string text;
  std::optional<OpClass> cls;
  int precedence = kAtomPrecedence;
};

enum class Side : std::uint8_t { Left, Right, Neither };

// Where an expression is printed: which operand of which operator.
struct Context {
  Side side = Side::Neither;
  std::optional<OpClass> parent;
};

Rendered render_expr_in(const ir::module::Expr& expr, const Context& context);

// The text of `expr` in the neutral context.
std::string render_expr(const ir::module::Expr& expr);

// The text of an assignable place.
std::string render_place_raw(const ir::module::Place& place);

// The C spelling of a float constant: NAN, INFINITY, (-INFINITY), or fixed
// notation with at most 8 decimals and an "f" suffix ("1.0f", "0.5f").
std::string render_float(float value);

// Stops the process: the module broke a precondition of the renderer, which
// is a defect of whoever built it.
[[noreturn]] void render_defect(std::string_view message);

}  // namespace compiler::backends::c
