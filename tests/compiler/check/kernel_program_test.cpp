#include "check/kernel_program.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ir/print_kernel_program.h"

namespace {

using namespace compiler::ir::kernel_program;
using compiler::check::kernel_program::validate_kernel_program;
using compiler::ir::common::Semantic;
using compiler::ir::graph::input_source;
using compiler::ir::graph::node_source;

using A = Action<BufferId>;

BufferId b(std::size_t id) {
  return BufferId{id};
}
Iter loop(std::size_t id) {
  return Iter{Iter::Loop{id}};
}
Iter rec(std::vector<std::size_t> loops, std::vector<std::size_t> factors) {
  return Iter{Iter::Reconstructed{std::move(loops), std::move(factors)}};
}
Access<BufferId> at(std::size_t buffer, std::vector<Iter> indexes) {
  return Access<BufferId>{std::move(indexes), b(buffer)};
}
Extent<BufferId> extent(std::size_t buffer, std::size_t dim) {
  return Extent<BufferId>{b(buffer), dim, Semantic{}};
}
A loop_action(std::size_t id, Extent<BufferId> ext, std::vector<A> body, bool parallel = false) {
  return A{A::Loop{Block<BufferId>{std::move(body)}, ext, id, parallel, false}};
}
A init(Access<BufferId> write, std::vector<std::size_t> zero_check = {}) {
  return A{A::Init{std::move(write), std::move(zero_check), Op::Add}};
}
A compute(Access<BufferId> write, std::vector<Access<BufferId>> reads) {
  return A{A::Compute{std::move(write), std::move(reads), Op::Add}};
}
ScalarExpr<BufferId> read_expr(Access<BufferId> access) {
  return ScalarExpr<BufferId>{ScalarExpr<BufferId>::Read{std::move(access)}};
}

// Row sums of a matrix: b0 input [R, C], b1 output [R], b2 a spare
// intermediate that the kernel does not use.
KernelProgram row_sum() {
  KernelProgram p;
  p.buffers.push_back(Buffer{
      {{b(0), 0}, {b(0), 1}}, {{extent(0, 0), extent(0, 1)}}, BufferKind::Input, Storage::Global});
  p.buffers.push_back(Buffer{{{b(0), 0}}, {{extent(1, 0)}}, BufferKind::Output, Storage::Global});
  p.buffers.push_back(
      Buffer{{{b(0), 0}}, {{extent(2, 0)}}, BufferKind::Intermediate, Storage::Global});
  Kernel k;
  k.reads = {b(0)};
  k.writes = {b(1)};
  k.body.actions = {loop_action(
      0, extent(0, 0),
      {init(at(1, {loop(0)})),
       loop_action(1, extent(0, 1), {compute(at(1, {loop(0)}), {at(0, {loop(0), loop(1)})})})},
      true)};
  p.graph.inputs = {compiler::ir::graph::Input::Free};
  p.graph.nodes.push_back({std::move(k), {input_source(0)}, 1});
  p.graph.outputs = {node_source(0, 0)};
  p.outputs = {b(1)};
  return p;
}

Kernel& kernel0(KernelProgram& p) {
  return p.graph.nodes[0].value;
}
// The body of the inner loop (loop 1).
std::vector<A>& inner(KernelProgram& p) {
  auto& outer = std::get<A::Loop>(kernel0(p).body.actions[0].value);
  return std::get<A::Loop>(outer.body.actions[1].value).body.actions;
}
A::Compute& the_compute(KernelProgram& p) {
  return std::get<A::Compute>(inner(p)[0].value);
}

struct Case {
  std::string name;
  std::function<void(KernelProgram&)> mutate;
  std::string expected;  // empty: valid
};

TEST(ValidateKernelProgram, Table) {
  const std::vector<Case> cases = {
      {"valid", [](KernelProgram&) {}, ""},
      {"empty kernel",
       [](KernelProgram& p) {
         p.graph.nodes.push_back({Kernel{}, {}, 0});
       },
       ""},
      {"input local is checked first",
       [](KernelProgram& p) {
         p.buffers[0].storage = Storage::Local;
         p.buffers[0].shape[0].buffer = b(9);
         p.outputs = {b(9)};
       },
       "buffer 0 input buffer must be global"},
      {"output local", [](KernelProgram& p) { p.buffers[1].storage = Storage::Local; },
       "buffer 1 output buffer must be global"},
      {"intermediate local is fine",
       [](KernelProgram& p) { p.buffers[2].storage = Storage::Local; }, ""},
      {"shape buffer", [](KernelProgram& p) { p.buffers[1].shape[0].buffer = b(9); },
       "buffer 1 shape references nonexistent buffer 9"},
      {"shape dim", [](KernelProgram& p) { p.buffers[1].shape[0].dim = 2; },
       "buffer 1 shape references nonexistent dim 2 of buffer 0"},
      {"layout dim", [](KernelProgram& p) { p.buffers[1].layout.dims[0].dim = 5; },
       "buffer 1 layout references nonexistent dim 5 of buffer 1"},
      {"program output",
       [](KernelProgram& p) {
         p.outputs = {b(1), b(7)};
       },
       "output references nonexistent buffer 7"},
      {"read nonexistent",
       [](KernelProgram& p) {
         kernel0(p).reads = {b(0), b(9)};
       },
       "node 0: read references nonexistent buffer 9"},
      {"read repeats",
       [](KernelProgram& p) {
         kernel0(p).reads = {b(0), b(0)};
       },
       "node 0: read repeats buffer 0"},
      {"write nonexistent", [](KernelProgram& p) { kernel0(p).writes = {b(8)}; },
       "node 0: write references nonexistent buffer 8"},
      {"write repeats",
       [](KernelProgram& p) {
         kernel0(p).writes = {b(1), b(1)};
       },
       "node 0: write repeats buffer 1"},
      {"read and written",
       [](KernelProgram& p) {
         kernel0(p).writes = {b(1), b(0)};
       },
       "node 0: buffer 0 is both read and written"},
      {"sibling loops repeat an id before anything else is checked",
       [](KernelProgram& p) {
         the_compute(p).write.buffer = b(9);
         kernel0(p).body.actions.push_back(loop_action(0, extent(2, 0), {}));
       },
       "node 0: loop id 0 is repeated"},
      {"nested loops repeat an id",
       [](KernelProgram& p) { inner(p).push_back(loop_action(1, extent(0, 0), {})); },
       "node 0: loop id 1 is repeated"},
      {"loop extent outside params",
       [](KernelProgram& p) { inner(p).push_back(loop_action(4, extent(2, 0), {})); },
       "node 0: loop 4 extent references buffer 2 outside params"},
      {"loop extent nonexistent dim",
       [](KernelProgram& p) { inner(p).push_back(loop_action(4, extent(0, 3), {})); },
       "node 0: loop 4 extent references nonexistent dim 3 of buffer 0"},
      {"loop extent nonexistent buffer",
       [](KernelProgram& p) { inner(p).push_back(loop_action(4, extent(6, 0), {})); },
       "node 0: loop 4 extent references nonexistent buffer 6"},
      {"write to a read-only buffer", [](KernelProgram& p) { the_compute(p).write.buffer = b(0); },
       "node 0: compute write writes buffer 0 outside writeables"},
      {"write existence comes before its coordinates",
       [](KernelProgram& p) { the_compute(p).write = at(9, {loop(7)}); },
       "node 0: compute write references nonexistent buffer 9"},
      {"write coordinates come before writeables",
       [](KernelProgram& p) { the_compute(p).write = at(0, {loop(7)}); },
       "node 0: compute write references nonexistent loop 7"},
      {"read of a written buffer is allowed",
       [](KernelProgram& p) { the_compute(p).reads.push_back(at(1, {loop(0)})); }, ""},
      {"read param test comes before existence",
       [](KernelProgram& p) { the_compute(p).reads.push_back(at(9, {})); },
       "node 0: compute read 1 references buffer 9 outside params"},
      {"read outside params", [](KernelProgram& p) { the_compute(p).reads.push_back(at(2, {})); },
       "node 0: compute read 1 references buffer 2 outside params"},
      {"sibling loop variable",
       [](KernelProgram& p) {
         auto& outer = std::get<A::Loop>(kernel0(p).body.actions[0].value);
         outer.body.actions.push_back(loop_action(2, extent(0, 1), {}));
         the_compute(p).reads[0].indexes[1] = loop(2);
       },
       "node 0: compute read 0 references loop 2 outside scope"},
      {"unknown loop variable",
       [](KernelProgram& p) { the_compute(p).reads[0].indexes[1] = loop(9); },
       "node 0: compute read 0 references nonexistent loop 9"},
      {"reconstructed without factors",
       [](KernelProgram& p) {
         the_compute(p).reads[0].indexes[1] = rec({0, 1}, {});
       },
       "node 0: compute read 0 reconstructed iterator has 2 loops and 0 factors"},
      {"reconstructed without loops",
       [](KernelProgram& p) { the_compute(p).reads[0].indexes[1] = rec({}, {}); },
       "node 0: compute read 0 reconstructed iterator has no loops"},
      {"reconstructed out of scope",
       [](KernelProgram& p) {
         kernel0(p).body.actions.push_back(init(at(1, {rec({0, 1}, {4})})));
       },
       "node 0: init references loop 0 outside scope"},
      {"reconstructed in scope",
       [](KernelProgram& p) {
         inner(p).push_back(init(at(1, {rec({0, 1}, {4})})));
       },
       ""},
      {"fewer coordinates than layout dimensions pass",
       [](KernelProgram& p) { the_compute(p).reads[0].indexes.clear(); }, ""},
      {"init zero check in scope",
       [](KernelProgram& p) {
         inner(p).push_back(init(at(1, {}), {0, 1}));
       },
       ""},
      {"init zero check out of scope",
       [](KernelProgram& p) {
         auto& outer = std::get<A::Loop>(kernel0(p).body.actions[0].value);
         std::get<A::Init>(outer.body.actions[0].value).zero_check = {0, 1};
       },
       "node 0: init zero check references loop 1 outside scope"},
      {"init zero check unknown",
       [](KernelProgram& p) { inner(p).push_back(init(at(1, {}), {5})); },
       "node 0: init zero check references nonexistent loop 5"},
      {"snapshot write outside writeables",
       [](KernelProgram& p) {
         inner(p).push_back(A{A::Snapshot{at(0, {}), at(1, {})}});
       },
       "node 0: snapshot write writes buffer 0 outside writeables"},
      {"snapshot read outside params",
       [](KernelProgram& p) {
         inner(p).push_back(A{A::Snapshot{at(1, {}), at(2, {})}});
       },
       "node 0: snapshot read references buffer 2 outside params"},
      {"scale write outside writeables",
       [](KernelProgram& p) {
         inner(p).push_back(A{A::Scale{at(2, {}), read_expr(at(0, {}))}});
       },
       "node 0: scale write writes buffer 2 outside writeables"},
      {"scale factor nested read, rhs checked after lhs",
       [](KernelProgram& p) {
         using E = ScalarExpr<BufferId>;
         E diff{E::Binary{Op::Sub, read_expr(at(0, {loop(0)})), read_expr(at(2, {}))}};
         E factor{E::Unary{Op::Pow, diff}};
         inner(p).push_back(A{A::Scale{at(1, {}), factor}});
       },
       "node 0: scale factor references buffer 2 outside params"},
      {"graph input count vs buffers",
       [](KernelProgram& p) { p.graph.inputs.resize(4, compiler::ir::graph::Input::Free); },
       "graph has 4 inputs for 3 buffers"},
      {"graph node source non-prior",
       [](KernelProgram& p) { p.graph.nodes[0].inputs = {node_source(0, 0)}; },
       "node 0 input references non-prior node 0"},
      {"graph output slot", [](KernelProgram& p) { p.graph.outputs = {node_source(0, 1)}; },
       "output references nonexistent output 1 of node 0"},
      {"sources vs reads",
       [](KernelProgram& p) {
         p.buffers[2].kind = BufferKind::Input;
         p.graph.inputs.resize(3, compiler::ir::graph::Input::Free);
         p.buffers.push_back(p.buffers[0]);
         kernel0(p).reads = {b(0), b(2), b(3)};
         p.graph.nodes[0].inputs = {input_source(0), input_source(1)};
       },
       "node 0: graph has 2 inputs for 3 kernel reads"},
      {"outputs vs writes", [](KernelProgram& p) { p.graph.nodes[0].output_count = 2; },
       "node 0: graph has 2 outputs for 1 kernel writes"},
  };
  for (const Case& c : cases) {
    KernelProgram p = row_sum();
    c.mutate(p);
    const auto result = validate_kernel_program(p);
    if (c.expected.empty()) {
      EXPECT_TRUE(result.has_value()) << c.name << ": " << result.error();
    } else {
      ASSERT_FALSE(result.has_value()) << c.name;
      EXPECT_EQ(result.error(), c.expected) << c.name;
    }
  }
}

TEST(PrintKernelProgram, ShowsLoopsFlagsAndAccesses) {
  KernelProgram p = row_sum();
  p.buffers[2].layout.dims[0].kind = compiler::ir::common::Split{1, 4};
  p.buffers[2].storage = Storage::Local;
  kernel0(p).writes.push_back(b(2));
  p.graph.nodes[0].output_count = 2;
  using E = ScalarExpr<BufferId>;
  inner(p).push_back(A{A::Snapshot{at(2, {loop(0)}), at(1, {loop(0)})}});
  inner(p).push_back(
      A{A::Scale{at(1, {rec({0, 1}, {4})}),
                 E{E::Unary{Op::Pow, E{E::Binary{Op::Sub, read_expr(at(2, {loop(0)})),
                                                 read_expr(at(1, {loop(0)}))}}}}}});
  auto& l1 =
      std::get<A::Loop>(std::get<A::Loop>(kernel0(p).body.actions[0].value).body.actions[1].value);
  l1.guard = true;
  l1.extent.kind = compiler::ir::common::Base{{4}};
  std::get<A::Init>(std::get<A::Loop>(kernel0(p).body.actions[0].value).body.actions[0].value)
      .zero_check = {0};
  ASSERT_TRUE(validate_kernel_program(p).has_value());
  EXPECT_EQ(print_kernel_program(p),
            "buffer 0 input global shape [b0.0, b0.1] layout [b0.0, b0.1]\n"
            "buffer 1 output global shape [b0.0] layout [b1.0]\n"
            "buffer 2 intermediate local shape [b0.0] layout [b2.0 Split { level: 1, factor: 4 }]\n"
            "kernel 0 reads [b0] writes [b1, b2] sources [in 0]\n"
            "  loop 0 extent b0.0 parallel\n"
            "    init b1[l0] Add zero [0]\n"
            "    loop 1 extent b0.1 Base([4]) guard\n"
            "      compute b1[l0] = Add(b0[l0, l1])\n"
            "      snapshot b2[l0] = b1[l0]\n"
            "      scale b1[(l0 l1; 4)] *= Pow(Sub(b2[l0], b1[l0]))\n"
            "outputs [b1] sources [k0.0]\n");
}

}  // namespace
