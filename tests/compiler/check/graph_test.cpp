#include "check/graph.h"

#include <gtest/gtest.h>

#include <expected>
#include <string>
#include <vector>

namespace {

using namespace compiler::ir::graph;
using compiler::check::graph::validate_graph;
using compiler::check::graph::validate_node_graph;
namespace ir_node = compiler::ir::node;

// A payload whose validator accepts non-negative values only, so the generic
// checks can be exercised without node payloads.
std::expected<void, std::string> non_negative(const int& v) {
  if (v < 0) return std::unexpected(std::string("negative payload"));
  return {};
}

Node<int> node_of(int value, std::vector<Source> inputs, std::size_t outputs = 1) {
  return {value, std::move(inputs), outputs};
}

TEST(ValidateGraphTest, ValidGraphs) {
  EXPECT_TRUE(validate_graph(Graph<int>{}, non_negative));
  EXPECT_TRUE(validate_graph(Graph<int>{{Input::Free}, {}, {input_source(0)}}, non_negative));
  const Graph<int> chain{{Input::Free, Input::Bound},
                         {node_of(0, {input_source(0), input_source(1)}, 2),
                          node_of(1, {node_source(0, 1), node_source(0, 0), input_source(1)})},
                         {node_source(1), node_source(0, 1), input_source(0)}};
  EXPECT_TRUE(validate_graph(chain, non_negative));
}

TEST(ValidateGraphTest, Messages) {
  struct Case {
    const char* name;
    Graph<int> graph;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"payload", {{Input::Free}, {node_of(0, {}), node_of(-1, {input_source(7)})}, {}},
       "node 1: negative payload"},
      {"itself", {{}, {node_of(0, {}), node_of(0, {node_source(1)})}, {}},
       "node 1 input references non-prior node 1"},
      {"later", {{}, {node_of(0, {node_source(1)}), node_of(0, {})}, {}},
       "node 0 input references non-prior node 1"},
      // Existence is tested before order.
      {"missing node", {{}, {node_of(0, {}), node_of(0, {node_source(6)})}, {}},
       "node 1 input references nonexistent node 6"},
      {"missing slot", {{}, {node_of(0, {}), node_of(0, {node_source(0, 1)})}, {}},
       "node 1 input references nonexistent output 1 of node 0"},
      {"missing input", {{Input::Free}, {node_of(0, {input_source(0), input_source(1)})}, {}},
       "node 0 input references nonexistent input 1"},
      // Node checks precede output checks.
      {"node before outputs", {{}, {node_of(0, {input_source(0)})}, {node_source(4)}},
       "node 0 input references nonexistent input 0"},
      {"output slot", {{}, {node_of(0, {})}, {node_source(0, 1)}},
       "output references nonexistent output 1 of node 0"},
      {"output node", {{}, {node_of(0, {})}, {node_source(0), node_source(1)}},
       "output references nonexistent node 1"},
      {"output input", {{Input::Free}, {}, {input_source(0), input_source(1)}},
       "output references nonexistent input 1"},
  };
  for (const Case& c : cases) {
    const auto result = validate_graph(c.graph, non_negative);
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error(), c.message) << c.name;
  }
}

// One-operand pointwise copy of a vector.
ir_node::Node copy_node() {
  ir_node::Node n;
  n.rank = 1;
  n.inputs = {{0}};
  n.output = {0};
  n.splits = {{}};
  n.order = {{0, 0}};
  n.compute = {std::nullopt};
  return n;
}

TEST(ValidateNodeGraphTest, NodeGraphRules) {
  using G = ir_node::NodeGraph;
  const G valid{{Input::Free}, {{copy_node(), {input_source(0)}, 1}}, {node_source(0)}};
  EXPECT_TRUE(validate_node_graph(valid));

  ir_node::Node bad_payload = copy_node();
  bad_payload.output = {1};
  struct Case {
    const char* name;
    G graph;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"payload", {{Input::Free}, {{bad_payload, {input_source(0)}, 1}}, {}},
       "node 0: output references nonexistent index 1"},
      {"source count",
       {{Input::Free}, {{copy_node(), {input_source(0)}, 1}, {copy_node(), {}, 1}}, {}},
       "node 1: graph has 0 inputs for 1 node inputs"},
      {"output count", {{Input::Free}, {{copy_node(), {input_source(0)}, 2}}, {}},
       "node 0: graph has 2 outputs for node"},
      // The node-graph rules run only after every generic check passed,
      // including those of later nodes and of the outputs.
      {"generic first",
       {{Input::Free}, {{copy_node(), {}, 1}}, {input_source(3)}},
       "output references nonexistent input 3"},
  };
  for (const Case& c : cases) {
    const auto result = validate_node_graph(c.graph);
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error(), c.message) << c.name;
  }
}

}  // namespace
