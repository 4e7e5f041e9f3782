#include "lower/component_to_graph.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "check/graph.h"
#include "component/build.h"
#include "front/parser.h"
#include "ir/print_node.h"
#include "support/random_component.h"

namespace {

using namespace compiler::ir::graph;
using compiler::component::build::bind_input;
using compiler::component::build::chain;
using compiler::component::build::component_boundary;
using compiler::component::build::compose;
using compiler::component::build::fanout;
using compiler::component::build::pair;
using compiler::component::build::swap;
using compiler::ir::common::Op;
using compiler::ir::component::Component;
using compiler::ir::component::Identity;
using compiler::ir::node::NodeGraph;
using compiler::lower::component_to_graph::lower_component_to_graph;
using compiler::lower::component_to_graph::lower_component_to_partial;

Component E(const std::string& text) {
  auto c = compiler::front::parser::parse_component(text);
  EXPECT_TRUE(c) << text;
  return *c;
}

// Distinct operators name the leaves, so node order is visible.
Component log1() { return E("$i ~ i"); }      // Log
Component not1() { return E("!!i ~ i"); }     // Not
Component sub1() { return E("-i ~ i"); }      // Sub
Component mul2() { return E("ij * ij ~ ij"); }  // Mul
Component add2() { return E("ij + ij ~ ij"); }  // Add

std::string print(const NodeGraph& g) { return "\n" + compiler::ir::node::print_node_graph(g); }

Source In(std::size_t i) { return input_source(i); }
Source N(std::size_t n) { return node_source(n, 0); }

// The wiring of a graph without the node payloads: which operator each node
// applies and where its operands come from.
struct Wiring {
  std::vector<Input> inputs;
  std::vector<Op> ops;
  std::vector<std::vector<Source>> sources;
  std::vector<Source> outputs;
  bool operator==(const Wiring&) const = default;
};

Wiring wiring_of(const NodeGraph& g) {
  Wiring w{g.inputs, {}, {}, g.outputs};
  for (const auto& n : g.nodes) {
    w.ops.push_back(n.value.op);
    w.sources.push_back(n.inputs);
  }
  return w;
}

constexpr Input F = Input::Free;
constexpr Input B = Input::Bound;

TEST(LowerComponentToGraphTest, Wiring) {
  struct Case {
    const char* name;
    Component component;
    Wiring expected;
  };
  const std::vector<Case> cases = {
      {"identity", Identity{}, {{F}, {}, {}, {In(0)}}},
      {"expr", mul2(), {{F, F}, {Op::Mul}, {{In(0), In(1)}}, {N(0)}}},
      {"chain identity into expr", chain(Identity{}, log1()),
       {{F}, {Op::Log}, {{In(0)}}, {N(0)}}},
      {"chain two outputs into one input", chain(pair(log1(), not1()), sub1()),
       {{F, F}, {Op::Log, Op::Not, Op::Sub}, {{In(0)}, {In(1)}, {N(0)}}, {N(1), N(2)}}},
      {"chain into second operand of two", chain(log1(), mul2()),
       {{F, F}, {Op::Log, Op::Mul}, {{In(0)}, {N(0), In(1)}}, {N(1)}}},
      {"chain skips a bound input", chain(log1(), bind_input(mul2(), 0)),
       {{F, B}, {Op::Log, Op::Mul}, {{In(0)}, {In(1), N(0)}}, {N(1)}}},
      {"chain with nothing free passes outputs on", chain(Identity{}, bind_input(Identity{}, 0)),
       {{F, B}, {}, {}, {In(0), In(1)}}},
      {"chain of chains moves node sources", chain(log1(), chain(not1(), sub1())),
       {{F}, {Op::Log, Op::Not, Op::Sub}, {{In(0)}, {N(0)}, {N(1)}}, {N(2)}}},
      {"chain of pairs", chain(pair(log1(), not1()), mul2()),
       {{F, F}, {Op::Log, Op::Not, Op::Mul}, {{In(0)}, {In(1)}, {N(0), N(1)}}, {N(2)}}},
      {"compose runs second first", compose(sub1(), pair(log1(), not1())),
       {{F, F}, {Op::Log, Op::Not, Op::Sub}, {{In(0)}, {In(1)}, {N(0)}}, {N(2), N(1)}}},
      {"compose through identity", compose(mul2(), Identity{}),
       {{F, F}, {Op::Mul}, {{In(0), In(1)}}, {N(0)}}},
      {"compose keeps remaining inputs after feeder's", compose(mul2(), log1()),
       {{F, F}, {Op::Log, Op::Mul}, {{In(0)}, {N(0), In(1)}}, {N(1)}}},
      {"fanout of one-input parts", fanout(log1(), not1()),
       {{F}, {Op::Log, Op::Not}, {{In(0)}, {In(0)}}, {N(0), N(1)}}},
      {"fanout shares all free inputs", fanout(mul2(), add2()),
       {{F, F}, {Op::Mul, Op::Add}, {{In(0), In(1)}, {In(0), In(1)}}, {N(0), N(1)}}},
      {"fanout shares by free position", fanout(bind_input(mul2(), 0), add2()),
       {{B, F, F}, {Op::Mul, Op::Add}, {{In(0), In(1)}, {In(1), In(2)}}, {N(0), N(1)}}},
      {"fanout with more free inputs in second", fanout(log1(), add2()),
       {{F, F}, {Op::Log, Op::Add}, {{In(0)}, {In(0), In(1)}}, {N(0), N(1)}}},
      {"pair", pair(mul2(), add2()),
       {{F, F, F, F}, {Op::Mul, Op::Add}, {{In(0), In(1)}, {In(2), In(3)}}, {N(0), N(1)}}},
      {"pair with identity", pair(Identity{}, log1()),
       {{F, F}, {Op::Log}, {{In(1)}}, {In(0), N(0)}}},
      {"swap pair", swap(pair(mul2(), add2())),
       {{F, F, F, F}, {Op::Mul, Op::Add}, {{In(0), In(1)}, {In(2), In(3)}}, {N(1), N(0)}}},
      {"swap exchanges only the first two", swap(pair(pair(log1(), not1()), sub1())),
       {{F, F, F}, {Op::Log, Op::Not, Op::Sub}, {{In(0)}, {In(1)}, {In(2)}}, {N(1), N(0), N(2)}}},
      {"swap single output", swap(Identity{}), {{F}, {}, {}, {In(0)}}},
      {"bind input of a chain", bind_input(chain(E("ab ~ a"), E("a * a ~ a")), 1),
       {{F, B}, {Op::Add, Op::Mul}, {{In(0)}, {N(0), In(1)}}, {N(1)}}},
  };
  for (const Case& c : cases) {
    const auto graph = lower_component_to_graph(c.component);
    ASSERT_TRUE(graph) << c.name << ": " << graph.error().message;
    EXPECT_TRUE(wiring_of(*graph) == c.expected) << c.name << print(*graph);
  }
}

TEST(LowerComponentToGraphTest, NodesAreLoweredExpressions) {
  const auto graph = lower_component_to_graph(chain(E("ij * jk ~ ijk"), E("ijk ~ ik | j:2 |")));
  ASSERT_TRUE(graph) << graph.error().message;
  ASSERT_EQ(graph->nodes.size(), 2u);
  const auto& reduce = graph->nodes[1].value;
  EXPECT_EQ(reduce.inputs, (std::vector<compiler::ir::node::MultiIndex>{{0, 2, 1}}));
  EXPECT_EQ(reduce.splits, (std::vector<compiler::ir::node::SplitList>{{}, {}, {2}}));
  EXPECT_EQ(reduce.init, (compiler::ir::node::Site{compiler::ir::node::At{{1, 0}}}));
}

TEST(LowerComponentToGraphTest, Failures) {
  struct Case {
    const char* name;
    Component component;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"second expression invalid", pair(log1(), E("ij - ij ~ i")),
       "expr 1: binary operator `Sub` must be pointwise; output axes must match the union of "
       "input axes"},
      {"expressions are validated before binding",
       bind_input(pair(Identity{}, E("i ~ ij")), 7),
       "expr 0: output axis `j` does not appear in the input"},
      {"bind nonexistent", bind_input(pair(log1(), Identity{}), 2),
       "cannot bind nonexistent input 2"},
      {"bind twice", bind_input(bind_input(mul2(), 1), 1), "input 1 is already bound"},
      {"bind consumed input", bind_input(chain(log1(), log1()), 1),
       "cannot bind nonexistent input 1"},
  };
  for (const Case& c : cases) {
    const auto graph = lower_component_to_graph(c.component);
    ASSERT_FALSE(graph) << c.name;
    EXPECT_EQ(graph.error().message, c.message) << c.name;
  }
  // Without the component validation, node lowering messages pass unchanged.
  const auto partial = lower_component_to_partial(pair(log1(), E("ij ~ i | | j ! i")));
  ASSERT_FALSE(partial);
  EXPECT_EQ(partial.error(), "init site must be at or inside At(0)");
}

std::size_t expr_leaves(const Component& c);

struct ExprLeaves {
  std::size_t operator()(const Identity&) const { return 0; }
  std::size_t operator()(const compiler::ir::expr::Expr&) const { return 1; }
  std::size_t operator()(const compiler::ir::component::Swap& s) const {
    return expr_leaves(*s.inner);
  }
  std::size_t operator()(const compiler::ir::component::BindInput& b) const {
    return expr_leaves(*b.inner);
  }
  std::size_t operator()(const auto& two) const {
    return expr_leaves(*two.first) + expr_leaves(*two.second);
  }
};

std::size_t expr_leaves(const Component& c) { return std::visit(ExprLeaves{}, c.node); }

// The graph of every generated component has the component's boundary, one
// node per expression, and passes the node-graph validator.
TEST(LowerComponentToGraphTest, RandomComponentsMatchTheirBoundary) {
  std::mt19937_64 rng(20240611);
  const quarn_test::RandomComponentOptions options;
  std::size_t nodes = 0;
  for (int i = 0; i < 400; ++i) {
    const Component component = quarn_test::random_component(rng, options);
    const auto boundary = component_boundary(component);
    ASSERT_TRUE(boundary) << i << ": " << boundary.error();
    const auto graph = lower_component_to_graph(component);
    ASSERT_TRUE(graph) << i << ": " << graph.error().message;
    EXPECT_EQ(graph->inputs, boundary->inputs) << i << print(*graph);
    EXPECT_EQ(graph->outputs.size(), boundary->outputs) << i << print(*graph);
    EXPECT_EQ(graph->nodes.size(), expr_leaves(component)) << i;
    EXPECT_TRUE(compiler::check::graph::validate_node_graph(*graph)) << i;
    nodes += graph->nodes.size();
  }
  // The generator must produce trees with real content, not just leaves.
  EXPECT_GT(nodes, 800u);
}

TEST(RandomComponentTest, SameSeedSameComponents) {
  const quarn_test::RandomComponentOptions options;
  std::mt19937_64 a(7), b(7), c(8);
  bool differs = false;
  for (int i = 0; i < 20; ++i) {
    const Component x = quarn_test::random_component(a, options);
    EXPECT_EQ(x, quarn_test::random_component(b, options));
    differs = differs || !(x == quarn_test::random_component(c, options));
  }
  EXPECT_TRUE(differs);
}

}  // namespace
