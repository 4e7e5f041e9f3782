#include "lower/stage_to_kernel_program.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "check/kernel_program.h"
#include "component/build.h"
#include "front/parser.h"
#include "ir/print_kernel_program.h"
#include "lower/component_to_graph.h"
#include "lower/node_to_stage.h"
#include "lower/stage_to_kernel_program_builder.h"
#include "support/random_component.h"

namespace {

using compiler::ir::common::Op;
using compiler::ir::component::Component;
namespace build = compiler::component::build;
namespace skp = compiler::lower::stage_to_kernel_program;

Component parse(const std::string& text) {
  auto c = compiler::front::parser::parse_component(text);
  EXPECT_TRUE(c.has_value()) << text;
  return c ? *c : Component{compiler::ir::component::Identity{}};
}

Component identity() {
  return Component{compiler::ir::component::Identity{}};
}

// Chains the texts left to right; the first may be a prepared component.
Component chain(Component first, const std::vector<std::string>& rest) {
  for (const std::string& text : rest) first = build::chain(std::move(first), parse(text));
  return first;
}

// The printed kernel program of `component`, or "error: <message>" for a
// failure of this lowering (earlier failures are marked as such).
std::string lower_text(const Component& component) {
  auto graph = compiler::lower::component_to_graph::lower_component_to_graph(component);
  if (!graph) return "graph error: " + graph.error().message;
  auto stages = compiler::lower::node_to_stage::lower_node_graph_to_stage_program(*graph);
  if (!stages) return "stage error: " + stages.error().message;
  auto kernels = skp::lower_stage_program_to_kernel_program(*stages);
  if (!kernels) return "error: " + kernels.error().message;
  return compiler::ir::kernel_program::print_kernel_program(*kernels);
}

// Compares with the golden file next to this test; QUARN_BLESS=1 rewrites it.
void expect_golden(const std::string& name, const std::string& text) {
  const std::string path = std::string(QUARN_SOURCE_DIR) +
                           "/tests/compiler/lower/stage_to_kernel_program/" + name + ".txt";
  if (std::getenv("QUARN_BLESS") != nullptr) {
    std::ofstream(path) << text;
    return;
  }
  std::ifstream in(path);
  ASSERT_TRUE(in.good()) << "missing golden " << path;
  std::stringstream expected;
  expected << in.rdbuf();
  EXPECT_EQ(text, expected.str()) << name;
}

// x and its running maximum over k per row, subtracted and exponentiated.
Component row_exponentials() {
  return chain(build::fanout(identity(), parse(">ik ~ i")),
               {"ik - i ~ ik | | i k 1", "^ik ~ ik | | i k 0"});
}

// c followed by two copies of its one output.
Component duplicated(Component c) {
  return build::chain(std::move(c), build::fanout(identity(), identity()));
}

TEST(StageToKernelProgram, Goldens) {
  const std::vector<std::pair<std::string, Component>> cases = {
      {"row_sum", parse("ij ~ i")},
      {"row_sum_zero_check", parse("ij ~ i | | j i")},
      {"split_guards", parse("ij ~ i | i:4:2 | i i' i'' j")},
      {"fused_product_row_sum", chain(parse("ij * ij ~ ij"), {"ij ~ i | | i j 0"})},
      {"fused_matrix_product", chain(parse("ij * jk ~ ijk | | i k j"), {"ijk ~ ik | | i k j 0"})},
      {"unfused_matrix_product", chain(parse("ij * jk ~ ijk"), {"ijk ~ ik"})},
      {"shared_fused_producer",
       build::chain(build::chain(parse("-ij ~ ij"), build::fanout(identity(), identity())),
                    parse("ij * ij ~ ij | | i j 0 1"))},
      {"identical_fused_producers",
       build::chain(build::fanout(parse("-ij ~ ij"), parse("-ij ~ ij")),
                    parse("ij * ij ~ ij | | i j 0 1"))},
      {"running_sum_divisor", chain(build::fanout(identity(), parse("ik ~ i")),
                                    {"ik / i ~ ik | | i k 1", "ik ~ i | | i k 0"})},
      {"online_softmax_sum", chain(row_exponentials(), {"ik ~ i | | i k 0"})},
      {"online_attention",
       build::chain(build::pair(row_exponentials(), identity()),
                    chain(parse("ik * kn ~ ikn | | i n k 0"), {"ikn ~ in | | i n k 0"}))},
      {"online_softmax_vector", chain(build::fanout(identity(), parse(">k ~ .")),
                                      {"k - . ~ k | | k 1", "^k ~ k | | k 0", "k ~ . | | k 0"})},
      // Program outputs that are program inputs, and second outputs of the
      // same stage, are copied into buffers of their own by kernels after
      // the stage kernels; an input no stage reads has rank 0.
      {"identity", identity()},
      {"input_and_row_sum", build::fanout(identity(), parse("ij ~ i"))},
      {"input_twice_beside_stage", build::pair(build::fanout(identity(), identity()),
                                               build::chain(parse("ijk ~ ijk"), identity()))},
      {"stage_twice", duplicated(parse("ij ~ i"))},
  };
  for (const auto& [name, component] : cases) expect_golden(name, lower_text(component));
}

// x together with a reduction of its rows, in that order.
Component rows_and(const std::string& reduce) {
  return build::fanout(identity(), parse(reduce));
}

TEST(StageToKernelProgram, OnlineCorrectionFailures) {
  const std::vector<std::pair<Component, std::string>> cases = {
      {chain(rows_and("<ik ~ i"),
             {"ik - i ~ ik | | i k 1", "^ik ~ ik | | i k 0", "ik ~ i | | i k 0"}),
       "stage 0 requires online reduction lowering: fused reduction axis is consumed before "
       "completion"},
      {chain(build::fanout(parse(">ik ~ i"), identity()),
             {"i - ik ~ ik | | i k 0", "^ik ~ ik | | i k 0", "ik ~ i | | i k 0"}),
       "online max correction requires a subtraction use before exponentiation"},
      {chain(rows_and(">ik ~ i"),
             {"ik - i ~ ik | | i k 1", "-ik ~ ik | | i k 0", "ik ~ i | | i k 0"}),
       "online max correction requires exponentiation before accumulation"},
      {row_exponentials(), "online correction was hoisted to a non-accumulator stage"},
      {chain(row_exponentials(), {">ik ~ i | | i k 0"}),
       "online reduction correction reached unsupported accumulator"},
      {chain(row_exponentials(), {"ik ~ . | | i k 0"}),
       "online reduction correction reached unsupported accumulator"},
      {chain(rows_and("ik ~ i"), {"ik + i ~ ik | | i k 1", "ik ~ i | | i k 0"}),
       "online reduction correction requires a division use before accumulation"},
      {chain(build::fanout(parse("ik ~ i"), identity()),
             {"i / ik ~ ik | | i k 0", "ik ~ i | | i k 0"}),
       "online reduction correction requires a division use before accumulation"},
      // Stages after the correction is ready whose result is not proportional
      // to it: one rescale of the sum would compute a wrong value.
      {chain(row_exponentials(), {"$ik ~ ik | | i k 0", "ik ~ i | | i k 0"}),
       "online reduction correction cannot pass operator `Log`"},
      {chain(row_exponentials(), {"/ik ~ ik | | i k 0", "ik ~ i | | i k 0"}),
       "online reduction correction cannot pass operator `Div`"},
      {chain(row_exponentials(), {"ik >> ik ~ ik | | i k 0", "ik ~ i | | i k 0"}),
       "online reduction correction cannot pass operator `Gt`"},
      {build::chain(duplicated(row_exponentials()),
                    chain(parse("ik * ik ~ ik | | i k 0 1"), {"ik ~ i | | i k 0"})),
       "online reduction correction reaches both operands of `Mul`"},
      {build::chain(duplicated(row_exponentials()),
                    chain(parse("ik / ik ~ ik | | i k 0 1"), {"ik ~ i | | i k 0"})),
       "online reduction correction reaches both operands of `Div`"},
  };
  for (const auto& [component, message] : cases)
    EXPECT_EQ(lower_text(component), "error: " + message);
}

// Near neighbours of the rejected programs that rescale correctly.
TEST(StageToKernelProgram, OnlineCorrectionsThatCompile) {
  const std::vector<Component> cases = {
      // a copy and a negation between the exponentials and the sum
      chain(row_exponentials(), {"ik ~ ik | | i k 0", "-ik ~ ik | | i k 0", "ik ~ i | | i k 0"}),
      // exponentials weighting a second matrix, then summed over k
      build::chain(build::pair(row_exponentials(), identity()),
                   chain(parse("ik * kn ~ ikn | | i n k 0"), {"ikn ~ in | | i n k 0"})),
      // the row sums of the online sum, summed again: complete before use
      chain(row_exponentials(), {"ik ~ i | | i k 0", "i ~ . | | i 0"}),
  };
  for (const Component& component : cases) {
    const std::string text = lower_text(component);
    EXPECT_EQ(text.find("error"), std::string::npos) << text;
    EXPECT_NE(text.find("scale"), std::string::npos) << text;
  }
}

TEST(OnlineCorrectionStateMachine, Table) {
  using skp::CorrectionKind;
  using skp::CorrectionState;
  auto stage = [](Op op, std::size_t arity, bool init = false) {
    compiler::ir::stage::Stage s;
    s.op = op;
    s.inputs.resize(arity);
    if (init) s.output.init = compiler::ir::stage::Root{};
    return s;
  };
  struct Case {
    CorrectionKind kind;
    CorrectionState state;
    compiler::ir::stage::Stage stage;
    std::size_t position;
    std::string expected;  // the new state's name or the message
  };
  const std::string division_use =
      "online reduction correction requires a division use before accumulation";
  const std::string subtraction_use =
      "online max correction requires a subtraction use before exponentiation";
  const std::string exponentiation =
      "online max correction requires exponentiation before accumulation";
  const std::vector<Case> cases = {
      {CorrectionKind::Division, CorrectionState::Fresh, stage(Op::Div, 2), 1, "Ready"},
      {CorrectionKind::Division, CorrectionState::Fresh, stage(Op::Div, 2), 0, division_use},
      {CorrectionKind::Division, CorrectionState::Fresh, stage(Op::Mul, 2), 1, division_use},
      {CorrectionKind::Division, CorrectionState::Shifted, stage(Op::Div, 2), 1,
       "division correction reached invalid shifted state"},
      {CorrectionKind::Division, CorrectionState::Ready, stage(Op::Mul, 2), 1, "Ready"},
      {CorrectionKind::Division, CorrectionState::Ready, stage(Op::Div, 2), 1,
       "online reduction correction cannot pass operator `Div`"},
      {CorrectionKind::Max, CorrectionState::Fresh, stage(Op::Sub, 2), 1, "Shifted"},
      {CorrectionKind::Max, CorrectionState::Fresh, stage(Op::Sub, 2), 0, subtraction_use},
      {CorrectionKind::Max, CorrectionState::Fresh, stage(Op::Sub, 1), 0, subtraction_use},
      {CorrectionKind::Max, CorrectionState::Shifted, stage(Op::Pow, 1), 0, "Ready"},
      {CorrectionKind::Max, CorrectionState::Shifted, stage(Op::Pow, 2), 0, exponentiation},
      {CorrectionKind::Max, CorrectionState::Shifted, stage(Op::Mul, 2), 0, exponentiation},
      {CorrectionKind::Max, CorrectionState::Ready, stage(Op::Div, 2), 0, "Ready"},
      {CorrectionKind::Max, CorrectionState::Ready, stage(Op::Sub, 1), 0, "Ready"},
      {CorrectionKind::Max, CorrectionState::Ready, stage(Op::Add, 2), 0,
       "online reduction correction cannot pass operator `Add`"},
      {CorrectionKind::Max, CorrectionState::Ready, stage(Op::Max, 2), 1,
       "online reduction correction cannot pass operator `Max`"},
  };
  auto state_name = [](CorrectionState s) -> std::string {
    switch (s) {
      case CorrectionState::Fresh:
        return "Fresh";
      case CorrectionState::Shifted:
        return "Shifted";
      case CorrectionState::Ready:
        return "Ready";
    }
    return "?";
  };
  for (const Case& c : cases) {
    skp::OnlineCorrection correction{{}, {}, {}, {}, {}, c.kind, c.state};
    auto result = skp::propagate_online_correction(c.stage, c.position, correction);
    EXPECT_EQ(result ? state_name(result->state) : result.error(), c.expected)
        << compiler::ir::common::op_name(c.stage.op) << " at " << c.position;
  }

  // Lists: empty passes anything; an accumulator cannot pass corrections on.
  const skp::OnlineCorrection ready{
      {0}, {}, {}, {1}, {2}, CorrectionKind::Max, CorrectionState::Ready};
  EXPECT_TRUE(skp::propagate_online_corrections(stage(Op::Max, 1, true), 0, {}).has_value());
  EXPECT_EQ(skp::propagate_online_corrections(stage(Op::Add, 1, true), 0, {ready}).error(),
            "online reduction correction reached unsupported accumulator");

  // Application needs an Add accumulator whose output has the pattern.
  auto sum_over = [&](std::vector<compiler::ir::common::Index> output) {
    auto s = stage(Op::Add, 1, true);
    s.output.indexes = std::move(output);
    return s;
  };
  EXPECT_TRUE(skp::can_apply_online_corrections(sum_over({}), {}));
  EXPECT_TRUE(skp::can_apply_online_corrections(sum_over({0}), {ready}));
  EXPECT_FALSE(skp::can_apply_online_corrections(sum_over({1}), {ready}));
  auto fresh = ready;
  fresh.state = CorrectionState::Fresh;
  EXPECT_FALSE(skp::can_apply_online_corrections(sum_over({0}), {fresh}));

  // Same correction: kind, old and new; the first of each group is kept.
  auto other_pattern = ready;
  other_pattern.pattern = {5};
  auto other_old = ready;
  other_old.old_value = {7};
  const auto deduped = skp::dedup_online_corrections({ready, other_pattern, other_old, ready});
  ASSERT_EQ(deduped.size(), 2u);
  EXPECT_EQ(deduped[0], ready);
  EXPECT_EQ(deduped[1], other_old);
}

// Random programs either lower to a valid kernel program or fail with a
// message; none crashes.
TEST(StageToKernelProgram, RandomPrograms) {
  std::mt19937_64 rng(20240611);
  quarn_test::RandomComponentOptions options;
  std::size_t lowered = 0;
  for (int n = 0; n < 400; ++n) {
    const Component component = quarn_test::random_component(rng, options);
    auto graph = compiler::lower::component_to_graph::lower_component_to_graph(component);
    if (!graph) continue;
    auto stages = compiler::lower::node_to_stage::lower_node_graph_to_stage_program(*graph);
    if (!stages) continue;
    auto kernels = skp::lower_stage_program_to_kernel_program(*stages);
    if (!kernels) {
      EXPECT_FALSE(kernels.error().message.empty());
      continue;
    }
    ++lowered;
    EXPECT_TRUE(compiler::check::kernel_program::validate_kernel_program(*kernels).has_value());
  }
  EXPECT_GT(lowered, 0u);
}

}  // namespace
