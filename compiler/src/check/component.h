// Checks every expression of a component for meaning: axis letters,
// operator arity and form (pointwise or reduction), and the consistency of
// its schedule. Stops at the first problem and names the expression by its
// number (Expr leaves numbered depth-first, first child before second).
#pragma once

#include <cstddef>
#include <expected>
#include <string>

#include "ir/component.h"
#include "ir/expr.h"

namespace compiler::check::component {

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
