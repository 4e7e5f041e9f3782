// Seeded, deterministic generators of random valid components: random trees
// of combinators whose leaves are identities and random expressions that
// pass the component validator, with random splits and permutations
// (including compute and init directives at valid places). The same seed and
// options give the same component on every platform: only the raw output of
// the engine is used, never the standard distributions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

#include "ir/component.h"
#include "ir/expr.h"

namespace quarn_test {

struct RandomExprOptions {
  std::size_t max_axes = 4;            // distinct letters per expression
  std::size_t max_split_factors = 2;   // factors per split axis
  std::size_t min_factor = 2;
  std::size_t max_factor = 4;
  double two_input_probability = 0.4;  // otherwise one input
  double split_probability = 0.3;      // per local axis
  double permutation_probability = 0.6;
  double directive_probability = 0.5;  // per possible compute or init directive
  // Keep the split levels of each axis outermost first in a permutation
  // (the axes themselves are still shuffled).
  bool ordered_split_levels = true;
};

struct RandomComponentOptions {
  std::size_t max_depth = 4;
  double leaf_probability = 0.3;      // chance an inner position stops early
  double identity_probability = 0.15; // chance a leaf is an identity
  RandomExprOptions expr;
};

// A random expression that passes the component validator.
compiler::ir::expr::Expr random_expr(std::mt19937_64& rng, const RandomExprOptions& options);

// A random component whose every expression passes the component validator
// and whose every BindInput names an existing Free input.
compiler::ir::component::Component random_component(std::mt19937_64& rng,
                                                     const RandomComponentOptions& options);

}  // namespace quarn_test
