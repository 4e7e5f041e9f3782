#include "check/exec_plan.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ir/exec_plan.h"

namespace {

using compiler::check::exec_plan::validate_exec_plan;
using namespace compiler::ir::exec_plan;
using A = Action<KernelRef>;
using compiler::ir::common::Base;
using compiler::ir::common::Semantic;

Iter it(std::size_t id) { return Iter{Iter::Loop{id}}; }
Access<KernelRef> at(KernelRef ref, std::vector<Iter> indexes = {}) {
  return Access<KernelRef>{std::move(indexes), ref};
}
Extent<Input> in_dim(std::size_t input, std::size_t dim) {
  return Extent<Input>{Input{input}, dim, Semantic{}};
}
Extent<KernelRef> ref_dim(KernelRef ref, std::size_t dim) {
  return Extent<KernelRef>{ref, dim, Semantic{}};
}
ExecRef input(std::size_t n) { return ExecRef{ExecRef::Input{n}}; }
ExecRef inter(std::size_t n) { return ExecRef{ExecRef::Intermediate{n}}; }
ExecRef output(std::size_t n) { return ExecRef{ExecRef::Output{n}}; }

// Row sums of a matrix into an intermediate (kernel 0), then each sum
// multiplied by a copy of itself held in a scalar local (kernel 1).
ExecPlan row_sum_plan() {
  ExecPlan plan;
  plan.buffers.inputs = {Buffer{Shape{{{0, 0}, {0, 1}}}, {in_dim(0, 0), in_dim(0, 1)}}};
  plan.buffers.intermediates = {Buffer{Shape{{{0, 0}}}, {in_dim(0, 0)}}};
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

  BoundKernel square;
  square.readonlys = {Param{Arg::Readonly, 0}};
  square.writeables = {Param{Arg::Writeable, 0}};
  square.locals = {LocalBuffer{Shape{}, {}, Storage::Local}};
  square.execution.lane = {ExecutionDim{ref_dim(readonly_ref(0), 0), 5, false}};
  square.actions = {
      A{A::Snapshot{at(local_ref(0)), at(readonly_ref(0), {it(5)})}},
      A{A::Compute{at(writeable_ref(0), {it(5)}),
                   {at(local_ref(0)), at(readonly_ref(0), {it(5)})},
                   Op::Mul}},
  };
  plan.kernels = {sum, square};
  plan.exec.steps = {
      Step{Step::Alloc{0}},
      Step{Dispatch{0, {input(0)}, {inter(0)}}},
      Step{Dispatch{1, {inter(0)}, {output(0)}}},
      Step{Step::Free{0}},
  };
  return plan;
}

// The actions of kernel 0's serial loop 1.
std::vector<A>& loop_body(ExecPlan& p) {
  return std::get<A::Loop>(p.kernels[0].actions[1].value).body.actions;
}
A::Loop& loop1(ExecPlan& p) { return std::get<A::Loop>(p.kernels[0].actions[1].value); }
A::Compute& compute0(ExecPlan& p) { return std::get<A::Compute>(loop_body(p)[0].value); }
A::Compute& compute1(ExecPlan& p) {
  return std::get<A::Compute>(p.kernels[1].actions[1].value);
}

TEST(ValidateExecPlan, AcceptsWellFormedPlan) {
  ExecPlan plan = row_sum_plan();
  EXPECT_TRUE(validate_exec_plan(plan));

  // A scale factor over reads and a reconstructed coordinate over two loops.
  plan.kernels[1].actions.push_back(A{A::Scale{
      at(writeable_ref(0), {Iter{Iter::Reconstructed{{5}, {}}}}),
      ScalarExpr<KernelRef>{ScalarExpr<KernelRef>::Binary{
          Op::Mul, ScalarExpr<KernelRef>{ScalarExpr<KernelRef>::Read{at(local_ref(0))}},
          ScalarExpr<KernelRef>{ScalarExpr<KernelRef>::Unary{
              Op::Log, ScalarExpr<KernelRef>{ScalarExpr<KernelRef>::Read{
                           at(readonly_ref(0), {it(5)})}}}}}}}});
  compute0(plan).reads[0].indexes[1] = Iter{Iter::Reconstructed{{0, 1}, {4}}};
  EXPECT_TRUE(validate_exec_plan(plan)) << validate_exec_plan(plan).error();

  // Any step order that allocates before use and frees by the end passes.
  plan.exec.steps = {Step{Step::Alloc{0}}, Step{Dispatch{0, {input(0)}, {inter(0)}}},
                     Step{Dispatch{1, {inter(0)}, {output(0)}}}, Step{Step::Free{0}},
                     Step{Step::Alloc{0}}, Step{Step::Free{0}}};
  EXPECT_TRUE(validate_exec_plan(plan)) << validate_exec_plan(plan).error();
}

struct Case {
  std::string name;
  std::function<void(ExecPlan&)> edit;
  std::string message;
};

TEST(ValidateExecPlan, ReportsFirstFailure) {
  const KernelRef r0 = readonly_ref(0);
  const KernelRef w0 = writeable_ref(0);
  const std::vector<Case> cases = {
      // Counts come before any buffer.
      {"ranks count", [](ExecPlan& p) { p.count = 2; }, "count is 2 but ranks has 1 entries"},
      {"shapes count", [](ExecPlan& p) { p.shapes.push_back({}); },
       "count is 1 but shapes has 2 entries"},
      {"outputs count", [](ExecPlan& p) { p.buffers.outputs.push_back({}); },
       "count is 1 but outputs has 2 entries"},
      {"rank", [](ExecPlan& p) { p.ranks[0] = 2; }, "output 0 rank is 2 but shape has 1 dims"},
      // Global buffers.
      {"input shape input", [](ExecPlan& p) { p.buffers.inputs[0].shape.dims[1] = {1, 0}; },
       "input 0 shape references nonexistent input 1"},
      {"input layout dim", [](ExecPlan& p) { p.buffers.inputs[0].layout[1].dim = 2; },
       "input 0 layout references nonexistent dim 2 of input 0"},
      {"intermediate layout",
       [](ExecPlan& p) { p.buffers.intermediates[0].layout[0].source = Input{3}; },
       "intermediate 0 layout references nonexistent input 3"},
      {"output shape", [](ExecPlan& p) { p.buffers.outputs[0].shape.dims[0].dim = 4; },
       "output 0 shape references nonexistent dim 4 of input 0"},
      {"public shape", [](ExecPlan& p) { p.shapes[0].dims[0] = {0, 1}; },
       "output 0 public shape differs from buffer shape"},
      // Kernels on their own.
      {"readonly ind", [](ExecPlan& p) { p.kernels[0].readonlys[0].ind = 1; },
       "kernel 0 read 0 is Param { arg: Readonly, ind: 1 }"},
      {"writeable arg", [](ExecPlan& p) { p.kernels[0].writeables[0].arg = Arg::Readonly; },
       "kernel 0 write 0 is Param { arg: Readonly, ind: 0 }"},
      {"global local before its shape",
       [](ExecPlan& p) {
         p.kernels[1].locals[0].storage = Storage::Global;
         p.kernels[1].locals[0].shape.dims.push_back({9, 0});
       },
       "kernel 1 local 0 is global"},
      {"local shape", [](ExecPlan& p) { p.kernels[1].locals[0].shape.dims.push_back({0, 5}); },
       "kernel 1 local 0 shape references nonexistent dim 5 of input 0"},
      {"local layout", [](ExecPlan& p) { p.kernels[1].locals[0].layout.push_back(in_dim(2, 0)); },
       "kernel 1 local 0 layout references nonexistent input 2"},
      {"four group dims",
       [](ExecPlan& p) {
         for (std::size_t id = 10; id < 14; ++id)
           p.kernels[0].execution.group.push_back({ref_dim(readonly_ref(0), 0), id, false});
       },
       "kernel 0 execution has 4 group dims"},
      {"four lane dims",
       [](ExecPlan& p) {
         for (std::size_t id = 10; id < 13; ++id)
           p.kernels[0].execution.lane.push_back({ref_dim(readonly_ref(0), 0), id, false});
       },
       "kernel 0 execution has 4 lane dims"},
      {"group repeats loop id",
       [](ExecPlan& p) {
         p.kernels[0].execution.group = {{ref_dim(readonly_ref(0), 0), 6, false},
                                         {ref_dim(readonly_ref(0), 0), 6, false}};
       },
       "kernel 0 execution group dim 1 repeats loop id 6"},
      {"lane reuses group loop id",
       [](ExecPlan& p) {
         p.kernels[0].execution.group = {{ref_dim(readonly_ref(0), 0), 0, false}};
       },
       "kernel 0 execution lane dim 0 repeats loop id 0"},
      {"body loop reuses execution loop id", [](ExecPlan& p) { loop1(p).id = 0; },
       "kernel 0 loop id 0 is repeated"},
      {"body loop id repeated before any step",
       [](ExecPlan& p) {
         loop_body(p).push_back(A{A::Loop{{}, ref_dim(readonly_ref(0), 1), 1, false, false}});
         p.exec.steps.clear();
       },
       "kernel 0 loop id 1 is repeated"},
      // Steps.
      {"alloc range", [](ExecPlan& p) { p.exec.steps.insert(p.exec.steps.begin(), Step{Step::Alloc{4}}); },
       "step 0 alloc references nonexistent intermediate 4"},
      {"alloc twice",
       [](ExecPlan& p) { p.exec.steps.insert(p.exec.steps.begin(), Step{Step::Alloc{0}}); },
       "step 1 alloc repeats intermediate 0"},
      {"free range", [](ExecPlan& p) { p.exec.steps.back() = Step{Step::Free{1}}; },
       "step 3 free references nonexistent intermediate 1"},
      {"free unallocated",
       [](ExecPlan& p) { p.exec.steps.insert(p.exec.steps.begin(), Step{Step::Free{0}}); },
       "step 0 free intermediate 0 is not allocated"},
      {"never freed", [](ExecPlan& p) { p.exec.steps.pop_back(); },
       "intermediate 0 remains allocated"},
      {"nonexistent kernel", [](ExecPlan& p) { std::get<Dispatch>(p.exec.steps[1].value).kernel = 7; },
       "step 1 dispatch references nonexistent kernel 7"},
      {"dispatched twice",
       [](ExecPlan& p) { p.exec.steps.insert(p.exec.steps.begin() + 2, p.exec.steps[1]); },
       "step 2 dispatch repeats kernel 0"},
      {"never dispatched", [](ExecPlan& p) { p.exec.steps.erase(p.exec.steps.begin() + 2); },
       "kernel 1 is not dispatched"},
      {"too many reads",
       [](ExecPlan& p) { std::get<Dispatch>(p.exec.steps[1].value).reads.push_back(input(0)); },
       "step 1 dispatch kernel 0 has 1 reads but dispatch binds 2"},
      {"too few writes",
       [](ExecPlan& p) { std::get<Dispatch>(p.exec.steps[2].value).writes.clear(); },
       "step 2 dispatch kernel 1 has 1 writes but dispatch binds 0"},
      {"bound input range",
       [](ExecPlan& p) { std::get<Dispatch>(p.exec.steps[1].value).reads[0] = input(3); },
       "step 1 dispatch references nonexistent input 3"},
      {"bound output range",
       [](ExecPlan& p) { std::get<Dispatch>(p.exec.steps[2].value).writes[0] = output(1); },
       "step 2 dispatch references nonexistent output 1"},
      {"unallocated intermediate", [](ExecPlan& p) { p.exec.steps.erase(p.exec.steps.begin()); },
       "step 0 dispatch references unallocated intermediate 0"},
      // Kernel bodies, against the dispatch's bindings.
      {"group extent dim",
       [](ExecPlan& p) {
         p.kernels[0].execution.group = {
             {Extent<KernelRef>{readonly_ref(0), 5, Base{{4}}}, 9, true}};
       },
       "step 1 dispatch group dim 0 extent references nonexistent dim 5 of "
       "Param(Param { arg: Readonly, ind: 0 })"},
      {"lane extent local",
       [](ExecPlan& p) { p.kernels[0].execution.lane[0].extent.source = local_ref(0); },
       "step 1 dispatch lane dim 0 extent references nonexistent local 0"},
      {"parallel body loop", [](ExecPlan& p) { loop1(p).parallel = true; },
       "step 1 dispatch loop 1 is not serial"},
      {"loop extent dim", [w0](ExecPlan& p) { loop1(p).extent = ref_dim(w0, 2); },
       "step 1 dispatch loop 1 extent references nonexistent dim 2 of "
       "Param(Param { arg: Writeable, ind: 0 })"},
      {"write to readonly", [r0](ExecPlan& p) { compute0(p).write.buffer = r0; },
       "step 1 dispatch compute write writes Param(Param { arg: Readonly, ind: 0 }) outside "
       "writeables"},
      {"write to unbound readonly", [](ExecPlan& p) { compute0(p).write.buffer = readonly_ref(3); },
       "step 1 dispatch compute write references nonexistent readonly 3"},
      {"write to unbound writeable", [](ExecPlan& p) { compute1(p).write.buffer = writeable_ref(1); },
       "step 2 dispatch compute write references nonexistent writeable 1"},
      {"read of unbound readonly",
       [](ExecPlan& p) { compute1(p).reads[1].buffer = readonly_ref(3); },
       "step 2 dispatch compute read 1 references nonexistent readonly 3"},
      {"too few coordinates", [](ExecPlan& p) { compute0(p).reads[0].indexes.pop_back(); },
       "step 1 dispatch compute read 0 access has 1 indexes for layout rank 2"},
      {"coordinate into scalar local",
       [](ExecPlan& p) { compute1(p).reads[0].indexes.push_back(it(5)); },
       "step 2 dispatch compute read 0 access has 1 indexes for layout rank 0"},
      {"sibling loop out of scope",
       [](ExecPlan& p) {
         p.kernels[0].actions.push_back(A{A::Init{at(writeable_ref(0), {it(1)}), {}, Op::Add}});
       },
       "step 1 dispatch init references loop 1 outside scope"},
      {"zero check nonexistent loop",
       [](ExecPlan& p) { std::get<A::Init>(p.kernels[0].actions[0].value).zero_check = {0, 9}; },
       "step 1 dispatch init zero check references nonexistent loop 9"},
      {"zero check outside scope",
       [](ExecPlan& p) { std::get<A::Init>(p.kernels[0].actions[0].value).zero_check = {1}; },
       "step 1 dispatch init zero check references loop 1 outside scope"},
      {"reconstructed without loops",
       [](ExecPlan& p) { compute0(p).reads[0].indexes[1] = Iter{Iter::Reconstructed{{}, {}}}; },
       "step 1 dispatch compute read 0 reconstructed iterator has no loops"},
      {"reconstructed factor count",
       [](ExecPlan& p) { compute0(p).reads[0].indexes[1] = Iter{Iter::Reconstructed{{0, 1}, {}}}; },
       "step 1 dispatch compute read 0 reconstructed iterator has 2 loops and 0 factors"},
      {"reconstructed loop scope",
       [](ExecPlan& p) {
         compute0(p).reads[0].indexes[1] = Iter{Iter::Reconstructed{{0, 8}, {2}}};
       },
       "step 1 dispatch compute read 0 references nonexistent loop 8"},
      {"snapshot write local range",
       [](ExecPlan& p) {
         std::get<A::Snapshot>(p.kernels[1].actions[0].value).write.buffer = local_ref(1);
       },
       "step 2 dispatch snapshot write references nonexistent local 1"},
      {"snapshot read coordinates",
       [](ExecPlan& p) {
         std::get<A::Snapshot>(p.kernels[1].actions[0].value).read.indexes.clear();
       },
       "step 2 dispatch snapshot read access has 0 indexes for layout rank 1"},
      {"scale factor",
       [](ExecPlan& p) {
         using E = ScalarExpr<KernelRef>;
         p.kernels[1].actions.push_back(A{A::Scale{
             at(writeable_ref(0), {it(5)}),
             E{E::Binary{Op::Mul, E{E::Read{at(local_ref(0))}},
                         E{E::Read{at(readonly_ref(0), {it(9)})}}}}}});
       },
       "step 2 dispatch scale factor references nonexistent loop 9"},
  };
  for (const Case& c : cases) {
    ExecPlan plan = row_sum_plan();
    c.edit(plan);
    auto result = validate_exec_plan(plan);
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error(), c.message) << c.name;
  }
}

TEST(ExecPlanText, PrintsReferencesForMessages) {
  EXPECT_EQ(debug_string(Param{Arg::Readonly, 0}), "Param { arg: Readonly, ind: 0 }");
  EXPECT_EQ(debug_string(Local{2}), "Local(2)");
  EXPECT_EQ(debug_string(writeable_ref(1)), "Param(Param { arg: Writeable, ind: 1 })");
  EXPECT_EQ(debug_string(readonly_ref(0)), "Param(Param { arg: Readonly, ind: 0 })");
  EXPECT_EQ(debug_string(local_ref(0)), "Local(Local(0))");
}

}  // namespace
