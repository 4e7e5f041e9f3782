// The generic dataflow graph shared by the node graph, the stage program and
// the kernel program. Nodes are stored in evaluation order: a node reads
// graph inputs and outputs of earlier nodes only, so the graph is acyclic
// and its node order is a valid execution order. Graph outputs may name a
// graph input directly (the identity program).
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

namespace compiler::ir::graph {

// The state of one program input, carried unchanged through every
// representation. A Free input may be fed by a combinator; a Bound one not.
enum class Input : std::uint8_t { Free = 0, Bound = 1 };

// Graph input number `index`.
struct InputSource {
  std::size_t index = 0;
  bool operator==(const InputSource&) const = default;
};

// Output slot `output` of node number `node`.
struct NodeSource {
  std::size_t node = 0;
  std::size_t output = 0;
  bool operator==(const NodeSource&) const = default;
};

// Where a value comes from: a graph input (tag 0) or a node's output (tag 1).
using Source = std::variant<InputSource, NodeSource>;

inline Source input_source(std::size_t index) { return InputSource{index}; }
inline Source node_source(std::size_t node, std::size_t output = 0) {
  return NodeSource{node, output};
}

template <class T>
struct Node {
  T value;
  std::vector<Source> inputs;  // one per operand the payload reads
  std::size_t output_count = 1;  // output slots carry no data, only their number matters
  bool operator==(const Node&) const = default;
};

template <class T>
struct Graph {
  std::vector<Input> inputs;
  std::vector<Node<T>> nodes;
  std::vector<Source> outputs;
  bool operator==(const Graph&) const = default;
};

}  // namespace compiler::ir::graph
