#include "lower/component_to_graph.h"

#include <fmt/format.h>

#include <algorithm>
#include <cassert>
#include <utility>
#include <variant>
#include <vector>

#include "check/component.h"
#include "check/graph.h"
#include "component/build.h"
#include "lower/expr_to_node.h"

namespace compiler::lower::component_to_graph {

namespace {

using namespace ir::component;
using ir::graph::Input;
using ir::graph::InputSource;
using ir::graph::NodeSource;
using ir::graph::Source;

using PartialResult = std::expected<PartialGraph, std::string>;

std::vector<std::size_t> free_positions(const std::vector<Input>& inputs) {
  std::vector<std::size_t> out;
  for (std::size_t j = 0; j < inputs.size(); ++j) {
    if (inputs[j] == Input::Free) out.push_back(j);
  }
  return out;
}

// Where the inputs of a part being merged come from in the merged graph:
// one entry per input of the part.
using Remap = std::vector<Source>;

Source move_source(const Source& source, std::size_t offset, const Remap& remap) {
  struct Visitor {
    std::size_t offset;
    const Remap& remap;
    Source operator()(const InputSource& s) const {
      assert(s.index < remap.size());
      return remap[s.index];
    }
    Source operator()(const NodeSource& s) const { return NodeSource{s.node + offset, s.output}; }
  };
  return std::visit(Visitor{offset, remap}, source);
}

// Appends `part`'s nodes to `merged`, redirecting their sources; returns
// `part`'s outputs as sources of the merged graph.
std::vector<Source> move_into(PartialGraph& merged, PartialGraph part, const Remap& remap) {
  const std::size_t offset = merged.nodes.size();
  for (auto& node : part.nodes) {
    for (auto& source : node.inputs) source = move_source(source, offset, remap);
    merged.nodes.push_back(std::move(node));
  }
  std::vector<Source> outputs;
  outputs.reserve(part.outputs.size());
  for (const auto& source : part.outputs) outputs.push_back(move_source(source, offset, remap));
  return outputs;
}

// `fed`'s inputs at the positions in `taken` are replaced by `feeds[t]`;
// the others are appended to `merged.inputs` in order and map to their new
// positions.
Remap take_inputs(PartialGraph& merged, const std::vector<Input>& fed,
                  const std::vector<std::size_t>& taken, const std::vector<Source>& feeds) {
  Remap remap(fed.size());
  std::size_t t = 0;
  for (std::size_t j = 0; j < fed.size(); ++j) {
    if (t < taken.size() && taken[t] == j) {
      remap[j] = feeds[t];
      ++t;
      continue;
    }
    remap[j] = InputSource{merged.inputs.size()};
    merged.inputs.push_back(fed[j]);
  }
  return remap;
}

// `feeder` runs first; its first k outputs feed the first k Free inputs of
// `fed`. Returns the merged graph and `fed`'s moved outputs; the feeder's
// unconsumed outputs are those from position k on.
struct Fed {
  PartialGraph graph;
  std::vector<Source> fed_outputs;
  std::vector<Source> leftover_feeder_outputs;
};

Fed feed(PartialGraph feeder, PartialGraph fed) {
  auto taken = free_positions(fed.inputs);
  const std::size_t k = std::min(feeder.outputs.size(), taken.size());
  taken.resize(k);
  Fed out;
  out.graph.inputs = std::move(feeder.inputs);
  out.graph.nodes = std::move(feeder.nodes);
  const Remap remap = take_inputs(out.graph, fed.inputs, taken, feeder.outputs);
  out.leftover_feeder_outputs.assign(feeder.outputs.begin() + static_cast<std::ptrdiff_t>(k),
                                     feeder.outputs.end());
  out.fed_outputs = move_into(out.graph, std::move(fed), remap);
  return out;
}

std::vector<Source> concat(std::vector<Source> a, const std::vector<Source>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

PartialResult lower_partial(const Component& component);

// Lowers both children in order (the first failure wins) and merges them.
template <class Merge>
PartialResult lower_children(const Component& first, const Component& second, Merge merge) {
  auto a = lower_partial(first);
  if (!a) return a;
  auto b = lower_partial(second);
  if (!b) return b;
  return merge(std::move(*a), std::move(*b));
}

PartialResult lower_partial(const Component& component) {
  struct Visitor {
    PartialResult operator()(const Identity&) const {
      PartialGraph g;
      g.inputs = {Input::Free};
      g.outputs = {InputSource{0}};
      return g;
    }
    PartialResult operator()(const ir::expr::Expr& e) const {
      auto node = expr_to_node::lower_expr_to_node_unchecked(e);
      if (!node) return std::unexpected(std::move(node.error().message));
      const std::size_t n = node->inputs.size();
      PartialGraph g;
      g.inputs.assign(n, Input::Free);
      std::vector<Source> sources;
      for (std::size_t j = 0; j < n; ++j) sources.push_back(InputSource{j});
      g.nodes.push_back({std::move(*node), std::move(sources), 1});
      g.outputs = {NodeSource{0, 0}};
      return g;
    }
    PartialResult operator()(const Pair& c) const {
      return lower_children(*c.first, *c.second, [](PartialGraph a, PartialGraph b) {
        const Remap remap = take_inputs(a, b.inputs, {}, {});
        auto moved = move_into(a, std::move(b), remap);
        a.outputs = concat(std::move(a.outputs), moved);
        return a;
      });
    }
    PartialResult operator()(const Chain& c) const {
      return lower_children(*c.first, *c.second, [](PartialGraph a, PartialGraph b) {
        Fed f = feed(std::move(a), std::move(b));
        f.graph.outputs = concat(std::move(f.leftover_feeder_outputs), f.fed_outputs);
        return std::move(f.graph);
      });
    }
    PartialResult operator()(const Compose& c) const {
      return lower_children(*c.first, *c.second, [](PartialGraph a, PartialGraph b) {
        Fed f = feed(std::move(b), std::move(a));
        f.graph.outputs = concat(std::move(f.fed_outputs), f.leftover_feeder_outputs);
        return std::move(f.graph);
      });
    }
    PartialResult operator()(const Fanout& c) const {
      return lower_children(*c.first, *c.second, [](PartialGraph a, PartialGraph b) {
        const auto fa = free_positions(a.inputs);
        auto fb = free_positions(b.inputs);
        const std::size_t k = std::min(fa.size(), fb.size());
        fb.resize(k);
        std::vector<Source> shared;
        for (std::size_t t = 0; t < k; ++t) shared.push_back(InputSource{fa[t]});
        const Remap remap = take_inputs(a, b.inputs, fb, shared);
        auto moved = move_into(a, std::move(b), remap);
        a.outputs = concat(std::move(a.outputs), moved);
        return a;
      });
    }
    PartialResult operator()(const Swap& s) const {
      auto inner = lower_partial(*s.inner);
      if (!inner) return inner;
      if (inner->outputs.size() >= 2) std::swap(inner->outputs[0], inner->outputs[1]);
      return inner;
    }
    PartialResult operator()(const BindInput& b) const {
      auto inner = lower_partial(*b.inner);
      if (!inner) return inner;
      if (auto bound = compiler::component::build::bind_input_state(inner->inputs, b.index); !bound)
        return std::unexpected(bound.error());
      return inner;
    }
  };
  return std::visit(Visitor{}, component.node);
}

}  // namespace

std::expected<PartialGraph, std::string> lower_component_to_partial(const Component& component) {
  return lower_partial(component);
}

LowerResult<ir::node::NodeGraph> lower_component_to_graph(const Component& component) {
  std::size_t counter = 0;
  if (auto ok = check::component::validate_component_inner(component, counter); !ok) {
    return std::unexpected(
        LowerError{fmt::format("expr {}: {}", ok.error().expr, ok.error().message)});
  }
  auto graph = lower_component_to_partial(component);
  if (!graph) return std::unexpected(LowerError{std::move(graph.error())});
  if (auto ok = check::graph::validate_node_graph(*graph); !ok) {
    return std::unexpected(LowerError{std::move(ok.error())});
  }
  return std::move(*graph);
}

}  // namespace compiler::lower::component_to_graph
