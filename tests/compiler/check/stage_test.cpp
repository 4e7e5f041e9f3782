#include "check/stage.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using namespace compiler::ir::stage;
using compiler::check::stage::format_indexes;
using compiler::check::stage::validate_layout;
using compiler::check::stage::validate_stage;
using compiler::check::stage::validate_stage_graph;
using compiler::ir::common::Base;
using compiler::ir::common::Semantic;
using compiler::ir::common::Split;
using compiler::ir::graph::input_source;
using compiler::ir::graph::node_source;

AxisRef L(AxisId a) { return LocalRef{a}; }
AxisRef C(AxisId a) { return ConsumerRef{a}; }
LayoutDim sem(Index x, std::vector<AxisRef> axes) { return SemanticDim{x, std::move(axes)}; }
LayoutDim single(AxisRef r) { return SingleDim{r}; }
Axis local(Index x) { return Local{Semantic{}, x}; }

std::string message(const std::expected<void, std::string>& result) {
  return result ? std::string() : result.error();
}

// The row sum `ij ~ i`: two local axes, init inside the row loop.
Stage row_sum() {
  Stage s;
  s.axes = {local(0), local(1)};
  s.output = Output{At{0}, {0}, Layout{{sem(0, {L(0)})}}};
  s.inputs = {Input{std::nullopt, {0, 1}, Layout{{sem(0, {L(0)}), sem(1, {L(1)})}}}};
  s.op = Op::Add;
  return s;
}

// Elementwise `ij ~ ij` over two local axes.
Stage copy2() {
  Stage s;
  s.axes = {local(0), local(1)};
  s.output = Output{std::nullopt, {0, 1}, Layout{{sem(0, {L(0)}), sem(1, {L(1)})}}};
  s.inputs = {Input{std::nullopt, {0, 1}, Layout{{sem(0, {L(0)}), sem(1, {L(1)})}}}};
  return s;
}

TEST(FormatIndexes, JoinsWithCommas) {
  EXPECT_EQ(format_indexes({}), "");
  EXPECT_EQ(format_indexes({7}), "7");
  EXPECT_EQ(format_indexes({2, 0, 11}), "2,0,11");
}

TEST(ValidateLayout, Messages) {
  struct Case {
    std::size_t axis_count;
    std::vector<Index> indexes;
    std::vector<LayoutDim> dims;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {2, {0, 1}, {sem(0, {L(0)}), sem(1, {L(1)})}, ""},
      {0, {}, {}, ""},
      // Split levels of one index in one group; consumer refs are not checked here.
      {3, {0}, {sem(0, {L(0), L(2), C(9)})}, ""},
      // Without semantic dimensions the pattern comparison does not apply.
      {2, {0, 1}, {single(L(1))}, ""},
      {2, {0, 1}, {single(C(40)), single(L(0))}, ""},
      {2, {0}, {single(L(2))}, "references nonexistent axis 2"},
      {2, {0}, {sem(3, {L(0)})}, "references index 3 outside shape"},
      {2, {5}, {sem(5, {})}, "semantic dimension 5 has no axes"},
      // Outside the pattern is reported before the empty group.
      {2, {0}, {sem(5, {})}, "references index 5 outside shape"},
      {2, {0}, {sem(0, {L(0), L(2)})}, "references nonexistent axis 2"},
      {2, {0}, {sem(0, {L(1), L(0), L(1)})}, "semantic dimension 0 repeats axis"},
      {2, {0}, {sem(0, {C(1), C(1)})}, "semantic dimension 0 repeats axis"},
      {2, {0}, {sem(0, {C(1), L(1)})}, ""},
      {3, {0, 2}, {sem(2, {L(2)}), sem(0, {L(0)})}, "semantic layout indexes are 2,0, expected 0,2"},
      {3, {0, 2}, {sem(0, {L(0)})}, "semantic layout indexes are 0, expected 0,2"},
      // A mixed layout still needs the full pattern among its semantic dims.
      {3, {0, 2}, {sem(0, {L(0)}), single(L(2))}, "semantic layout indexes are 0, expected 0,2"},
      // The walk stops before the final comparison.
      {1, {0, 2}, {sem(2, {L(0)}), single(L(4))}, "references nonexistent axis 4"},
  };
  for (std::size_t k = 0; k < cases.size(); ++k) {
    const Case& c = cases[k];
    EXPECT_EQ(message(validate_layout(c.axis_count, c.indexes, c.dims)), c.expected)
        << "case " << k;
  }
}

TEST(ValidateStage, Messages) {
  struct Case {
    std::function<Stage()> build;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {row_sum, ""},
      {copy2, ""},
      // A constant: no operands, no axes, no init site.
      {[] { return Stage{}; }, ""},
      {[] {
         Stage s = Stage{};
         s.output.init = Root{};
         return s;
       },
       "pointwise stage cannot have an init site"},
      {[] {
         Stage s = copy2();
         s.output.init = At{1};
         return s;
       },
       "pointwise stage cannot have an init site"},
      {[] {
         Stage s = row_sum();
         s.output.init.reset();
         return s;
       },
       "reduction stage must have an init site"},
      // A consumer axis over a non-output index also makes a reduction.
      {[] {
         Stage s = copy2();
         s.axes.push_back(Consumer{0, Semantic{}, 4});
         return s;
       },
       "reduction stage must have an init site"},
      {[] {
         Stage s = copy2();
         s.output.indexes = {1, 1};
         return s;
       },
       "output shape repeats index 1"},
      {[] {
         Stage s = copy2();
         s.output.layout.dims = {sem(1, {L(1)}), sem(0, {L(0)})};
         return s;
       },
       "output semantic layout indexes are 1,0, expected 0,1"},
      {[] {
         Stage s = row_sum();
         s.output.init = At{2};
         return s;
       },
       "output references nonexistent axis 2"},
      {[] {
         Stage s = copy2();
         s.axes[1] = Pruned{0, Semantic{}, 1};
         return s;
       },
       "axis 1 is pruned by local axis 0"},
      {[] {
         Stage s = copy2();
         s.axes[0] = Pruned{2, Semantic{}, 0};
         return s;
       },
       "axis 0 references nonexistent axis 2"},
      {[] {
         Stage s = copy2();
         s.inputs.push_back(Input{std::nullopt, {0, 0}, {}});
         return s;
       },
       "input 1 shape repeats index 0"},
      {[] {
         Stage s = copy2();
         s.inputs[0].layout.dims = {sem(0, {L(0)}), sem(1, {L(3)})};
         return s;
       },
       "input 0 references nonexistent axis 3"},
      {[] {
         Stage s = copy2();
         s.inputs[0].compute = At{2};
         return s;
       },
       "input 0 references nonexistent axis 2"},
      {[] {
         Stage s = copy2();
         s.inputs[0].compute = At{1};
         s.inputs[0].layout.dims = {};
         return s;
       },
       ""},
      // Output checks come before axes, axes before operands, all before the kind.
      {[] {
         Stage s = row_sum();
         s.output.init.reset();
         s.axes[1] = Pruned{0, Semantic{}, 1};
         s.output.indexes = {0, 0};
         return s;
       },
       "output shape repeats index 0"},
      {[] {
         Stage s = row_sum();
         s.output.init.reset();
         s.inputs[0].indexes = {1, 1};
         s.axes[1] = Pruned{0, Semantic{}, 1};
         return s;
       },
       "axis 1 is pruned by local axis 0"},
  };
  for (std::size_t k = 0; k < cases.size(); ++k) {
    EXPECT_EQ(message(validate_stage(cases[k].build())), cases[k].expected) << "case " << k;
  }
}

// A producer computed inside consumer axis 0 of a `i * ij ~ ij` consumer:
// the producer iterates its own index 1 and borrows the consumer's row loop.
StageGraph scoped_graph() {
  Stage producer;
  producer.axes = {Consumer{0, Semantic{}, 0}, local(1)};
  producer.output = Output{At{0}, {0}, Layout{}};
  producer.inputs = {Input{std::nullopt, {0, 1}, Layout{{single(C(0)), single(L(1))}}}};
  producer.op = Op::Max;

  Stage consumer;
  consumer.axes = {local(0), local(1)};
  consumer.output = Output{std::nullopt, {0, 1}, Layout{{sem(0, {L(0)}), sem(1, {L(1)})}}};
  consumer.inputs = {Input{At{0}, {0}, Layout{}},
                     Input{std::nullopt, {0, 1}, Layout{{sem(0, {L(0)}), sem(1, {L(1)})}}}};
  consumer.op = Op::Sub;

  StageGraph g;
  g.inputs = {compiler::ir::graph::Input::Free};
  g.nodes = {{producer, {input_source(0)}, 1}, {consumer, {node_source(0), input_source(0)}, 1}};
  g.outputs = {node_source(1)};
  return g;
}

TEST(ValidateStageGraph, Messages) {
  struct Case {
    std::function<StageGraph()> build;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {scoped_graph, ""},
      {[] { return StageGraph{}; }, ""},
      {[] {
         StageGraph g;
         g.inputs = {compiler::ir::graph::Input::Bound};
         g.outputs = {input_source(0)};
         return g;
       },
       ""},
      {[] {
         StageGraph g = scoped_graph();
         g.nodes[1].value.output.init = Root{};
         return g;
       },
       "node 1: pointwise stage cannot have an init site"},
      {[] {
         StageGraph g = scoped_graph();
         g.nodes[1].inputs[0] = node_source(1);
         return g;
       },
       "node 1 input references non-prior node 1"},
      {[] {
         StageGraph g = scoped_graph();
         g.nodes[1].inputs[0] = node_source(6);
         return g;
       },
       "node 1 input references nonexistent node 6"},
      {[] {
         StageGraph g = scoped_graph();
         g.nodes[1].inputs[0] = node_source(0, 1);
         return g;
       },
       "node 1 input references nonexistent output 1 of node 0"},
      {[] {
         StageGraph g = scoped_graph();
         g.nodes[0].inputs[0] = input_source(1);
         return g;
       },
       "node 0 input references nonexistent input 1"},
      {[] {
         StageGraph g = scoped_graph();
         g.outputs.push_back(node_source(2));
         return g;
       },
       "output references nonexistent node 2"},
      {[] {
         StageGraph g = scoped_graph();
         g.outputs.push_back(node_source(1, 1));
         return g;
       },
       "output references nonexistent output 1 of node 1"},
      {[] {
         StageGraph g = scoped_graph();
         g.outputs.push_back(input_source(3));
         return g;
       },
       "output references nonexistent input 3"},
      // Edge counts are checked only after every stage and output passed.
      {[] {
         StageGraph g = scoped_graph();
         g.nodes[1].inputs.pop_back();
         g.outputs.push_back(input_source(3));
         return g;
       },
       "output references nonexistent input 3"},
      {[] {
         StageGraph g = scoped_graph();
         g.nodes[1].inputs.pop_back();
         return g;
       },
       "node 1: graph has 1 inputs for 2 stage inputs"},
      {[] {
         StageGraph g = scoped_graph();
         g.nodes[1].output_count = 2;
         return g;
       },
       "node 1: graph has 2 outputs for stage"},
      // A consumer-scoped stage used as a program output, even with a consumer.
      {[] {
         StageGraph g = scoped_graph();
         g.outputs.push_back(node_source(0));
         return g;
       },
       "node 0: graph output references consumer-scoped stage"},
      {[] {
         StageGraph g = scoped_graph();
         g.nodes[1].inputs[0] = input_source(0);
         return g;
       },
       "node 0: consumer-scoped stage has no consumers"},
      {[] {
         StageGraph g = scoped_graph();
         g.nodes[1].value.inputs[0].compute.reset();
         return g;
       },
       "node 0: consumer-scoped stage consumer 1 input 0 has no compute site"},
      // A consumer reference in a layout alone makes a stage consumer-scoped.
      {[] {
         StageGraph g = scoped_graph();
         g.nodes[0].value.axes[0] = local(0);
         g.nodes[0].value.output.layout.dims = {single(C(5))};
         return g;
       },
       "node 0: references nonexistent consumer axis 5"},
      {[] {
         StageGraph g = scoped_graph();
         g.nodes[0].value.inputs[0].layout.dims = {sem(0, {C(3)}), sem(1, {C(2), L(1)})};
         return g;
       },
       "node 0: references nonexistent consumer axis 2"},
  };
  for (std::size_t k = 0; k < cases.size(); ++k) {
    EXPECT_EQ(message(validate_stage_graph(cases[k].build())), cases[k].expected)
        << "case " << k;
  }
}

}  // namespace
