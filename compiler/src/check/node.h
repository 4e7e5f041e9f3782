// Validation of one node. Checks, in order, stopping at the first failure:
//   1. every input index is below the rank;
//   2. every output index is below the rank and appears once;
//   3. every index 0..rank-1 is referenced by an input or the output;
//   4. there is one split list per index;
//   5. every order entry is an existing loop level and appears once;
//   6. the order lists every loop level of the node;
//   7. there is one compute site per operand;
//   8. every compute site names an existing loop level;
//   9. the init site is present exactly for reductions and sits at or inside
//      the innermost output loop.
// Messages carry no prefix; the graph validator adds "node {}: ".
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "ir/node.h"

namespace compiler::check::node {

using ir::node::Index;
using ir::node::LoopLevel;
using ir::node::MultiIndex;
using ir::node::Site;
using ir::node::SplitList;

// The display form of a loop level: the index followed by `level` "'" marks.
std::string format_axis_ref(Index index, std::size_t level);
inline std::string format_axis_ref(const LoopLevel& level) {
  return format_axis_ref(level.index, level.level);
}

// "Root" or "At({})" with the loop level's display form.
std::string format_site(const Site& site);

// Fails with "references nonexistent index {}" or "references nonexistent
// loop level {}"; callers prefix the context.
std::expected<void, std::string> validate_axis_ref(std::size_t rank,
                                                   const std::vector<SplitList>& splits,
                                                   Index index, std::size_t level);

// Where the accumulator of a reduction must at least be initialised: absent
// for a pointwise node, Root for a reduction to a scalar, otherwise inside
// the innermost output loop of `order`.
std::expected<std::optional<Site>, std::string> required_init_site_from_order(
    std::size_t rank, const MultiIndex& output, const std::vector<SplitList>& splits,
    const std::vector<LoopLevel>& order);

// Whether `init` sits at or inside the innermost output loop of `order`.
std::expected<void, std::string> validate_init_site_from_order(const MultiIndex& output,
                                                               const std::vector<LoopLevel>& order,
                                                               const Site& init);

std::expected<void, std::string> validate_node(const ir::node::Node& node);

}  // namespace compiler::check::node
