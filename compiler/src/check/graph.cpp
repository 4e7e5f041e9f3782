#include "check/graph.h"

#include "check/node.h"

namespace compiler::check::graph {

std::expected<void, std::string> validate_node_graph(const ir::node::NodeGraph& graph) {
  if (auto ok = validate_graph(graph, node::validate_node); !ok) return ok;
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    const auto& n = graph.nodes[i];
    if (n.inputs.size() != n.value.inputs.size()) {
      return std::unexpected(fmt::format("node {}: graph has {} inputs for {} node inputs", i,
                                         n.inputs.size(), n.value.inputs.size()));
    }
    if (n.output_count != 1) {
      return std::unexpected(
          fmt::format("node {}: graph has {} outputs for node", i, n.output_count));
    }
  }
  return {};
}

}  // namespace compiler::check::graph
