// Checks every expression of a component for meaning: axis letters,
// operator arity and form (pointwise or reduction), and the consistency of
// its schedule. Stops at the first problem and names the expression by its
// number (Expr leaves numbered depth-first, first child before second).
#pragma once

#include <compare>
#include <cstddef>
#include <expected>
#include <map>
#include <set>
#include <string>
#include <variant>

#include "ir/component.h"
#include "ir/expr.h"

namespace compiler::check::component {

// The pattern a message is about: operand `index`, or the result.
struct PatternKind {
  struct Input {
    std::size_t index = 0;
    bool operator==(const Input&) const = default;
  };
  struct Output {
    bool operator==(const Output&) const = default;
  };
  std::variant<Input, Output> kind;
  bool operator==(const PatternKind&) const = default;
};

// "input {}" or "output".
std::string display(const PatternKind& kind);

// One loop level of an axis: level 0 is the axis itself (outermost), level k
// the k-th split level. Ordered by letter, then level.
struct AxisRef {
  char32_t axis = 0;
  std::size_t level = 0;
  auto operator<=>(const AxisRef&) const = default;
};

// The letter followed by `level` "'" marks.
std::string display(const AxisRef& ref);

// Every level of every axis in `axes`: levels 0 through the axis's split
// factor count (0 when the axis has no entry in `split_counts`).
std::set<AxisRef> expected_axis_refs(const std::set<char32_t>& axes,
                                     const std::map<char32_t, std::size_t>& split_counts);

// A failure: the number of the offending expression and the message.
struct ExprError {
  std::size_t expr = 0;
  std::string message;
  bool operator==(const ExprError&) const = default;
};

// Walks the tree, numbering Expr leaves from `counter` (which advances).
std::expected<void, ExprError> validate_component_inner(const ir::component::Component& component,
                                                        std::size_t& counter);

std::expected<void, ExprError> validate_expr(const ir::expr::Expr& expr, std::size_t number);

}  // namespace compiler::check::component
