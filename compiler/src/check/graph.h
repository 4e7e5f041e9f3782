// Validation of the generic dataflow graph. Checks, in order, stopping at the
// first failure:
//   1. for each node: its payload (through the caller's validator, message
//      prefixed "node {}: "), then each source it reads: an existing node,
//      an existing output slot of that node, a node before it, or an
//      existing graph input;
//   2. for each graph output: an existing output slot of an existing node,
//      or an existing graph input.
// The input states are not looked at. validate_node_graph adds the rules
// that tie a node graph's wiring to its node payloads.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <variant>

#include <fmt/format.h>

#include "ir/graph.h"
#include "ir/node.h"

namespace compiler::check::graph {

namespace detail {

using ir::graph::InputSource;
using ir::graph::NodeSource;
using ir::graph::Source;

template <class T>
std::expected<void, std::string> check_node_source(const ir::graph::Graph<T>& graph,
                                                   std::size_t i, const Source& source) {
  struct Visitor {
    const ir::graph::Graph<T>& graph;
    std::size_t i;
    std::expected<void, std::string> operator()(const NodeSource& s) const {
      if (s.node >= graph.nodes.size()) {
        return std::unexpected(
            fmt::format("node {} input references nonexistent node {}", i, s.node));
      }
      if (s.node >= i) {
        return std::unexpected(
            fmt::format("node {} input references non-prior node {}", i, s.node));
      }
      if (s.output >= graph.nodes[s.node].output_count) {
        return std::unexpected(fmt::format(
            "node {} input references nonexistent output {} of node {}", i, s.output, s.node));
      }
      return {};
    }
    std::expected<void, std::string> operator()(const InputSource& s) const {
      if (s.index >= graph.inputs.size()) {
        return std::unexpected(
            fmt::format("node {} input references nonexistent input {}", i, s.index));
      }
      return {};
    }
  };
  return std::visit(Visitor{graph, i}, source);
}

template <class T>
std::expected<void, std::string> check_output_source(const ir::graph::Graph<T>& graph,
                                                     const Source& source) {
  struct Visitor {
    const ir::graph::Graph<T>& graph;
    std::expected<void, std::string> operator()(const NodeSource& s) const {
      if (s.node >= graph.nodes.size()) {
        return std::unexpected(fmt::format("output references nonexistent node {}", s.node));
      }
      if (s.output >= graph.nodes[s.node].output_count) {
        return std::unexpected(fmt::format("output references nonexistent output {} of node {}",
                                           s.output, s.node));
      }
      return {};
    }
    std::expected<void, std::string> operator()(const InputSource& s) const {
      if (s.index >= graph.inputs.size()) {
        return std::unexpected(fmt::format("output references nonexistent input {}", s.index));
      }
      return {};
    }
  };
  return std::visit(Visitor{graph}, source);
}

}  // namespace detail

// `validate_payload(const T&)` returns std::expected<void, std::string>.
template <class T, class PayloadValidator>
std::expected<void, std::string> validate_graph(const ir::graph::Graph<T>& graph,
                                                PayloadValidator&& validate_payload) {
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    const auto& node = graph.nodes[i];
    if (auto ok = validate_payload(node.value); !ok) {
      return std::unexpected(fmt::format("node {}: {}", i, ok.error()));
    }
    for (const auto& source : node.inputs) {
      if (auto ok = detail::check_node_source(graph, i, source); !ok) return ok;
    }
  }
  for (const auto& source : graph.outputs) {
    if (auto ok = detail::check_output_source(graph, source); !ok) return ok;
  }
  return {};
}

// The generic checks with validate_node as payload validator, then for each
// node: as many sources as the payload has operands, and exactly one output.
std::expected<void, std::string> validate_node_graph(const ir::node::NodeGraph& graph);

}  // namespace compiler::check::graph
