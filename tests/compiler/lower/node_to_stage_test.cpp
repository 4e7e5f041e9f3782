#include "lower/node_to_stage.h"

#include <gtest/gtest.h>

#include <functional>
#include <algorithm>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "check/stage.h"
#include "component/build.h"
#include "front/parser.h"
#include "ir/print_stage.h"
#include "lower/component_to_graph.h"
#include "support/random_component.h"

namespace {

using compiler::ir::component::Component;
using compiler::ir::component::Identity;
using compiler::ir::node::NodeGraph;
using compiler::lower::node_to_stage::lower_node_graph_to_stage_program;
namespace build = compiler::component::build;
namespace nd = compiler::ir::node;

Component parse(const std::string& text) {
  auto component = compiler::front::parser::parse_component(text);
  EXPECT_TRUE(component.has_value()) << text;
  return component ? *component : Component(Identity{});
}

// The printed stage program, or "error: " and the lowering message.
std::string lower_text(const NodeGraph& graph) {
  auto program = lower_node_graph_to_stage_program(graph);
  if (!program) return "error: " + program.error().message;
  return compiler::ir::stage::print_stage_program(*program);
}

std::string lower_text(const Component& component) {
  auto graph = compiler::lower::component_to_graph::lower_component_to_graph(component);
  if (!graph) return "graph error: " + graph.error().message;
  return lower_text(*graph);
}

// `p` feeding both operands of the two-input `c`.
Component into_both(Component p, Component c) {
  return build::chain(std::move(p),
                      build::chain(build::fanout(Identity{}, Identity{}), std::move(c)));
}

struct ProgramCase {
  const char* name;
  std::function<Component()> component;
  const char* expected;
};

TEST(LowerNodeGraphToStageProgram, Programs) {
  const std::vector<ProgramCase> cases = {
      // Read by two consumers without compute sites: one stage, built once.
      {"shared producer",
       [] { return build::chain(parse("ij ~ i"), build::fanout(parse("i ~ i"), parse("-i ~ i"))); },
       R"(input 0 Free shape [0.0, 0.1]
stage 0 Add shape [0.0] reads [input 0]
  output [0] init At(0) layout [0:(L0)]
  input 0 [0,1] layout [0:(L0), 1:(L1)]
  for a0 index 0 Semantic
    for a1 index 1 Semantic
stage 1 Add shape [0.0] reads [stage 0]
  output [0] init - layout [0:(L0)]
  input 0 [0] layout [0:(L0)]
  for a0 index 0 Semantic
stage 2 Sub shape [0.0] reads [stage 0]
  output [0] init - layout [0:(L0)]
  input 0 [0] layout [0:(L0)]
  for a0 index 0 Semantic
output 0 = stage 1
output 1 = stage 2
)"},
      // Computed inside the consumer's row loop: the row axis is the
      // consumer's and the copy stores one row.
      {"copy at the row loop",
       [] { return build::chain(parse("-ij ~ ij"), parse("ij ~ i | | i 0 j")); },
       R"(input 0 Free shape [0.0, 0.1]
stage 0 Sub shape [0.0, 0.1] reads [input 0]
  output [0,1] init - layout [L1]
  input 0 [0,1] layout [0:(C0), 1:(L1)]
  for a0 index 0 Semantic in consumer a0
    for a1 index 1 Semantic
stage 1 Add shape [0.0] reads [stage 0]
  output [0] init At(0) layout [0:(L0)]
  input 0 [0,1] compute At(0) layout [L1]
  for a0 index 0 Semantic
    for a1 index 1 Semantic
output 0 = stage 1
)"},
      // Both operands read the same producer at the same site: one copy.
      {"identical copies deduplicate",
       [] { return into_both(parse("-ij ~ ij"), parse("ij * ij ~ ij | | i 0 1 j")); },
       R"(input 0 Free shape [0.0, 0.1]
stage 0 Sub shape [0.0, 0.1] reads [input 0]
  output [0,1] init - layout [L1]
  input 0 [0,1] layout [0:(C0), 1:(L1)]
  for a0 index 0 Semantic in consumer a0
    for a1 index 1 Semantic
stage 1 Mul shape [0.0, 0.1] reads [stage 0, stage 0]
  output [0,1] init - layout [0:(L0), 1:(L1)]
  input 0 [0,1] compute At(0) layout [L1]
  input 1 [0,1] compute At(0) layout [L1]
  for a0 index 0 Semantic
    for a1 index 1 Semantic
output 0 = stage 1
)"},
      // Different sites give different copies.
      {"copies at different sites stay apart",
       [] { return into_both(parse("-ij ~ ij"), parse("ij * ij ~ ij | | i 0 j 1")); },
       R"(input 0 Free shape [0.0, 0.1]
stage 0 Sub shape [0.0, 0.1] reads [input 0]
  output [0,1] init - layout [L1]
  input 0 [0,1] layout [0:(C0), 1:(L1)]
  for a0 index 0 Semantic in consumer a0
    for a1 index 1 Semantic
stage 1 Sub shape [0.0, 0.1] reads [input 0]
  output [0,1] init - layout []
  input 0 [0,1] layout [0:(C0), 1:(C1)]
  for a0 index 0 Semantic in consumer a0
    for a1 index 1 Semantic in consumer a1
stage 2 Mul shape [0.0, 0.1] reads [stage 0, stage 1]
  output [0,1] init - layout [0:(L0), 1:(L1)]
  input 0 [0,1] compute At(0) layout [L1]
  input 1 [0,1] compute At(1) layout []
  for a0 index 0 Semantic
    for a1 index 1 Semantic
output 0 = stage 2
)"},
      // Split levels align level by level; the tile keeps the levels inside
      // the site, as single dimensions on both sides.
      {"split copy at the row loop",
       [] { return build::chain(parse("-ij ~ ij | j:4 |"), parse("ij ~ i | j:4 | i 0 j j'")); },
       R"(input 0 Free shape [0.0, 0.1]
stage 0 Sub shape [0.0, 0.1] reads [input 0]
  output [0,1] init - layout [L1, L2]
  input 0 [0,1] layout [0:(C0), 1:(L1 L2)]
  for a0 index 0 Semantic in consumer a0
    for a1 index 1 Base([4])
      for a2 index 1 Split { level: 1, factor: 4 }
stage 1 Add shape [0.0] reads [stage 0]
  output [0] init At(0) layout [0:(L0)]
  input 0 [0,1] compute At(0) layout [L1, L2]
  for a0 index 0 Semantic
    for a1 index 1 Base([4])
      for a2 index 1 Split { level: 1, factor: 4 }
output 0 = stage 1
)"},
      {"split copy between split levels",
       [] { return build::chain(parse("-ij ~ ij | j:4 |"), parse("ij ~ i | j:4 | i j 0 j'")); },
       R"(input 0 Free shape [0.0, 0.1]
stage 0 Sub shape [0.0, 0.1] reads [input 0]
  output [0,1] init - layout [L2]
  input 0 [0,1] layout [0:(C0), 1:(C1 L2)]
  for a0 index 0 Semantic in consumer a0
    for a1 index 1 Base([4]) in consumer a1
      for a2 index 1 Split { level: 1, factor: 4 }
stage 1 Add shape [0.0] reads [stage 0]
  output [0] init At(0) layout [0:(L0)]
  input 0 [0,1] compute At(1) layout [L2]
  for a0 index 0 Semantic
    for a1 index 1 Base([4])
      for a2 index 1 Split { level: 1, factor: 4 }
output 0 = stage 1
)"},
      // A running maximum: the reduced axis of the producer takes the
      // consumer's loop over the same index, so the copy has no loop left.
      {"reduction aligned with the consumer's loop",
       [] {
         return build::chain(build::fanout(parse(">ij ~ i"), Identity{}),
                             parse("i - ij ~ ij | | i j 0"));
       },
       R"(input 0 Free shape [0.0, 0.1]
stage 0 Max shape [0.0] reads [input 0]
  output [0] init At(0) layout []
  input 0 [0,1] layout [0:(C0), 1:(C1)]
  for a0 index 0 Semantic in consumer a0
    for a1 index 1 Semantic in consumer a1
stage 1 Sub shape [0.0, 0.1] reads [stage 0, input 0]
  output [0,1] init - layout [0:(L0), 1:(L1)]
  input 0 [0] compute At(1) layout []
  input 1 [0,1] layout [0:(L0), 1:(L1)]
  for a0 index 0 Semantic
    for a1 index 1 Semantic
output 0 = stage 1
)"},
      // The consumer's outer loop (index 0) is not the producer's: it just
      // encloses the copy, which keeps its own loop. Shapes come from the
      // first operand naming each index.
      {"unshared prefix axis encloses the copy",
       [] { return build::chain(parse("-j ~ j"), parse("j * i ~ ij | | i 0 j")); },
       R"(input 0 Free shape [0.0]
input 1 Free shape [1.0]
stage 0 Sub shape [0.0] reads [input 0]
  output [0] init - layout [L0]
  input 0 [0] layout [0:(L0)]
  for a0 index 0 Semantic
stage 1 Mul shape [1.0, 0.0] reads [stage 0, input 1]
  output [0,1] init - layout [0:(L0), 1:(L1)]
  input 0 [1] compute At(0) layout [L1]
  input 1 [0] layout [0:(L0)]
  for a0 index 0 Semantic
    for a1 index 1 Semantic
output 0 = stage 1
)"},
      // At Root the copy keeps all its loops; its accumulator, looped over
      // inside the reduction, keeps a semantic layout.
      {"root copy of a reduction with the output loop inside",
       [] { return build::chain(parse("ij ~ i | | j i"), parse("i ~ i | | 0 i")); },
       R"(input 0 Free shape [0.0, 0.1]
stage 0 Add shape [0.0] reads [input 0]
  output [0] init At(1) layout [0:(L1)]
  input 0 [0,1] layout [0:(L1), 1:(L0)]
  for a0 index 1 Semantic
    for a1 index 0 Semantic
stage 1 Add shape [0.0] reads [stage 0]
  output [0] init - layout [0:(L0)]
  input 0 [0] compute Root layout [L0]
  for a0 index 0 Semantic
output 0 = stage 1
)"},
      // A copy inside a copy: the inner copy borrows the outer copy's axis,
      // itself borrowed from the outermost consumer.
      {"nested copies",
       [] {
         return build::chain(build::chain(parse("-ij ~ ij"), parse("ij ~ ij | | i 0 j")),
                             parse("ij ~ i | | i 0 j"));
       },
       R"(input 0 Free shape [0.0, 0.1]
stage 0 Sub shape [0.0, 0.1] reads [input 0]
  output [0,1] init - layout [L1]
  input 0 [0,1] layout [0:(C0), 1:(L1)]
  for a0 index 0 Semantic in consumer a0
    for a1 index 1 Semantic
stage 1 Add shape [0.0, 0.1] reads [stage 0]
  output [0,1] init - layout [L1]
  input 0 [0,1] compute At(0) layout [L1]
  for a0 index 0 Semantic in consumer a0
    for a1 index 1 Semantic
stage 2 Add shape [0.0] reads [stage 1]
  output [0] init At(0) layout [0:(L0)]
  input 0 [0,1] compute At(0) layout [L1]
  for a0 index 0 Semantic
    for a1 index 1 Semantic
output 0 = stage 2
)"},
      // An input read with ranks 2 and 3 gets three dimensions.
      {"input shape takes the largest rank",
       [] { return build::fanout(parse("ij ~ ij"), parse("ijk ~ ijk")); },
       R"(input 0 Free shape [0.0, 0.1, 0.2]
stage 0 Add shape [0.0, 0.1] reads [input 0]
  output [0,1] init - layout [0:(L0), 1:(L1)]
  input 0 [0,1] layout [0:(L0), 1:(L1)]
  for a0 index 0 Semantic
    for a1 index 1 Semantic
stage 1 Add shape [0.0, 0.1, 0.2] reads [input 0]
  output [0,1,2] init - layout [0:(L0), 1:(L1), 2:(L2)]
  input 0 [0,1,2] layout [0:(L0), 1:(L1), 2:(L2)]
  for a0 index 0 Semantic
    for a1 index 1 Semantic
      for a2 index 2 Semantic
output 0 = stage 0
output 1 = stage 1
)"},
      // Identity: the output is the input; nobody reads it, so no shape.
      {"identity", [] { return Component(Identity{}); },
       R"(input 0 Free shape []
output 0 = input 0
)"},
  };
  for (const ProgramCase& c : cases) {
    EXPECT_EQ(lower_text(c.component()), c.expected) << c.name;
  }
}

TEST(LowerNodeGraphToStageProgram, Failures) {
  struct Case {
    std::function<Component()> component;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {[] { return build::chain(parse("-ij ~ ij | j:4 |"), parse("ij ~ i | | i 0 j")); },
       "producer index 1 has 2 axes but consumer index 1 has 1 axes"},
      {[] { return build::chain(parse("-ij ~ ij"), parse("ij ~ i | j:4 | i 0 j j'")); },
       "producer index 1 has 1 axes but consumer index 1 has 2 axes"},
      {[] { return build::chain(parse("-ij ~ ij | j:4 |"), parse("ij ~ i | j:2 | i 0 j j'")); },
       "producer extent kind Base([4]) does not match consumer extent kind Base([2])"},
      {[] { return build::chain(parse("-ij ~ ij | j:2:4 |"), parse("ij ~ i | j:4:4 | i 0 j j' j''")); },
       "producer extent kind Base([2, 4]) does not match consumer extent kind Base([4, 4])"},
      // The copy would visit the consumer's loops in the other order.
      {[] { return build::chain(parse("-ij ~ ij | | j i"), parse("ij ~ ij | | i j 0")); },
       "producer axes align with consumer axes [1, 0], expected [0, 1]"},
      {[] { return parse("ij ~ i | | i 0 j"); },
       "node 0 input 0 is a graph input with a compute site"},
      {[] { return build::chain(parse("ij ~ i"), parse("ij ~ ij | | 0 i j")); },
       "producer output has 1 shape dimensions but consumer input 0 has 2 shape dimensions"},
      {[] { return build::chain(parse("ij ~ i"), parse("ij ~ ij")); },
       "stage input expects rank 2 but source stage 0 has rank 1"},
      // Factors the generated extent computation would divide by zero with.
      {[] { return parse("-ij ~ ij | j:4:0 |"); }, "node 0: index 1 has split factor 0"},
      {[] { return build::chain(parse("-i ~ i"), parse("ij ~ ij | i:4294967296:4294967296 |")); },
       "node 1: split factors of index 0 overflow"},
      // A repeated operand index passes the front end, not the stage checks.
      {[] { return parse("ii ~ i"); }, "node 0: input 0 shape repeats index 0"},
  };
  for (std::size_t k = 0; k < cases.size(); ++k) {
    EXPECT_EQ(lower_text(cases[k].component()), "error: " + cases[k].expected) << "case " << k;
  }
}

// A one-node graph over one program input.
NodeGraph one_node(nd::Node node) {
  NodeGraph graph;
  graph.inputs = {compiler::ir::graph::Input::Free};
  graph.nodes = {{std::move(node), {compiler::ir::graph::input_source(0)}, 1}};
  graph.outputs = {compiler::ir::graph::node_source(0)};
  return graph;
}

TEST(LowerNodeGraphToStageProgram, HandBuiltNodeGraphs) {
  // An output index that no operand reads has no extent to copy.
  nd::Node broadcast;
  broadcast.rank = 1;
  broadcast.inputs = {{}};
  broadcast.output = {0};
  broadcast.splits = {{}};
  broadcast.order = {{0, 0}};
  broadcast.compute = {std::nullopt};
  EXPECT_EQ(lower_text(one_node(broadcast)), "error: stage output index 0 has no input shape source");

  // The node graph is validated first; its messages pass through.
  NodeGraph self_read = one_node(broadcast);
  self_read.nodes[0].inputs = {compiler::ir::graph::node_source(0)};
  EXPECT_EQ(lower_text(self_read), "error: node 0 input references non-prior node 0");

  // A scalar copy: no loops, empty shapes.
  nd::Node scalar;
  scalar.inputs = {{}};
  scalar.compute = {std::nullopt};
  EXPECT_EQ(lower_text(one_node(scalar)), R"(input 0 Free shape []
stage 0 Add shape [] reads [input 0]
  output [] init - layout []
  input 0 [] layout []
output 0 = stage 0
)");
}

// Every message the lowering can report besides success, as patterns.
const std::vector<std::regex>& known_failures() {
  static const std::vector<std::regex> patterns = [] {
    const std::vector<std::string> templates = {
        "node {} input {} references output {}",
        "node {} input {} is a graph input with a compute site",
        "stage input references shape of nonexistent stage {}",
        "stage input expects rank {} but source stage {} has rank {}",
        "stage input references output {}",
        "stage output index {} has no input shape source",
        "consumer input {} compute site overflows",
        "consumer input {} compute site references nonexistent axis {}",
        "consumer input {} does not exist for pruning",
        "producer output has {} shape dimensions but consumer input {} has {} shape dimensions",
        "producer index {} has {} axes but consumer index {} has {} axes",
        "producer extent kind {} does not match consumer extent kind {}",
        "producer reduced axis {} ambiguously aligns with consumer index {}",
        "axis {} is already pruned",
        "axis {} does not exist for pruning",
        "producer axes align with consumer axes {}, expected {}",
        "axis {} does not exist while lowering layout",
        "node {}: index {} has split factor 0",
        "node {}: split factors of index {} overflow",
        // Stage validation, per stage and per graph.
        "node {}: {}",
        "node {} input references {}",
        "output references {}",
    };
    std::vector<std::regex> out;
    for (const std::string& t : templates) {
      std::string pattern;
      for (std::size_t i = 0; i < t.size(); ++i) {
        if (t.compare(i, 2, "{}") == 0) {
          pattern += ".+";
          ++i;
        } else if (std::string("[](){}.*+?^$|\\").find(t[i]) != std::string::npos) {
          pattern += std::string("\\") + t[i];
        } else {
          pattern += t[i];
        }
      }
      out.emplace_back(pattern);
    }
    return out;
  }();
  return patterns;
}

// Generated programs either lower to a valid stage program or fail with one
// of the lowering's own messages; none crashes.
TEST(LowerNodeGraphToStageProgram, GeneratedProgramsLowerOrFailCleanly) {
  std::mt19937_64 rng(4242);
  const quarn_test::RandomComponentOptions options;
  std::size_t lowered = 0;
  for (int i = 0; i < 1500; ++i) {
    const Component component = quarn_test::random_component(rng, options);
    const auto graph = compiler::lower::component_to_graph::lower_component_to_graph(component);
    // The component lowering has its own tests; only its graphs matter here.
    if (!graph) continue;
    const auto program = lower_node_graph_to_stage_program(*graph);
    if (program) {
      ++lowered;
      EXPECT_TRUE(compiler::check::stage::validate_stage_graph(program->graph)) << i;
      EXPECT_EQ(program->input_shapes.size(), graph->inputs.size()) << i;
      EXPECT_EQ(program->stage_shapes.size(), program->graph.nodes.size()) << i;
      continue;
    }
    const std::string& message = program.error().message;
    const bool known = std::any_of(known_failures().begin(), known_failures().end(),
                                   [&](const std::regex& r) { return std::regex_match(message, r); });
    EXPECT_TRUE(known) << i << ": " << message;
  }
  // A good share must lower, or the property says little.
  EXPECT_GT(lowered, 150u);
}

bool has_consumer_axis(const compiler::ir::stage::StageProgram& program) {
  return std::any_of(program.graph.nodes.begin(), program.graph.nodes.end(), [](const auto& n) {
    return std::any_of(n.value.axes.begin(), n.value.axes.end(), [](const auto& a) {
      return std::holds_alternative<compiler::ir::stage::Consumer>(a);
    });
  });
}

// Producers and consumers with assorted splits, orders and compute sites,
// every producer feeding operand 0 (and, for two operands, also operand 1)
// of every consumer. The generator above rarely builds copies that fit;
// this sweep goes through alignment and pruning many times.
TEST(LowerNodeGraphToStageProgram, ScheduleSweepLowersOrFailsCleanly) {
  const std::vector<std::string> producers = {
      "-ij ~ ij",          "-ij ~ ij | | j i",   "-ij ~ ij | j:4 |", "-ij ~ ij | j:2 | j i j'",
      "ij ~ i",            ">ij ~ i | | j i",    "ijk ~ ij | | i k j", "-ji ~ ij",
      "ij ~ i | j:4 | i j' ! j", "ij ~ ij | i:2 | i j i'",
  };
  const std::vector<std::string> consumers = {
      "ij ~ i | | i 0 j",        "ij ~ i | | 0 i j",         "ij ~ i | | i j 0",
      "ij ~ i | j:4 | i 0 j j'", "ij ~ i | j:4 | i j 0 j'",  "ij ~ i | j:2 | i j j' 0",
      "ij * ij ~ ij | | j 0 i 1", "ij * ij ~ ij | | i 0 1 j", "i - ij ~ ij | | i j 0",
      "ij ~ ij | | j i 0",       "ij ~ ij | i:2 | i 0 j i'", "i ~ i | | i 0",
  };
  std::size_t scoped = 0;
  for (const std::string& p : producers) {
    for (const std::string& c : consumers) {
      std::vector<Component> components = {build::chain(parse(p), parse(c))};
      if (c.find('*') != std::string::npos) components.push_back(into_both(parse(p), parse(c)));
      for (const Component& component : components) {
        const auto graph = compiler::lower::component_to_graph::lower_component_to_graph(component);
        ASSERT_TRUE(graph) << p << " / " << c << ": " << graph.error().message;
        const auto program = lower_node_graph_to_stage_program(*graph);
        if (program) {
          scoped += has_consumer_axis(*program) ? 1 : 0;
          continue;
        }
        const std::string& message = program.error().message;
        EXPECT_TRUE(std::any_of(known_failures().begin(), known_failures().end(),
                                [&](const std::regex& r) { return std::regex_match(message, r); }))
            << p << " / " << c << ": " << message;
      }
    }
  }
  EXPECT_GT(scoped, 10u);
}

}  // namespace
