// Node graph to stage program. Assumes nothing of its input beyond what
// validate_node_graph accepts (it runs that first), rejects split factors
// that would make an extent divide by zero, and returns only programs that
// validate_stage_graph accepts (it runs that last).
//
// The Builder walks the graph from its outputs. A node reached through an
// operand without a compute site is built once as a materialized stage
// (memoized per node). A node reached through an operand with a compute site
// is copied into the consumer: its loops are matched with the consumer's,
// output dimension by output dimension and then reduction by reduction, and
// those matched with the consumer's loops up to the site are pruned into
// Consumer axes. Stages are appended after the stages they read, so every
// edge names an earlier stage.
#include "lower/node_to_stage.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "check/graph.h"
#include "check/stage.h"

namespace compiler::lower::node_to_stage {

namespace {

namespace nd = ir::node;
namespace st = ir::stage;
using ir::common::Base;
using ir::common::ExtentKind;
using ir::common::Index;
using ir::common::Semantic;
using ir::common::Split;
using ir::graph::InputSource;
using ir::graph::NodeSource;
using ir::graph::Source;
using st::AxisId;

template <class T>
using Expected = std::expected<T, std::string>;

using Fail = std::unexpected<std::string>;

// The extent and semantic index of one entry of a node's loop order; entry k
// gives axis k of the stage built from the node.
struct AxisSource {
  ExtentKind extent;
  Index index = 0;
};

// One consumer-scoped stage built so far, kept to find identical copies.
struct DuplicateStage {
  st::Stage stage;
  std::vector<Source> edges;
  std::size_t producer = 0;
  std::size_t stage_index = 0;
};

using Scope = std::size_t;

bool contains(const std::vector<Index>& indexes, Index x) {
  return std::find(indexes.begin(), indexes.end(), x) != indexes.end();
}

std::string debug_list(const std::vector<AxisId>& axes) {
  return fmt::format("[{}]", fmt::join(axes, ", "));
}

std::string extent_mismatch(const ExtentKind& producer, const ExtentKind& consumer) {
  return fmt::format("producer extent kind {} does not match consumer extent kind {}",
                     ir::common::debug_string(producer), ir::common::debug_string(consumer));
}

// The split level an extent stands for: 0 for the whole index or its outer
// level, `level` for an inner one.
std::size_t split_level(const ExtentKind& extent) {
  const auto* split = std::get_if<Split>(&extent);
  return split ? split->level : 0;
}

ExtentKind extent_kind(const nd::Node& node, Index index, std::size_t level) {
  const nd::SplitList& factors = node.splits[index];
  if (factors.empty()) return Semantic{};
  if (level == 0) return Base{factors};
  return Split{level, factors[level - 1]};
}

std::vector<AxisSource> axis_sources(const nd::Node& node) {
  std::vector<AxisSource> sources;
  for (const nd::LoopLevel& entry : node.order) {
    sources.push_back({extent_kind(node, entry.index, entry.level), entry.index});
  }
  return sources;
}

// A node site as a site of the stage whose axes follow the node's order.
std::optional<st::Site> lower_site(const nd::Node& node, const std::optional<nd::Site>& site) {
  if (!site) return std::nullopt;
  if (std::holds_alternative<nd::Root>(*site)) return st::Root{};
  const nd::LoopLevel level = std::get<nd::At>(*site).level;
  const auto it = std::find(node.order.begin(), node.order.end(), level);
  // Node validation guarantees every site names a level of the order.
  assert(it != node.order.end());
  return st::At{static_cast<AxisId>(it - node.order.begin())};
}

st::Stage lower_node_to_stage_skeleton(const nd::Node& node) {
  st::Stage stage;
  for (const nd::LoopLevel& entry : node.order) {
    stage.axes.push_back(st::Local{extent_kind(node, entry.index, entry.level), entry.index});
  }
  stage.output.indexes = node.output;
  stage.output.init = lower_site(node, node.init);
  const std::size_t count = std::min(node.inputs.size(), node.compute.size());
  for (std::size_t j = 0; j < count; ++j) {
    stage.inputs.push_back(st::Input{lower_site(node, node.compute[j]), node.inputs[j], {}});
  }
  stage.op = node.op;
  return stage;
}

// The consumer axes enclosing the compute site of operand j: [0, ..., a]
// for a site At(a), empty otherwise.
Expected<std::vector<AxisId>> consumer_axis_prefix(const st::Stage& stage, std::size_t j) {
  if (j >= stage.inputs.size() || !stage.inputs[j].compute) return std::vector<AxisId>{};
  const auto* at = std::get_if<st::At>(&*stage.inputs[j].compute);
  if (!at) return std::vector<AxisId>{};
  if (at->axis == std::numeric_limits<AxisId>::max()) {
    return Fail(fmt::format("consumer input {} compute site overflows", j));
  }
  if (at->axis + 1 > stage.axes.size()) {
    return Fail(fmt::format("consumer input {} compute site references nonexistent axis {}", j,
                            at->axis));
  }
  std::vector<AxisId> prefix;
  for (AxisId a = 0; a <= at->axis; ++a) prefix.push_back(a);
  return prefix;
}

// Positions of the axes over index x, ordered by split level (the whole
// index or its outer level first, then inner levels ascending).
template <class Extents>
std::vector<AxisId> positions_by_level(std::size_t count, Index x, const Extents& axis_at) {
  std::vector<AxisId> positions;
  for (AxisId k = 0; k < count; ++k) {
    if (axis_at(k).second == x) positions.push_back(k);
  }
  std::stable_sort(positions.begin(), positions.end(), [&](AxisId a, AxisId b) {
    return split_level(axis_at(a).first) < split_level(axis_at(b).first);
  });
  return positions;
}

// (position, extent) of every axis over index x, ordered by split level.
std::vector<std::pair<AxisId, ExtentKind>> live_axes_for_index(const std::vector<st::Axis>& axes,
                                                               Index x) {
  auto axis_at = [&](AxisId k) {
    return std::pair<const ExtentKind&, Index>(st::axis_extent(axes[k]), st::axis_index(axes[k]));
  };
  std::vector<std::pair<AxisId, ExtentKind>> live;
  for (AxisId k : positions_by_level(axes.size(), x, axis_at)) {
    live.emplace_back(k, st::axis_extent(axes[k]));
  }
  return live;
}

// How a layout names axis k of `stage`.
st::AxisRef axis_ref(const st::Stage& stage, AxisId k) {
  struct Visitor {
    AxisId k;
    st::AxisRef operator()(const st::Pruned& a) const { return st::LocalRef{a.by}; }
    st::AxisRef operator()(const st::Consumer& a) const { return st::ConsumerRef{a.axis}; }
    st::AxisRef operator()(const st::Local&) const { return st::LocalRef{k}; }
  };
  return std::visit(Visitor{k}, stage.axes[k]);
}

// The axis sources over index x, by split level, as positions checked
// against the stage's axes.
Expected<std::vector<AxisId>> source_positions(const st::Stage& stage,
                                               const std::vector<AxisSource>& sources, Index x) {
  auto axis_at = [&](AxisId k) {
    return std::pair<const ExtentKind&, Index>(sources[k].extent, sources[k].index);
  };
  std::vector<AxisId> positions = positions_by_level(sources.size(), x, axis_at);
  for (AxisId k : positions) {
    if (k >= stage.axes.size()) {
      return Fail(fmt::format("axis {} does not exist while lowering layout", k));
    }
  }
  return positions;
}

Expected<std::vector<st::AxisRef>> axis_refs_for_index(const st::Stage& stage,
                                                       const std::vector<AxisSource>& sources,
                                                       Index x) {
  auto positions = source_positions(stage, sources, x);
  if (!positions) return Fail(positions.error());
  std::vector<st::AxisRef> refs;
  for (AxisId k : *positions) refs.push_back(axis_ref(stage, k));
  return refs;
}

// A semantic layout has one dimension per index of the pattern; a split
// layout one per axis of those indexes, leaving out the axes of `prefix`
// and, for an output, the axes borrowed from the consumer.
Expected<st::Layout> lower_layout(const st::Stage& stage, const std::vector<AxisSource>& sources,
                                  const std::vector<Index>& indexes, bool split,
                                  const std::vector<AxisId>& prefix, bool is_output) {
  st::Layout layout;
  for (Index x : indexes) {
    if (!split) {
      auto refs = axis_refs_for_index(stage, sources, x);
      if (!refs) return Fail(refs.error());
      layout.dims.push_back(st::SemanticDim{x, std::move(*refs)});
      continue;
    }
    auto positions = source_positions(stage, sources, x);
    if (!positions) return Fail(positions.error());
    for (AxisId k : *positions) {
      if (std::find(prefix.begin(), prefix.end(), k) != prefix.end()) continue;
      const st::AxisRef ref = axis_ref(stage, k);
      if (is_output && !std::holds_alternative<st::LocalRef>(ref)) continue;
      layout.dims.push_back(st::SingleDim{ref});
    }
  }
  return layout;
}

// Whether, walking the loop nest outward in, an axis over an output index
// follows an axis over a reduced index.
bool output_axis_inside_reduction(const st::Stage& stage) {
  bool reduction_seen = false;
  for (const st::Axis& axis : stage.axes) {
    const bool over_output = contains(stage.output.indexes, st::axis_index(axis));
    if (!over_output) reduction_seen = true;
    if (over_output && reduction_seen) return true;
  }
  return false;
}

Expected<void> assign_layouts(st::Stage& stage, const nd::Node& node,
                              const std::vector<AxisSource>& sources, bool consumer_scoped) {
  // An accumulator whose output loops run inside a reduction loop cannot be
  // a tile of the current iteration; it keeps the full semantic layout.
  const bool split_output =
      consumer_scoped && !(stage.output.init && output_axis_inside_reduction(stage));
  auto output = lower_layout(stage, sources, node.output, split_output, {}, true);
  if (!output) return Fail(output.error());
  stage.output.layout = std::move(*output);
  for (std::size_t j = 0; j < stage.inputs.size(); ++j) {
    auto prefix = consumer_axis_prefix(stage, j);
    if (!prefix) return Fail(prefix.error());
    const bool split = stage.inputs[j].compute.has_value();
    auto layout = lower_layout(stage, sources, node.inputs[j], split, *prefix, false);
    if (!layout) return Fail(layout.error());
    stage.inputs[j].layout = std::move(*layout);
  }
  return {};
}

class Builder {
 public:
  explicit Builder(const nd::NodeGraph& graph)
      : graph_(graph), input_ranks_(graph.inputs.size(), 0), memo_(graph.nodes.size()) {}

  // The stage computed once, on its own, for node n.
  Expected<std::size_t> materialized_stage(std::size_t n) {
    if (memo_[n]) return *memo_[n];
    const Scope scope = next_scope_++;
    scope_sites_.emplace(scope, std::nullopt);
    const nd::Node& node = graph_.nodes[n].value;
    const std::vector<AxisSource> sources = axis_sources(node);
    st::Stage stage = lower_node_to_stage_skeleton(node);
    if (auto ok = assign_layouts(stage, node, sources, false); !ok) return Fail(ok.error());
    auto index = instantiate_lowered_stage(n, std::move(stage), scope, false, n);
    if (!index) return index;
    memo_[n] = *index;
    return *index;
  }

  std::vector<st::ProgramShape> input_shapes() const {
    std::vector<st::ProgramShape> shapes;
    for (std::size_t k = 0; k < input_ranks_.size(); ++k) shapes.push_back(input_shape(k));
    return shapes;
  }

  std::vector<ir::graph::Node<st::Stage>> take_stages() { return std::move(stages_); }
  std::vector<st::ProgramShape> take_shapes() { return std::move(shapes_); }

 private:
  st::ProgramShape input_shape(std::size_t k) const {
    st::ProgramShape shape;
    for (std::size_t d = 0; d < input_ranks_[k]; ++d) shape.dims.push_back({k, d});
    return shape;
  }

  // A copy of producer node m that runs inside `consumer`'s loop nest at
  // the compute site of its operand j.
  Expected<std::size_t> duplicate_stage(std::size_t m, const st::Stage& consumer, std::size_t j,
                                        Scope scope) {
    const nd::Node& node = graph_.nodes[m].value;
    const std::vector<AxisSource> sources = axis_sources(node);
    st::Stage producer = lower_node_to_stage_skeleton(node);
    auto prefix = consumer_axis_prefix(consumer, j);
    if (!prefix) return Fail(prefix.error());
    if (j >= consumer.inputs.size()) {
      return Fail(fmt::format("consumer input {} does not exist for pruning", j));
    }
    const st::Input& operand = consumer.inputs[j];
    if (producer.output.indexes.size() != operand.indexes.size()) {
      return Fail(fmt::format(
          "producer output has {} shape dimensions but consumer input {} has {} shape dimensions",
          producer.output.indexes.size(), j, operand.indexes.size()));
    }

    std::vector<std::optional<AxisId>> aligned_to(producer.axes.size());
    std::vector<bool> consumer_aligned(consumer.axes.size(), false);

    // Output dimensions: the levels of each producer index pair up with the
    // levels of the consumer index read at the same position.
    for (std::size_t d = 0; d < operand.indexes.size(); ++d) {
      const Index p = producer.output.indexes[d];
      const Index c = operand.indexes[d];
      const auto lp = live_axes_for_index(producer.axes, p);
      const auto lc = live_axes_for_index(consumer.axes, c);
      if (lp.size() != lc.size()) {
        return Fail(fmt::format("producer index {} has {} axes but consumer index {} has {} axes",
                                p, lp.size(), c, lc.size()));
      }
      for (std::size_t t = 0; t < lp.size(); ++t) {
        if (lp[t].second != lc[t].second) return Fail(extent_mismatch(lp[t].second, lc[t].second));
        aligned_to[lp[t].first] = lc[t].first;
        consumer_aligned[lc[t].first] = true;
      }
    }

    // Reduced axes share a consumer loop over the same index number with the
    // same extent, when exactly one such loop is still free. They are
    // visited in loop order, so an outer reduction axis wins a contested loop.
    for (AxisId k = 0; k < producer.axes.size(); ++k) {
      const Index x = st::axis_index(producer.axes[k]);
      if (contains(producer.output.indexes, x) || aligned_to[k]) continue;
      std::vector<AxisId> candidates;
      for (AxisId a = 0; a < consumer.axes.size(); ++a) {
        if (st::axis_index(consumer.axes[a]) == x && !consumer_aligned[a] &&
            st::axis_extent(consumer.axes[a]) == st::axis_extent(producer.axes[k])) {
          candidates.push_back(a);
        }
      }
      if (candidates.size() > 1) {
        return Fail(fmt::format("producer reduced axis {} ambiguously aligns with consumer index {}",
                                k, x));
      }
      if (candidates.size() == 1) {
        aligned_to[k] = candidates[0];
        consumer_aligned[candidates[0]] = true;
      }
    }

    // Pruning: axes aligned with the consumer's loops up to the site are the
    // consumer's; the copy must meet them in the consumer's order.
    std::vector<AxisId> recorded;
    for (AxisId i = 0; i < producer.axes.size(); ++i) {
      if (!aligned_to[i]) continue;
      const AxisId a = *aligned_to[i];
      if (std::find(prefix->begin(), prefix->end(), a) == prefix->end()) continue;
      recorded.push_back(a);
      const auto* local = std::get_if<st::Local>(&producer.axes[i]);
      if (!local) return Fail(fmt::format("axis {} is already pruned", i));
      if (a >= consumer.axes.size()) {
        return Fail(fmt::format("axis {} does not exist for pruning", a));
      }
      if (local->extent != st::axis_extent(consumer.axes[a])) {
        return Fail(extent_mismatch(local->extent, st::axis_extent(consumer.axes[a])));
      }
      producer.axes[i] = st::Consumer{a, local->extent, local->index};
    }
    std::vector<AxisId> expected;
    for (AxisId a : *prefix) {
      if (a < consumer_aligned.size() && consumer_aligned[a]) expected.push_back(a);
    }
    if (recorded != expected) {
      return Fail(fmt::format("producer axes align with consumer axes {}, expected {}",
                              debug_list(recorded), debug_list(expected)));
    }

    if (auto ok = assign_layouts(producer, node, sources, true); !ok) return Fail(ok.error());
    return instantiate_lowered_stage(m, std::move(producer), scope, true, m);
  }

  // Lowers node n's incoming edges, then appends `stage` (or finds an
  // identical earlier copy when `dedupe` is set) with its shape.
  Expected<std::size_t> instantiate_lowered_stage(std::size_t n, st::Stage stage, Scope scope,
                                                  bool dedupe, std::size_t producer) {
    const auto& node_edges = graph_.nodes[n].inputs;
    std::vector<Source> edges;
    for (std::size_t j = 0; j < node_edges.size(); ++j) {
      const std::optional<st::Site> site =
          j < stage.inputs.size() ? stage.inputs[j].compute : std::nullopt;
      if (const auto* input = std::get_if<InputSource>(&node_edges[j])) {
        if (site) {
          return Fail(fmt::format("node {} input {} is a graph input with a compute site", n, j));
        }
        edges.push_back(*input);
        continue;
      }
      const auto& from = std::get<NodeSource>(node_edges[j]);
      if (from.output != 0) {
        return Fail(fmt::format("node {} input {} references output {}", n, j, from.output));
      }
      auto source = site ? duplicate_stage(from.node, stage, j, child_scope(scope, *site))
                         : materialized_stage(from.node);
      if (!source) return source;
      edges.push_back(NodeSource{*source, 0});
    }

    if (dedupe) {
      for (const DuplicateStage& d : duplicates_) {
        if (d.producer == producer && d.stage == stage && d.edges == edges) return d.stage_index;
      }
    }

    auto shape = stage_shape(stage, edges);
    if (!shape) return Fail(shape.error());

    const std::size_t index = stages_.size();
    if (dedupe) duplicates_.push_back({stage, edges, producer, index});
    stages_.push_back({std::move(stage), std::move(edges), graph_.nodes[n].output_count});
    shapes_.push_back(std::move(*shape));
    return index;
  }

  // The output shape, each index taking its extent from the first operand
  // that reads it. Raises the rank counters of the program inputs read.
  Expected<st::ProgramShape> stage_shape(const st::Stage& stage,
                                         const std::vector<Source>& edges) {
    std::map<Index, st::ShapeDim> dims;
    const std::size_t count = std::min(stage.inputs.size(), edges.size());
    for (std::size_t j = 0; j < count; ++j) {
      const std::vector<Index>& indexes = stage.inputs[j].indexes;
      st::ProgramShape source_shape;
      if (const auto* input = std::get_if<InputSource>(&edges[j])) {
        assert(input->index < input_ranks_.size());
        input_ranks_[input->index] = std::max(input_ranks_[input->index], indexes.size());
        for (std::size_t d = 0; d < indexes.size(); ++d) {
          source_shape.dims.push_back({input->index, d});
        }
      } else {
        const auto& from = std::get<NodeSource>(edges[j]);
        if (from.node >= shapes_.size()) {
          return Fail(
              fmt::format("stage input references shape of nonexistent stage {}", from.node));
        }
        source_shape = shapes_[from.node];
        if (source_shape.dims.size() != indexes.size()) {
          return Fail(fmt::format("stage input expects rank {} but source stage {} has rank {}",
                                  indexes.size(), from.node, source_shape.dims.size()));
        }
        if (from.output != 0) {
          return Fail(fmt::format("stage input references output {}", from.output));
        }
      }
      for (std::size_t d = 0; d < indexes.size(); ++d) {
        dims.try_emplace(indexes[d], source_shape.dims[d]);
      }
    }
    st::ProgramShape shape;
    for (Index x : stage.output.indexes) {
      const auto it = dims.find(x);
      if (it == dims.end()) {
        return Fail(fmt::format("stage output index {} has no input shape source", x));
      }
      shape.dims.push_back(it->second);
    }
    return shape;
  }

  // Scopes group the nested lowering of one consumer's operands: the same
  // (parent, site) always gives the same scope. They do not affect the
  // result; deduplication compares stages, not scopes.
  Scope child_scope(Scope parent, const st::Site& site) {
    const auto* at = std::get_if<st::At>(&site);
    const auto key = std::make_tuple(parent, at != nullptr, at ? at->axis : AxisId{0});
    if (const auto it = child_scopes_.find(key); it != child_scopes_.end()) return it->second;
    const Scope scope = next_scope_++;
    scope_sites_.emplace(scope, site);
    child_scopes_.emplace(key, scope);
    return scope;
  }

  const nd::NodeGraph& graph_;
  std::vector<ir::graph::Node<st::Stage>> stages_;
  std::vector<st::ProgramShape> shapes_;
  std::vector<std::size_t> input_ranks_;
  std::vector<std::optional<std::size_t>> memo_;
  std::vector<DuplicateStage> duplicates_;
  std::map<std::tuple<Scope, bool, AxisId>, Scope> child_scopes_;
  std::map<Scope, std::optional<st::Site>> scope_sites_;  // absent for root scopes
  Scope next_scope_ = 0;
};

// Split factors become loop extents and divisors of the generated extent
// computation ceil(E / product): a zero factor, or a product that does not
// fit a size (and may wrap to zero), would divide by zero at run time.
Expected<void> check_split_factors(const nd::NodeGraph& graph) {
  for (std::size_t n = 0; n < graph.nodes.size(); ++n) {
    const std::vector<nd::SplitList>& splits = graph.nodes[n].value.splits;
    for (Index x = 0; x < splits.size(); ++x) {
      std::size_t product = 1;
      for (std::size_t factor : splits[x]) {
        if (factor == 0) return Fail(fmt::format("node {}: index {} has split factor 0", n, x));
        if (product > std::numeric_limits<std::size_t>::max() / factor) {
          return Fail(fmt::format("node {}: split factors of index {} overflow", n, x));
        }
        product *= factor;
      }
    }
  }
  return {};
}

}  // namespace

LowerResult<st::StageProgram> lower_node_graph_to_stage_program(const nd::NodeGraph& node_graph) {
  if (auto ok = check::graph::validate_node_graph(node_graph); !ok) {
    return std::unexpected(LowerError{ok.error()});
  }
  if (auto ok = check_split_factors(node_graph); !ok) {
    return std::unexpected(LowerError{ok.error()});
  }
  Builder builder(node_graph);
  std::vector<Source> outputs;
  for (const Source& output : node_graph.outputs) {
    if (std::holds_alternative<InputSource>(output)) {
      outputs.push_back(output);
      continue;
    }
    const auto& from = std::get<NodeSource>(output);
    auto stage = builder.materialized_stage(from.node);
    if (!stage) return std::unexpected(LowerError{stage.error()});
    outputs.push_back(NodeSource{*stage, from.output});
  }
  st::StageProgram program;
  program.input_shapes = builder.input_shapes();
  program.stage_shapes = builder.take_shapes();
  program.graph.inputs = node_graph.inputs;
  program.graph.nodes = builder.take_stages();
  program.graph.outputs = std::move(outputs);
  if (auto ok = check::stage::validate_stage_graph(program.graph); !ok) {
    return std::unexpected(LowerError{ok.error()});
  }
  return program;
}

}  // namespace compiler::lower::node_to_stage
