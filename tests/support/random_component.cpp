#include "support/random_component.h"

#include <algorithm>
#include <cassert>
#include <utility>
#include <vector>

#include "component/build.h"
#include "ir/common.h"

namespace quarn_test {

namespace {

using compiler::ir::common::Op;
using compiler::ir::component::Component;
using compiler::ir::expr::AxisPart;
using compiler::ir::expr::Compute;
using compiler::ir::expr::Expr;
using compiler::ir::expr::OrderItem;
using compiler::ir::expr::OutputInit;
using compiler::ir::expr::Pattern;
using compiler::ir::expr::SplitEntry;
namespace build = compiler::component::build;

// Uniform in [0, n); the modulo bias is irrelevant for test generation and
// keeps the sequence identical across standard libraries.
std::size_t below(std::mt19937_64& rng, std::size_t n) {
  assert(n > 0);
  return static_cast<std::size_t>(rng() % n);
}

std::size_t between(std::mt19937_64& rng, std::size_t lo, std::size_t hi) {
  return lo + below(rng, hi - lo + 1);
}

bool chance(std::mt19937_64& rng, double p) {
  return static_cast<double>(rng() >> 11) * 0x1.0p-53 < p;
}

template <class T>
void shuffle(std::mt19937_64& rng, std::vector<T>& v) {
  for (std::size_t i = v.size(); i > 1; --i) std::swap(v[i - 1], v[below(rng, i)]);
}

template <class T>
const T& pick(std::mt19937_64& rng, const std::vector<T>& v) {
  return v[below(rng, v.size())];
}

const std::vector<Op> kReducible = {Op::Add, Op::Mul, Op::Max, Op::Min,
                                    Op::And, Op::Or,  Op::Xor};

// Not and Log have no two-operand form.
std::vector<Op> binary_ops() {
  std::vector<Op> out;
  for (Op op : compiler::ir::common::kAllOps) {
    if (op != Op::Not && op != Op::Log) out.push_back(op);
  }
  return out;
}

// A random subset of `axes` of size at least `min_size`, in random order.
Pattern random_subset(std::mt19937_64& rng, const Pattern& axes, std::size_t min_size) {
  Pattern out = axes;
  shuffle(rng, out);
  out.resize(between(rng, std::min(min_size, axes.size()), axes.size()));
  return out;
}

void random_patterns(std::mt19937_64& rng, const RandomExprOptions& options, const Pattern& axes,
                     Expr& e) {
  Pattern all = axes;
  shuffle(rng, all);
  if (chance(rng, options.two_input_probability)) {
    // Every axis goes to one operand or both; the output lists them all.
    Pattern a, b;
    for (char32_t c : axes) {
      switch (below(rng, 3)) {
        case 0: a.push_back(c); break;
        case 1: b.push_back(c); break;
        default:
          a.push_back(c);
          b.push_back(c);
      }
    }
    shuffle(rng, a);
    shuffle(rng, b);
    e.inputs = {a, b};
    e.output = all;
    static const std::vector<Op> kBinary = binary_ops();
    e.op = pick(rng, kBinary);
    return;
  }
  // One operand: half of the time pointwise (any operator), otherwise a
  // reduction over a random subset with a reducible operator.
  e.inputs = {all};
  static const std::vector<Op> kAll(compiler::ir::common::kAllOps.begin(),
                                    compiler::ir::common::kAllOps.end());
  e.output = chance(rng, 0.5) ? random_subset(rng, axes, axes.size()) : random_subset(rng, axes, 0);
  const bool reduces = e.output.size() < axes.size();
  e.op = reduces ? pick(rng, kReducible) : pick(rng, kAll);
}

std::size_t factor_count(const Expr& e, char32_t axis) {
  for (const SplitEntry& s : e.splits) {
    if (s.axis == axis) return s.factors.size();
  }
  return 0;
}

// A permutation of every axis part, with compute directives anywhere and an
// init directive (reductions only) after the last output part.
std::vector<OrderItem> random_permutation(std::mt19937_64& rng, const RandomExprOptions& options,
                                          const Pattern& axes, const Expr& e) {
  std::vector<AxisPart> parts;
  for (char32_t c : axes) {
    for (std::size_t l = 0; l <= factor_count(e, c); ++l) parts.push_back({l, c});
  }
  shuffle(rng, parts);
  if (options.ordered_split_levels) {
    // Reassign each axis's slots to its levels in increasing order.
    for (char32_t c : axes) {
      std::size_t level = 0;
      for (AxisPart& p : parts) {
        if (p.axis == c) p.primes = level++;
      }
    }
  }
  // directives[p] are written after the first p parts.
  std::vector<std::vector<OrderItem>> directives(parts.size() + 1);
  for (std::size_t k = 0; k < e.inputs.size(); ++k) {
    if (chance(rng, options.directive_probability)) {
      directives[below(rng, parts.size() + 1)].push_back(Compute{static_cast<std::uint8_t>(k)});
    }
  }
  const bool reduces = e.output.size() < axes.size();
  if (reduces && chance(rng, options.directive_probability)) {
    std::size_t after_outputs = 0;
    for (std::size_t p = 0; p < parts.size(); ++p) {
      if (std::ranges::find(e.output, parts[p].axis) != e.output.end()) after_outputs = p + 1;
    }
    directives[between(rng, after_outputs, parts.size())].push_back(OutputInit{});
  }
  std::vector<OrderItem> order;
  for (std::size_t p = 0; p <= parts.size(); ++p) {
    shuffle(rng, directives[p]);
    for (OrderItem& d : directives[p]) order.push_back(d);
    if (p < parts.size()) order.push_back(parts[p]);
  }
  return order;
}

struct Generator {
  std::mt19937_64& rng;
  const RandomComponentOptions& options;

  Component leaf() {
    if (chance(rng, options.identity_probability)) return compiler::ir::component::Identity{};
    return random_expr(rng, options.expr);
  }

  Component node(std::size_t depth) {
    if (depth >= options.max_depth || (depth > 0 && chance(rng, options.leaf_probability))) {
      return leaf();
    }
    // Children are generated first to second, in statements, so the
    // sequence does not depend on argument evaluation order.
    switch (below(rng, 6)) {
      case 0: return two(depth, build::pair);
      case 1: return two(depth, build::chain);
      case 2: return two(depth, build::fanout);
      case 3: return two(depth, build::compose);
      case 4: return build::swap(node(depth + 1));
      default: return bind_some_input(node(depth + 1));
    }
  }

  Component two(std::size_t depth, Component (*combine)(Component, Component)) {
    Component first = node(depth + 1);
    Component second = node(depth + 1);
    return combine(std::move(first), std::move(second));
  }

  // Binds a random Free input; a component without one is returned as is.
  Component bind_some_input(Component inner) {
    const auto boundary = build::component_boundary(inner);
    assert(boundary);
    std::vector<std::size_t> free;
    for (std::size_t j = 0; j < boundary->inputs.size(); ++j) {
      if (boundary->inputs[j] == compiler::ir::graph::Input::Free) free.push_back(j);
    }
    if (free.empty()) return inner;
    return build::bind_input(std::move(inner), pick(rng, free));
  }
};

}  // namespace

Expr random_expr(std::mt19937_64& rng, const RandomExprOptions& options) {
  Pattern chosen;
  for (char32_t c = 'a'; c <= 'z'; ++c) chosen.push_back(c);
  shuffle(rng, chosen);
  chosen.resize(between(rng, 0, std::min(options.max_axes, chosen.size())));
  Expr e;
  random_patterns(rng, options, chosen, e);
  for (char32_t c : chosen) {
    if (!chance(rng, options.split_probability) || options.max_split_factors == 0) continue;
    SplitEntry s{c, {}};
    const std::size_t n = between(rng, 1, options.max_split_factors);
    for (std::size_t f = 0; f < n; ++f) {
      s.factors.push_back(between(rng, options.min_factor, options.max_factor));
    }
    e.splits.push_back(std::move(s));
  }
  if (chance(rng, options.permutation_probability)) {
    e.order = random_permutation(rng, options, chosen, e);
  }
  return e;
}

Component random_component(std::mt19937_64& rng, const RandomComponentOptions& options) {
  return Generator{rng, options}.node(0);
}

}  // namespace quarn_test
