#include "ir/print_node.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <string>
#include <variant>
#include <vector>

#include "check/node.h"

namespace compiler::ir::node {

namespace {

using check::node::format_axis_ref;
using check::node::format_site;

std::string format_input_state(graph::Input state) {
  switch (state) {
    case graph::Input::Free: return "Free";
    case graph::Input::Bound: return "Bound";
  }
  return "?";
}

std::string format_multi_index(const MultiIndex& m) { return fmt::format("[{}]", fmt::join(m, ", ")); }

std::string join_or_none(const std::vector<std::string>& items) {
  if (items.empty()) return "none";
  return fmt::format("{}", fmt::join(items, ", "));
}

// A site marker ("compute 1", "init") to be printed at the place it names.
struct Marker {
  Site site;
  std::string text;
};

std::vector<Marker> markers_of(const Node& node) {
  std::vector<Marker> out;
  for (std::size_t i = 0; i < node.compute.size(); ++i) {
    if (node.compute[i]) out.push_back({*node.compute[i], fmt::format("compute {}", i)});
  }
  if (node.init) out.push_back({*node.init, "init"});
  return out;
}

void print_loop_nest(const Node& node, std::string& out) {
  const auto markers = markers_of(node);
  const auto print_markers_at = [&](const Site& site, std::size_t depth) {
    for (const Marker& m : markers) {
      if (m.site != site) continue;
      out += fmt::format("{:{}}{}{}\n", "", 2 * depth, m.text,
                         std::holds_alternative<Root>(site) ? " at Root" : "");
    }
  };
  print_markers_at(Root{}, 1);
  for (std::size_t d = 0; d < node.order.size(); ++d) {
    out += fmt::format("{:{}}for {}\n", "", 2 * (d + 1), format_axis_ref(node.order[d]));
    print_markers_at(At{node.order[d]}, d + 2);
  }
  for (const Marker& m : markers) {
    const auto* at = std::get_if<At>(&m.site);
    if (at && std::ranges::find(node.order, at->level) == node.order.end()) {
      out += fmt::format("  {} at {} (not in loop order)\n", m.text, format_site(m.site));
    }
  }
}

void print_node(std::size_t number, const graph::Node<Node>& gnode, std::string& out) {
  const Node& node = gnode.value;
  out += fmt::format("node {}: {}, rank {}\n", number, common::op_name(node.op), node.rank);
  const std::size_t operands = std::max(node.inputs.size(), gnode.inputs.size());
  for (std::size_t i = 0; i < operands; ++i) {
    const std::string pattern =
        i < node.inputs.size() ? format_multi_index(node.inputs[i]) : "(no operand)";
    const std::string source =
        i < gnode.inputs.size() ? format_source(gnode.inputs[i]) : "(no source)";
    out += fmt::format("  operand {}: {} from {}\n", i, pattern, source);
  }
  out += fmt::format("  output: {}\n", format_multi_index(node.output));
  if (gnode.output_count != 1) out += fmt::format("  output slots: {}\n", gnode.output_count);
  const bool split = std::ranges::any_of(node.splits, [](const SplitList& s) { return !s.empty(); });
  std::vector<std::string> splits;
  for (const SplitList& s : node.splits) splits.push_back(fmt::format("[{}]", fmt::join(s, ", ")));
  out += fmt::format("  splits: {}\n", split ? join_or_none(splits) : "none");
  print_loop_nest(node, out);
}

}  // namespace

std::string format_source(const graph::Source& source) {
  struct Visitor {
    std::string operator()(const graph::InputSource& s) const {
      return fmt::format("input {}", s.index);
    }
    std::string operator()(const graph::NodeSource& s) const {
      return fmt::format("node {} output {}", s.node, s.output);
    }
  };
  return std::visit(Visitor{}, source);
}

std::string print_node_graph(const NodeGraph& graph) {
  std::vector<std::string> inputs;
  for (graph::Input state : graph.inputs) inputs.push_back(format_input_state(state));
  std::string out = fmt::format("inputs: {}\n", join_or_none(inputs));
  for (std::size_t n = 0; n < graph.nodes.size(); ++n) print_node(n, graph.nodes[n], out);
  std::vector<std::string> outputs;
  for (const graph::Source& s : graph.outputs) outputs.push_back(format_source(s));
  out += fmt::format("outputs: {}\n", join_or_none(outputs));
  return out;
}

}  // namespace compiler::ir::node
