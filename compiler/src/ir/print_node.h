// A readable text form of node graphs, for tests and for the command-line
// tool. Each node shows its operator, its operands with the sources that
// feed them, its output pattern and split factors, and its loop nest with
// the compute and init sites placed inside the loops they name. The chain of
// `ij * jk ~ ikj | k:4 | 1 i k j k' 0` into `ikj ~ ij | | i j ! k`, with its
// second input bound, prints as:
//
//   inputs: Free, Bound
//   node 0: Mul, rank 3
//     operand 0: [0, 2] from input 0
//     operand 1: [2, 1] from input 1
//     output: [0, 1, 2]
//     splits: [], [4], []
//     compute 1 at Root
//     for 0
//       for 1
//         for 2
//           for 1'
//             compute 0
//   node 1: Add, rank 3
//     operand 0: [0, 2, 1] from node 0 output 0
//     output: [0, 1]
//     splits: none
//     for 0
//       for 1
//         init
//         for 2
//   outputs: node 1 output 0
//
// It prints any graph, valid or not: missing sources, extra sources and
// sites outside the loop order are shown as such.
#pragma once

#include <string>

#include "ir/graph.h"
#include "ir/node.h"

namespace compiler::ir::node {

// "input {}" or "node {} output {}".
std::string format_source(const graph::Source& source);

std::string print_node_graph(const NodeGraph& graph);

}  // namespace compiler::ir::node
