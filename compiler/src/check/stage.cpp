// Checks, in order:
// - per stage node: the stage itself (validate_stage, "node {}: " prefix),
//   then its incoming edges name existing inputs or existing outputs of
//   earlier nodes;
// - graph outputs name existing inputs or node outputs;
// - per node: one edge per stage operand and exactly one output slot;
// - consumer scope: a stage that mentions consumer axes is no graph output,
//   has consumers, and every consumer reads it through an operand with a
//   compute site and has every consumer axis it mentions.
// validate_stage checks output pattern, output layout, init site, axes,
// operands, then that reductions and only they have an init site.
#include "check/stage.h"

#include "check/graph.h"

#include <algorithm>
#include <optional>
#include <set>
#include <type_traits>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace compiler::check::stage {

namespace {

using namespace ir::stage;
using ir::graph::NodeSource;
using ir::graph::Source;

using Result = std::expected<void, std::string>;

bool contains(const std::vector<Index>& indexes, Index x) {
  return std::find(indexes.begin(), indexes.end(), x) != indexes.end();
}

// "references nonexistent axis {}" when a local reference is out of range.
Result validate_local_ref(std::size_t axis_count, const AxisRef& ref) {
  if (const auto* local = std::get_if<LocalRef>(&ref); local && local->axis >= axis_count) {
    return std::unexpected(fmt::format("references nonexistent axis {}", local->axis));
  }
  return {};
}

Result validate_semantic_dim(std::size_t axis_count, const std::vector<Index>& indexes,
                             const SemanticDim& dim) {
  if (!contains(indexes, dim.index)) {
    return std::unexpected(fmt::format("references index {} outside shape", dim.index));
  }
  if (dim.axes.empty()) {
    return std::unexpected(fmt::format("semantic dimension {} has no axes", dim.index));
  }
  for (std::size_t k = 0; k < dim.axes.size(); ++k) {
    if (auto ok = validate_local_ref(axis_count, dim.axes[k]); !ok) return ok;
    if (std::find(dim.axes.begin(), dim.axes.begin() + static_cast<std::ptrdiff_t>(k),
                  dim.axes[k]) != dim.axes.begin() + static_cast<std::ptrdiff_t>(k)) {
      return std::unexpected(fmt::format("semantic dimension {} repeats axis", dim.index));
    }
  }
  return {};
}

// The first index of `indexes` that repeats an earlier one.
std::optional<Index> repeated_index(const std::vector<Index>& indexes) {
  for (std::size_t k = 0; k < indexes.size(); ++k) {
    if (std::find(indexes.begin(), indexes.begin() + static_cast<std::ptrdiff_t>(k),
                  indexes[k]) != indexes.begin() + static_cast<std::ptrdiff_t>(k)) {
      return indexes[k];
    }
  }
  return std::nullopt;
}

Result validate_site(std::size_t axis_count, const std::optional<Site>& site) {
  if (!site) return {};
  if (const auto* at = std::get_if<At>(&*site); at && at->axis >= axis_count) {
    return std::unexpected(fmt::format("references nonexistent axis {}", at->axis));
  }
  return {};
}

Result validate_output(const Stage& stage) {
  const Output& output = stage.output;
  if (auto x = repeated_index(output.indexes)) {
    return std::unexpected(fmt::format("shape repeats index {}", *x));
  }
  if (auto ok = validate_layout(stage.axes.size(), output.indexes, output.layout.dims); !ok) {
    return ok;
  }
  return validate_site(stage.axes.size(), output.init);
}

Result validate_axis(std::size_t axis_count, const Axis& axis) {
  const auto* pruned = std::get_if<Pruned>(&axis);
  if (!pruned) return {};
  if (pruned->by < axis_count) {
    return std::unexpected(fmt::format("is pruned by local axis {}", pruned->by));
  }
  return std::unexpected(fmt::format("references nonexistent axis {}", pruned->by));
}

Result validate_operand(std::size_t axis_count, const Input& input) {
  if (auto x = repeated_index(input.indexes)) {
    return std::unexpected(fmt::format("shape repeats index {}", *x));
  }
  if (auto ok = validate_layout(axis_count, input.indexes, input.layout.dims); !ok) return ok;
  return validate_site(axis_count, input.compute);
}

void collect_consumer_refs(const Layout& layout, std::set<AxisId>& out) {
  auto add = [&](const AxisRef& ref) {
    if (const auto* consumer = std::get_if<ConsumerRef>(&ref)) out.insert(consumer->axis);
  };
  for (const LayoutDim& dim : layout.dims) {
    std::visit(
        [&](const auto& d) {
          using D = std::decay_t<decltype(d)>;
          if constexpr (std::is_same_v<D, SemanticDim>) {
            for (const AxisRef& ref : d.axes) add(ref);
          } else {
            add(d.axis);
          }
        },
        dim);
  }
}

// Every consumer axis number a stage mentions, in ascending order.
std::set<AxisId> consumer_axes(const Stage& stage) {
  std::set<AxisId> axes;
  for (const Axis& axis : stage.axes) {
    if (const auto* consumer = std::get_if<Consumer>(&axis)) axes.insert(consumer->axis);
  }
  collect_consumer_refs(stage.output.layout, axes);
  for (const Input& input : stage.inputs) collect_consumer_refs(input.layout, axes);
  return axes;
}

bool names_output_zero(const Source& source, std::size_t b) {
  const auto* node = std::get_if<NodeSource>(&source);
  return node && node->node == b && node->output == 0;
}

Result validate_consumer_scopes(const StageGraph& graph) {
  const std::size_t n = graph.nodes.size();
  std::vector<std::vector<std::pair<std::size_t, std::size_t>>> consumers(n);
  for (std::size_t c = 0; c < n; ++c) {
    const auto& edges = graph.nodes[c].inputs;
    for (std::size_t j = 0; j < edges.size(); ++j) {
      if (const auto* node = std::get_if<NodeSource>(&edges[j]); node && node->output == 0) {
        consumers[node->node].emplace_back(c, j);
      }
    }
  }
  for (std::size_t b = 0; b < n; ++b) {
    const std::set<AxisId> mentioned = consumer_axes(graph.nodes[b].value);
    if (mentioned.empty()) continue;
    for (const Source& output : graph.outputs) {
      if (names_output_zero(output, b)) {
        return std::unexpected(
            fmt::format("node {}: graph output references consumer-scoped stage", b));
      }
    }
    if (consumers[b].empty()) {
      return std::unexpected(fmt::format("node {}: consumer-scoped stage has no consumers", b));
    }
    for (const auto& [c, j] : consumers[b]) {
      const Stage& consumer = graph.nodes[c].value;
      if (j >= consumer.inputs.size() || !consumer.inputs[j].compute) {
        return std::unexpected(fmt::format(
            "node {}: consumer-scoped stage consumer {} input {} has no compute site", b, c, j));
      }
      for (AxisId a : mentioned) {
        if (a >= consumer.axes.size()) {
          return std::unexpected(
              fmt::format("node {}: references nonexistent consumer axis {}", b, a));
        }
      }
    }
  }
  return {};
}

}  // namespace

std::string format_indexes(const std::vector<Index>& indexes) {
  return fmt::format("{}", fmt::join(indexes, ","));
}

Result validate_layout(std::size_t axis_count, const std::vector<Index>& indexes,
                       const std::vector<LayoutDim>& dims) {
  std::vector<Index> semantic;
  for (const LayoutDim& dim : dims) {
    Result ok = std::visit(
        [&](const auto& d) -> Result {
          using D = std::decay_t<decltype(d)>;
          if constexpr (std::is_same_v<D, SemanticDim>) {
            semantic.push_back(d.index);
            return validate_semantic_dim(axis_count, indexes, d);
          } else {
            return validate_local_ref(axis_count, d.axis);
          }
        },
        dim);
    if (!ok) return ok;
  }
  if (!semantic.empty() && semantic != indexes) {
    return std::unexpected(fmt::format("semantic layout indexes are {}, expected {}",
                                       format_indexes(semantic), format_indexes(indexes)));
  }
  return {};
}

Result validate_stage(const Stage& stage) {
  if (auto ok = validate_output(stage); !ok) {
    return std::unexpected(fmt::format("output {}", ok.error()));
  }
  for (std::size_t j = 0; j < stage.axes.size(); ++j) {
    if (auto ok = validate_axis(stage.axes.size(), stage.axes[j]); !ok) {
      return std::unexpected(fmt::format("axis {} {}", j, ok.error()));
    }
  }
  for (std::size_t j = 0; j < stage.inputs.size(); ++j) {
    if (auto ok = validate_operand(stage.axes.size(), stage.inputs[j]); !ok) {
      return std::unexpected(fmt::format("input {} {}", j, ok.error()));
    }
  }
  const bool reduction = std::any_of(stage.axes.begin(), stage.axes.end(), [&](const Axis& a) {
    return !contains(stage.output.indexes, axis_index(a));
  });
  if (!reduction && stage.output.init) {
    return std::unexpected(std::string("pointwise stage cannot have an init site"));
  }
  if (reduction && !stage.output.init) {
    return std::unexpected(std::string("reduction stage must have an init site"));
  }
  return {};
}

Result validate_stage_graph(const StageGraph& graph) {
  if (auto ok = check::graph::validate_graph(graph, validate_stage); !ok) return ok;
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    const auto& node = graph.nodes[i];
    if (node.inputs.size() != node.value.inputs.size()) {
      return std::unexpected(fmt::format("node {}: graph has {} inputs for {} stage inputs", i,
                                         node.inputs.size(), node.value.inputs.size()));
    }
    if (node.output_count != 1) {
      return std::unexpected(
          fmt::format("node {}: graph has {} outputs for stage", i, node.output_count));
    }
  }
  return validate_consumer_scopes(graph);
}

}  // namespace compiler::check::stage
