// A node is one operator application in index form: axis letters replaced by
// index numbers 0..rank-1 (output letters first), each index with its split
// factors, and the schedule resolved into an explicit loop order with sites
// for operand computation and accumulator initialisation. The node graph is
// Graph<Node>. A node is a reduction exactly when some index is absent from
// its output; reductions, and only they, carry an init site.
#pragma once

#include <cstddef>
#include <optional>
#include <variant>
#include <vector>

#include "ir/common.h"
#include "ir/graph.h"

namespace compiler::ir::node {

using common::Index;
using common::Op;

// One index per tensor dimension, outermost first; empty is a scalar.
using MultiIndex = std::vector<Index>;

// Split factors of one index, outermost split first; empty = not split. An
// index with k factors has k + 1 loop levels, level 0 outermost.
using SplitList = std::vector<std::size_t>;

// One loop of the nest: level `level` of index `index`. Displayed as the
// index followed by `level` "'" marks (2' is index 2, level 1).
struct LoopLevel {
  Index index = 0;
  std::size_t level = 0;
  bool operator==(const LoopLevel&) const = default;
  auto operator<=>(const LoopLevel&) const = default;
};

// Outside all loops of the node.
struct Root {
  bool operator==(const Root&) const = default;
};
// Inside the loop of `level`.
struct At {
  LoopLevel level;
  bool operator==(const At&) const = default;
};
using Site = std::variant<Root, At>;

struct Node {
  Op op = Op::Add;
  std::size_t rank = 0;
  std::vector<MultiIndex> inputs;  // one per operand (1 or 2)
  MultiIndex output;               // no index repeats
  std::vector<SplitList> splits;   // exactly one per index
  std::vector<LoopLevel> order;    // the loop nest, outermost first
  std::vector<std::optional<Site>> compute;  // one per operand
  std::optional<Site> init;                  // present exactly for reductions
  bool operator==(const Node&) const = default;
};

using NodeGraph = graph::Graph<Node>;

}  // namespace compiler::ir::node
