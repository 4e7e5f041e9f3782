#include "ir/print_node.h"

#include <gtest/gtest.h>

#include <string>

#include "component/build.h"
#include "front/parser.h"
#include "lower/component_to_graph.h"

namespace {

using namespace compiler::ir::node;
using compiler::ir::graph::Input;
using compiler::ir::graph::input_source;
using compiler::ir::graph::node_source;

compiler::ir::component::Component parse(const std::string& text) {
  auto c = compiler::front::parser::parse_component(text);
  EXPECT_TRUE(c) << text;
  return *c;
}

TEST(PrintNodeGraphTest, LoweredChain) {
  using compiler::component::build::bind_input;
  using compiler::component::build::chain;
  const auto graph = compiler::lower::component_to_graph::lower_component_to_graph(
      bind_input(chain(parse("ij * jk ~ ikj | k:4 | 1 i k j k' 0"), parse("ikj ~ ij | | i j ! k")),
                 1));
  ASSERT_TRUE(graph) << graph.error().message;
  EXPECT_EQ(print_node_graph(*graph),
            "inputs: Free, Bound\n"
            "node 0: Mul, rank 3\n"
            "  operand 0: [0, 2] from input 0\n"
            "  operand 1: [2, 1] from input 1\n"
            "  output: [0, 1, 2]\n"
            "  splits: [], [4], []\n"
            "  compute 1 at Root\n"
            "  for 0\n"
            "    for 1\n"
            "      for 2\n"
            "        for 1'\n"
            "          compute 0\n"
            "node 1: Add, rank 3\n"
            "  operand 0: [0, 2, 1] from node 0 output 0\n"
            "  output: [0, 1]\n"
            "  splits: none\n"
            "  for 0\n"
            "    for 1\n"
            "      init\n"
            "      for 2\n"
            "outputs: node 1 output 0\n");
}

// Invalid graphs print too, showing what is wrong with them.
TEST(PrintNodeGraphTest, MalformedGraph) {
  Node n;
  n.rank = 1;
  n.inputs = {{0}};
  n.output = {};
  n.splits = {{}};
  n.order = {};
  n.compute = {At{{0, 1}}};
  n.init = Root{};
  const NodeGraph graph{{}, {{n, {input_source(0), node_source(3, 1)}, 2}}, {}};
  EXPECT_EQ(print_node_graph(graph),
            "inputs: none\n"
            "node 0: Add, rank 1\n"
            "  operand 0: [0] from input 0\n"
            "  operand 1: (no operand) from node 3 output 1\n"
            "  output: []\n"
            "  output slots: 2\n"
            "  splits: none\n"
            "  init at Root\n"
            "  compute 0 at At(0') (not in loop order)\n"
            "outputs: none\n");
}

}  // namespace
