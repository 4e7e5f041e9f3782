#include "check/node.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>
#include <string>
#include <variant>

namespace compiler::check::node {

namespace {

using Result = std::expected<void, std::string>;

bool contains(const MultiIndex& indexes, Index index) {
  return std::ranges::find(indexes, index) != indexes.end();
}

std::size_t factor_count(const std::vector<SplitList>& splits, Index index) {
  return index < splits.size() ? splits[index].size() : 0;
}

// One plus the position of the innermost order entry over an output index;
// 0 when the order has none.
std::size_t innermost_output_end(const MultiIndex& output, const std::vector<LoopLevel>& order) {
  for (std::size_t p = order.size(); p > 0; --p) {
    if (contains(output, order[p - 1].index)) return p;
  }
  return 0;
}

bool is_pointwise(std::size_t rank, const MultiIndex& output) {
  for (Index t = 0; t < rank; ++t) {
    if (!contains(output, t)) return false;
  }
  return true;
}

Result check_indexes(const ir::node::Node& node) {
  for (std::size_t i = 0; i < node.inputs.size(); ++i) {
    for (Index t : node.inputs[i]) {
      if (t >= node.rank) {
        return std::unexpected(
            fmt::format("input {} references nonexistent index {}", i, t));
      }
    }
  }
  std::set<Index> seen;
  for (Index t : node.output) {
    if (t >= node.rank) {
      return std::unexpected(fmt::format("output references nonexistent index {}", t));
    }
    if (!seen.insert(t).second) {
      return std::unexpected(fmt::format("output repeats index {}", t));
    }
  }
  for (Index t = 0; t < node.rank; ++t) {
    const bool in_input =
        std::ranges::any_of(node.inputs, [t](const MultiIndex& m) { return contains(m, t); });
    if (!in_input && !seen.contains(t)) {
      return std::unexpected(fmt::format("node index {} is not referenced", t));
    }
  }
  return {};
}

Result check_order(const ir::node::Node& node) {
  std::vector<LoopLevel> all_levels;
  for (Index t = 0; t < node.rank; ++t) {
    for (std::size_t l = 0; l <= node.splits[t].size(); ++l) all_levels.push_back({t, l});
  }
  std::set<LoopLevel> seen;
  for (const LoopLevel& level : node.order) {
    if (auto ok = validate_axis_ref(node.rank, node.splits, level.index, level.level); !ok) {
      return std::unexpected(fmt::format("order {}", ok.error()));
    }
    if (!seen.insert(level).second) {
      return std::unexpected(
          fmt::format("order repeats loop level {}", format_axis_ref(level)));
    }
  }
  if (node.order.size() != all_levels.size()) {
    return std::unexpected(fmt::format("order must contain {} loop levels, found {}",
                                       all_levels.size(), node.order.size()));
  }
  for (const LoopLevel& level : all_levels) {
    if (!seen.contains(level)) {
      return std::unexpected(
          fmt::format("order is missing loop level {}", format_axis_ref(level)));
    }
  }
  return {};
}

Result check_compute_sites(const ir::node::Node& node) {
  if (node.compute.size() != node.inputs.size()) {
    return std::unexpected(fmt::format("node has {} compute sites for {} inputs",
                                       node.compute.size(), node.inputs.size()));
  }
  for (std::size_t i = 0; i < node.compute.size(); ++i) {
    if (!node.compute[i]) continue;
    const auto* at = std::get_if<ir::node::At>(&*node.compute[i]);
    if (!at) continue;
    if (auto ok = validate_axis_ref(node.rank, node.splits, at->level.index, at->level.level);
        !ok) {
      return std::unexpected(fmt::format("compute site for input {} {}", i, ok.error()));
    }
  }
  return {};
}

Result check_init_site(const ir::node::Node& node) {
  auto required = required_init_site_from_order(node.rank, node.output, node.splits, node.order);
  if (!required) return std::unexpected(required.error());
  if (!*required) {
    if (node.init) return std::unexpected("pointwise node cannot have an init site");
    return {};
  }
  if (!node.init) return std::unexpected("reduction node must have an init site");
  return validate_init_site_from_order(node.output, node.order, *node.init);
}

}  // namespace

std::string format_axis_ref(Index index, std::size_t level) {
  return fmt::format("{}{}", index, std::string(level, '\''));
}

std::string format_site(const Site& site) {
  struct Visitor {
    std::string operator()(const ir::node::Root&) const { return "Root"; }
    std::string operator()(const ir::node::At& at) const {
      return fmt::format("At({})", format_axis_ref(at.level));
    }
  };
  return std::visit(Visitor{}, site);
}

Result validate_axis_ref(std::size_t rank, const std::vector<SplitList>& splits, Index index,
                         std::size_t level) {
  if (index >= rank) {
    return std::unexpected(fmt::format("references nonexistent index {}", index));
  }
  if (level > factor_count(splits, index)) {
    return std::unexpected(
        fmt::format("references nonexistent loop level {}", format_axis_ref(index, level)));
  }
  return {};
}

std::expected<std::optional<Site>, std::string> required_init_site_from_order(
    std::size_t rank, const MultiIndex& output, const std::vector<SplitList>& splits,
    const std::vector<LoopLevel>& order) {
  if (is_pointwise(rank, output)) return std::optional<Site>{};
  std::size_t output_levels = 0;
  for (Index t : output) output_levels += factor_count(splits, t) + 1;
  if (output_levels == 0) return std::optional<Site>{ir::node::Root{}};
  const auto in_output =
      std::ranges::count_if(order, [&](const LoopLevel& l) { return contains(output, l.index); });
  if (order.empty() || static_cast<std::size_t>(in_output) != output_levels) {
    return std::unexpected("order does not contain every output loop level");
  }
  const std::size_t end = innermost_output_end(output, order);
  return std::optional<Site>{ir::node::At{order[end - 1]}};
}

Result validate_init_site_from_order(const MultiIndex& output, const std::vector<LoopLevel>& order,
                                     const Site& init) {
  const std::size_t end = innermost_output_end(output, order);
  // Root sits before every loop (position 0); At(level) at the level's
  // position in the order, counting from 1.
  std::size_t position = 0;
  if (const auto* at = std::get_if<ir::node::At>(&init)) {
    const auto it = std::ranges::find(order, at->level);
    if (it == order.end()) return std::unexpected("init site is outside loop order");
    position = static_cast<std::size_t>(it - order.begin()) + 1;
  }
  if (position < end) {
    return std::unexpected(fmt::format("init site must be at or inside {}",
                                       format_site(ir::node::At{order[end - 1]})));
  }
  return {};
}

Result validate_node(const ir::node::Node& node) {
  if (auto ok = check_indexes(node); !ok) return ok;
  if (node.splits.size() != node.rank) {
    return std::unexpected(
        fmt::format("node has {} split lists for rank {}", node.splits.size(), node.rank));
  }
  if (auto ok = check_order(node); !ok) return ok;
  if (auto ok = check_compute_sites(node); !ok) return ok;
  return check_init_site(node);
}

}  // namespace compiler::check::node
