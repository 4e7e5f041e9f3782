#include "lower/exec_plan_to_module.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "backends/c/render.h"
#include "ir/exec_plan.h"

namespace {

using compiler::lower::exec_plan_to_module::lower_exec_plan_to_module;
using namespace compiler::ir::exec_plan;
using A = Action<KernelRef>;
using compiler::ir::common::Base;
using compiler::ir::common::Semantic;
using compiler::ir::common::Split;

Iter it(std::size_t id) { return Iter{Iter::Loop{id}}; }
Access<KernelRef> at(KernelRef ref, std::vector<Iter> indexes = {}) {
  return Access<KernelRef>{std::move(indexes), ref};
}
Extent<Input> in_dim(std::size_t input, std::size_t dim, ExtentKind kind = Semantic{}) {
  return Extent<Input>{Input{input}, dim, std::move(kind)};
}
Extent<KernelRef> ref_dim(KernelRef ref, std::size_t dim, ExtentKind kind = Semantic{}) {
  return Extent<KernelRef>{ref, dim, std::move(kind)};
}

// out[i] = sum over j of in[i][j]: one lane dimension over i, a serial loop over j.
ExecPlan row_sum_plan() {
  ExecPlan plan;
  plan.buffers.inputs = {Buffer{Shape{{{0, 0}, {0, 1}}}, {in_dim(0, 0), in_dim(0, 1)}}};
  plan.buffers.outputs = {Buffer{Shape{{{0, 0}}}, {in_dim(0, 0)}}};
  plan.count = 1;
  plan.ranks = {1};
  plan.shapes = {Shape{{{0, 0}}}};
  BoundKernel sum;
  sum.readonlys = {Param{Arg::Readonly, 0}};
  sum.writeables = {Param{Arg::Writeable, 0}};
  sum.execution.lane = {ExecutionDim{ref_dim(readonly_ref(0), 0), 0, false}};
  sum.actions = {
      A{A::Init{at(writeable_ref(0), {it(0)}), {}, Op::Add}},
      A{A::Loop{Block<KernelRef>{{A{A::Compute{at(writeable_ref(0), {it(0)}),
                                                 {at(readonly_ref(0), {it(0), it(1)})},
                                                 Op::Add}}}},
                ref_dim(readonly_ref(0), 1), 1, false, false}},
  };
  plan.kernels = {sum};
  plan.exec.steps = {Step{Dispatch{0, {ExecRef{ExecRef::Input{0}}}, {ExecRef{ExecRef::Output{0}}}}}};
  return plan;
}

A::Init& init0(ExecPlan& p) { return std::get<A::Init>(p.kernels[0].actions[0].value); }

// A plan that fails validation never reaches these checks, so the cases are
// the ones a valid plan can still hit.
TEST(ExecPlanToModule, FailuresInsideKernels) {
  struct Case {
    std::string name;
    std::function<void(ExecPlan&)> mutate;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no identity", [](ExecPlan& p) { init0(p).op = Op::Sub; }, "op Sub has no reduction identity"},
      {"local with a run-time extent",
       [](ExecPlan& p) {
         p.kernels[0].locals = {LocalBuffer{Shape{{{0, 1}}}, {in_dim(0, 1)}, Storage::Local}};
       },
       "local 0 layout dim 0 is not static"},
  };
  for (const Case& c : cases) {
    ExecPlan plan = row_sum_plan();
    c.mutate(plan);
    auto module = lower_exec_plan_to_module(plan);
    ASSERT_FALSE(module.has_value()) << c.name;
    EXPECT_EQ(module.error().message, c.message) << c.name;
  }
}

TEST(ExecPlanToModule, AccumulatesOnlyIntoInitialisedBuffers) {
  ExecPlan plan = row_sum_plan();
  auto with_init = lower_exec_plan_to_module(plan);
  ASSERT_TRUE(with_init.has_value()) << with_init.error().message;
  const std::string accumulating = compiler::backends::c::render(*with_init);
  EXPECT_NE(accumulating.find("writeables[0].data[i0] = writeables[0].data[i0] + readonlys[0]"),
            std::string::npos)
      << accumulating;

  plan.kernels[0].actions.erase(plan.kernels[0].actions.begin());
  auto without_init = lower_exec_plan_to_module(plan);
  ASSERT_TRUE(without_init.has_value()) << without_init.error().message;
  const std::string copying = compiler::backends::c::render(*without_init);
  EXPECT_NE(copying.find("writeables[0].data[i0] = readonlys[0]"), std::string::npos) << copying;
}

TEST(ExecPlanToModule, GuardedSplitLoopChecksTheReconstructedIndex) {
  // out[i] = in[i] with i split by 4: a lane dimension over the outer part
  // and a guarded serial loop over the inner part.
  ExecPlan plan;
  plan.buffers.inputs = {Buffer{Shape{{{0, 0}}}, {in_dim(0, 0)}}};
  plan.buffers.outputs = {Buffer{Shape{{{0, 0}}}, {in_dim(0, 0)}}};
  plan.count = 1;
  plan.ranks = {1};
  plan.shapes = {Shape{{{0, 0}}}};
  BoundKernel copy;
  copy.readonlys = {Param{Arg::Readonly, 0}};
  copy.writeables = {Param{Arg::Writeable, 0}};
  copy.execution.group = {ExecutionDim{ref_dim(readonly_ref(0), 0, Base{{4}}), 0, false}};
  const Iter whole{Iter::Reconstructed{{0, 1}, {4}}};
  copy.actions = {A{A::Loop{
      Block<KernelRef>{{A{A::Compute{at(writeable_ref(0), {whole}), {at(readonly_ref(0), {whole})},
                                     Op::Add}}}},
      ref_dim(readonly_ref(0), 0, Split{1, 4}), 1, false, true}}};
  plan.kernels = {copy};
  plan.exec.steps = {Step{Dispatch{0, {ExecRef{ExecRef::Input{0}}}, {ExecRef{ExecRef::Output{0}}}}}};

  auto module = lower_exec_plan_to_module(plan);
  ASSERT_TRUE(module.has_value()) << module.error().message;
  const std::string text = compiler::backends::c::render(*module);
  EXPECT_NE(text.find("if (i0 * 4 + i1 < readonlys[0].shape[0])"), std::string::npos) << text;
  EXPECT_NE(text.find("i0 < (readonlys[0].shape[0] + 4 - 1) / 4"), std::string::npos) << text;
}

}  // namespace
