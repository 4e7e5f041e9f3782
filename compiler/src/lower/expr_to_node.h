// Lowers one expression to one node: numbers the axis letters (output
// letters first, then letters found only in operands, each in order of first
// appearance), attaches split factors to the indexes, and resolves the
// schedule into an explicit loop order with compute and init sites, or
// chooses the default order (index order, each index's split levels
// outermost first). The result is checked with validate_node.
//
// The expression is assumed to have passed the component validator; the
// checks made here are guards whose messages only reach a caller that skips
// that validation.
#pragma once

#include "ir/expr.h"
#include "ir/node.h"
#include "lower/error.h"

namespace compiler::lower::expr_to_node {

LowerResult<ir::node::Node> lower_expr_to_node_unchecked(const ir::expr::Expr& expr);

}  // namespace compiler::lower::expr_to_node
