// One parsed tensor expression: operand and result index patterns over the
// axis letters 'a'..'z', one operator, and an optional schedule (splits of
// axes into loop levels, and a permutation naming the loop order with
// compute and init directives). Values are plain and immutable once built;
// meaning is checked by the component validator, not here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "ir/common.h"

namespace compiler::ir::expr {

using common::Op;

// One letter per tensor dimension, outermost first; empty is a scalar.
using Pattern = std::vector<char32_t>;

// Splits `axis` into factors.size() + 1 nested loop levels, outermost first.
struct SplitEntry {
  char32_t axis = 0;
  std::vector<std::size_t> factors;
  bool operator==(const SplitEntry&) const = default;
};

// Loop level `primes` of `axis` (written as that many "'" after the letter).
struct AxisPart {
  std::size_t primes = 0;
  char32_t axis = 0;
  bool operator==(const AxisPart&) const = default;
};

// Compute directive for operand 0 or 1, written "0" or "1".
struct Compute {
  std::uint8_t operand = 0;
  bool operator==(const Compute&) const = default;
};

// Output accumulator init directive, written "!".
struct OutputInit {
  bool operator==(const OutputInit&) const = default;
};

using OrderItem = std::variant<AxisPart, Compute, OutputInit>;

struct Expr {
  std::vector<Pattern> inputs;
  Pattern output;
  std::vector<SplitEntry> splits;
  std::vector<OrderItem> order;
  Op op = Op::Add;
  bool operator==(const Expr&) const = default;
};

}  // namespace compiler::ir::expr
