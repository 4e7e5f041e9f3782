#include "lower/stage_to_kernel_program.h"

#include <fmt/format.h>
#include <algorithm>
#include <optional>
#include <set>
#include <utility>
#include <variant>
#include <vector>

#include "check/kernel_program.h"
#include "check/stage.h"
#include "lower/stage_to_kernel_program_builder.h"

namespace compiler::lower::stage_to_kernel_program {

namespace ks = ir::kernel_program;
namespace st = ir::stage;
using ir::graph::InputSource;
using ir::graph::NodeSource;

namespace {

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected(std::move(message));
}

std::optional<std::size_t> position_of(const std::vector<Index>& indexes, Index x) {
  auto it = std::find(indexes.begin(), indexes.end(), x);
  if (it == indexes.end()) return std::nullopt;
  return static_cast<std::size_t>(it - indexes.begin());
}

std::vector<ks::BufferDim> buffer_shape(const Builder& builder, const st::ProgramShape& shape) {
  std::vector<ks::BufferDim> dims;
  for (const st::ShapeDim& dim : shape.dims)
    dims.push_back(ks::BufferDim{builder.input_buffers.at(dim.input), dim.dim});
  return dims;
}

// The storage dimensions of stage `j`'s buffer `id`, from its output layout.
Expected<ks::BufferLayout> stage_buffer_layout(const Builder& builder, const Stage& stage,
                                               BufferId id) {
  ks::BufferLayout layout;
  for (const st::LayoutDim& dim : stage.output.layout.dims) {
    Index x = 0;
    ExtentKind kind = ir::common::Semantic{};
    if (const auto* semantic = std::get_if<st::SemanticDim>(&dim)) {
      x = semantic->index;
    } else {
      auto axis = builder.stage_axis(stage, std::get<st::SingleDim>(dim).axis);
      if (!axis) return std::unexpected(axis.error());
      kind = axis->first;
      x = axis->second;
    }
    auto position = position_of(stage.output.indexes, x);
    if (!position) return fail(fmt::format("index {} is not present in output shape", x));
    layout.dims.push_back(KExtent{id, *position, std::move(kind)});
  }
  return layout;
}

// Buffers a kernel body reads and writes, by the kinds of its statements.
struct BufferUses {
  std::set<BufferId> reads;
  std::set<BufferId> writes;

  void read_expr(const KExpr& expr) {
    std::visit(
        [&](const auto& e) {
          using E = std::decay_t<decltype(e)>;
          if constexpr (std::is_same_v<E, KExpr::Read>) {
            reads.insert(e.access.buffer);
          } else if constexpr (std::is_same_v<E, KExpr::Unary>) {
            read_expr(*e.operand);
          } else {
            read_expr(*e.lhs);
            read_expr(*e.rhs);
          }
        },
        expr.value);
  }

  void collect(const std::vector<KAction>& actions) {
    for (const KAction& action : actions) {
      std::visit(
          [&](const auto& a) {
            using A = std::decay_t<decltype(a)>;
            if constexpr (std::is_same_v<A, KAction::Loop>) {
              reads.insert(a.extent.source);
              collect(a.body.actions);
            } else if constexpr (std::is_same_v<A, KAction::Init>) {
              writes.insert(a.write.buffer);
            } else if constexpr (std::is_same_v<A, KAction::Compute>) {
              writes.insert(a.write.buffer);
              for (const KAccess& r : a.reads) reads.insert(r.buffer);
            } else if constexpr (std::is_same_v<A, KAction::Snapshot>) {
              writes.insert(a.write.buffer);
              reads.insert(a.read.buffer);
            } else {
              writes.insert(a.write.buffer);
              read_expr(a.factor);
            }
          },
          action.value);
    }
  }
};

// Gives a program output a buffer of its own holding a copy of buffer
// `from`: an Output buffer with `from`'s shape and storage layout, written
// by a new kernel that copies it element by element in storage order (one
// parallel loop per storage dimension around a one-operand Add, which is the
// plain value). Used for outputs that are program inputs and for a value
// named by a second output, so that every program output is a distinct
// tensor some kernel fills. Returns the new buffer.
Expected<BufferId> add_copy(Builder& builder, BufferId from) {
  const std::optional<Source> source = builder.sources[from.value];
  if (!source) return fail(fmt::format("program output buffer {} has no graph source", from.value));
  const BufferId id{builder.buffers.size()};
  const ks::Buffer& original = builder.buffers[from.value];
  ks::Buffer buffer{original.shape, original.layout, ks::BufferKind::Output, ks::Storage::Global};
  std::vector<ks::Iter> indexes;
  for (std::size_t d = 0; d < buffer.layout.dims.size(); ++d) {
    if (buffer.layout.dims[d].source == from) buffer.layout.dims[d].source = id;
    indexes.push_back(ks::Iter{ks::Iter::Loop{d}});
  }
  const std::vector<KExtent> extents = original.layout.dims;
  builder.buffers.push_back(std::move(buffer));

  std::vector<KAction> body = {
      KAction{KAction::Compute{KAccess{indexes, id}, {KAccess{indexes, from}}, Op::Add}}};
  for (std::size_t d = extents.size(); d-- > 0;) {
    body = {
        KAction{KAction::Loop{ks::Block<BufferId>{std::move(body)}, extents[d], d, true, false}}};
  }
  ir::graph::Node<ks::Kernel> node;
  node.value.reads = {from};
  node.value.writes = {id};
  node.value.body.actions = std::move(body);
  node.inputs = {*source};
  node.output_count = 1;
  builder.sources.push_back(Source{NodeSource{builder.kernels.size(), 0}});
  builder.kernels.push_back(std::move(node));
  return id;
}

std::string placement_text(const Placement& placement) {
  if (const auto* before = std::get_if<Before>(&placement))
    return fmt::format("consumer axis {} before site", before->axis);
  return fmt::format("consumer axis {} after site", std::get<After>(placement).axis);
}

Expected<ks::KernelProgram> lower(const st::StageProgram& program) {
  if (auto r = check::stage::validate_stage_graph(program.graph); !r)
    return std::unexpected(r.error());
  const auto& graph = program.graph;
  if (program.input_shapes.size() != graph.inputs.size())
    return fail(fmt::format("stage program has {} input shapes for {} graph inputs",
                            program.input_shapes.size(), graph.inputs.size()));
  if (program.stage_shapes.size() != graph.nodes.size())
    return fail(fmt::format("stage program has {} node shapes for {} graph nodes",
                            program.stage_shapes.size(), graph.nodes.size()));

  Builder builder(program);
  for (std::size_t k = 0; k < graph.inputs.size(); ++k) {
    const BufferId id{builder.buffers.size()};
    builder.input_buffers.push_back(id);
    builder.sources.push_back(Source{InputSource{k}});
    ks::Buffer buffer{{}, {}, ks::BufferKind::Input, ks::Storage::Global};
    buffer.shape = buffer_shape(builder, program.input_shapes[k]);
    for (std::size_t d = 0; d < buffer.shape.size(); ++d)
      buffer.layout.dims.push_back(KExtent{id, d, ir::common::Semantic{}});
    builder.buffers.push_back(std::move(buffer));
  }
  for (std::size_t j = 0; j < graph.nodes.size(); ++j) {
    const BufferId id{builder.buffers.size()};
    builder.stage_buffers.push_back(id);
    builder.sources.push_back(std::nullopt);
    const bool is_output =
        std::any_of(graph.outputs.begin(), graph.outputs.end(), [&](const Source& s) {
          const auto* node = std::get_if<NodeSource>(&s);
          return node != nullptr && node->node == j;
        });
    ks::Buffer buffer{{},
                      {},
                      is_output ? ks::BufferKind::Output : ks::BufferKind::Intermediate,
                      ks::Storage::Global};
    buffer.shape = buffer_shape(builder, program.stage_shapes[j]);
    auto layout = stage_buffer_layout(builder, graph.nodes[j].value, id);
    if (!layout) return fail(fmt::format("stage {} output layout {}", j, layout.error()));
    buffer.layout = std::move(*layout);
    builder.buffers.push_back(std::move(buffer));
  }

  std::vector<BufferId> outputs;
  for (const Source& source : graph.outputs) {
    auto id = builder.source_buffer(source);
    if (!id) return std::unexpected(id.error());
    outputs.push_back(*id);
  }

  std::set<std::size_t> fused;
  for (const auto& node : graph.nodes) {
    for (std::size_t j = 0; j < node.value.inputs.size() && j < node.inputs.size(); ++j) {
      const auto* source = std::get_if<NodeSource>(&node.inputs[j]);
      if (node.value.inputs[j].compute && source != nullptr && source->output == 0)
        fused.insert(source->node);
    }
  }

  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    if (fused.contains(i)) continue;
    KernelBuilder kernel(builder, i);
    auto emitted = kernel.emit_stage(i, AxisMap{});
    if (!emitted) return std::unexpected(emitted.error());
    if (!emitted->hoisted.empty())
      return fail(fmt::format("stage {} left fused actions hoisted to unavailable {}", i,
                              placement_text(emitted->hoisted.front().placement)));
    if (!emitted->corrections.empty())
      return fail("online reduction correction reached root without an accumulator");

    BufferUses uses;
    uses.collect(emitted->actions);
    // A stage merged into an identical one is represented by that one's
    // buffer.
    auto represent = [&](const std::set<BufferId>& ids) {
      std::set<BufferId> out;
      for (BufferId id : ids) {
        auto it = std::find(builder.stage_buffers.begin(), builder.stage_buffers.end(), id);
        if (it == builder.stage_buffers.end()) {
          out.insert(id);
          continue;
        }
        const auto stage = static_cast<std::size_t>(it - builder.stage_buffers.begin());
        out.insert(builder.stage_buffers[kernel.representative(stage)]);
      }
      return out;
    };
    uses.reads = represent(uses.reads);
    uses.writes = represent(uses.writes);

    ks::Kernel result;
    for (BufferId id : kernel.written()) {
      if (uses.writes.contains(id)) result.writes.push_back(id);
    }
    for (BufferId id : kernel.touched()) {
      if (uses.reads.contains(id) && !uses.writes.contains(id) &&
          std::find(result.reads.begin(), result.reads.end(), id) == result.reads.end())
        result.reads.push_back(id);
    }
    ir::graph::Node<ks::Kernel> node;
    for (BufferId id : result.reads) {
      const auto& source = builder.sources[id.value];
      if (!source) return fail(fmt::format("kernel read buffer {} has no graph source", id.value));
      node.inputs.push_back(*source);
    }
    const std::size_t index = builder.kernels.size();
    for (std::size_t j = 0; j < result.writes.size(); ++j)
      builder.sources[result.writes[j].value] = Source{NodeSource{index, j}};
    node.output_count = result.writes.size();
    result.body.actions = std::move(emitted->actions);
    node.value = std::move(result);
    builder.kernels.push_back(std::move(node));
  }

  // Copies, after the stage kernels, in output order: every output that is
  // a program input (an input named by two outputs gets two copies), and
  // every later output that names the same stage as an earlier one.
  // An input's rank is only known from the expressions that read it, so an
  // input that reaches an output unread has no shape to copy: compiling it
  // would silently produce a rank-0 program.
  auto read_by_some_stage = [&](std::size_t k) {
    for (const auto& node : graph.nodes) {
      for (const Source& s : node.inputs) {
        const auto* in = std::get_if<InputSource>(&s);
        if (in != nullptr && in->index == k) return true;
      }
    }
    return false;
  };
  std::set<BufferId> claimed;
  for (std::size_t o = 0; o < outputs.size(); ++o) {
    const auto* input = std::get_if<InputSource>(&graph.outputs[o]);
    if (input != nullptr && !read_by_some_stage(input->index)) {
      return fail(fmt::format(
          "output {} passes input {} through, but no expression reads it, so its rank is unknown",
          o, input->index));
    }
    if (input == nullptr && claimed.insert(outputs[o]).second) continue;
    auto copy = add_copy(builder, outputs[o]);
    if (!copy) return std::unexpected(copy.error());
    outputs[o] = *copy;
  }

  // Intermediates used by one kernel and stored in constant-size tiles live
  // inside that kernel.
  std::vector<std::set<std::size_t>> users(builder.buffers.size());
  for (std::size_t k = 0; k < builder.kernels.size(); ++k) {
    const ks::Kernel& kernel = builder.kernels[k].value;
    for (BufferId id : kernel.reads) users[id.value].insert(k);
    for (BufferId id : kernel.writes) users[id.value].insert(k);
  }
  for (std::size_t b = 0; b < builder.buffers.size(); ++b) {
    ks::Buffer& buffer = builder.buffers[b];
    const bool all_split = std::all_of(
        buffer.layout.dims.begin(), buffer.layout.dims.end(),
        [](const KExtent& e) { return std::holds_alternative<ir::common::Split>(e.kind); });
    if (buffer.kind == ks::BufferKind::Intermediate && users[b].size() == 1 && all_split)
      buffer.storage = ks::Storage::Local;
  }

  std::vector<Source> graph_outputs;
  for (BufferId id : outputs) {
    const auto& source = builder.sources[id.value];
    if (!source) return fail(fmt::format("program output buffer {} has no graph source", id.value));
    graph_outputs.push_back(*source);
  }

  ks::KernelProgram result;
  result.buffers = std::move(builder.buffers);
  result.outputs = std::move(outputs);
  result.graph.inputs = graph.inputs;
  result.graph.nodes = std::move(builder.kernels);
  result.graph.outputs = std::move(graph_outputs);
  if (auto r = check::kernel_program::validate_kernel_program(result); !r)
    return std::unexpected(r.error());
  return result;
}

}  // namespace

Expected<BufferId> Builder::source_buffer(const Source& source) const {
  if (const auto* input = std::get_if<InputSource>(&source)) {
    if (input->index >= input_buffers.size())
      return fail(fmt::format("source references nonexistent input {}", input->index));
    return input_buffers[input->index];
  }
  const auto& node = std::get<NodeSource>(source);
  if (node.output != 0) return fail(fmt::format("source references output {}", node.output));
  if (node.node >= stage_buffers.size())
    return fail(fmt::format("source references nonexistent stage {}", node.node));
  return stage_buffers[node.node];
}

Expected<std::pair<ExtentKind, Index>> Builder::stage_axis(const Stage& stage,
                                                           const st::AxisRef& ref) const {
  if (const auto* consumer = std::get_if<st::ConsumerRef>(&ref))
    return fail(fmt::format("consumer axis {} cannot define buffer layout", consumer->axis));
  const st::AxisId a = std::get<st::LocalRef>(ref).axis;
  if (a >= stage.axes.size()) return fail(fmt::format("axis {} does not exist", a));
  const auto* local = std::get_if<st::Local>(&stage.axes[a]);
  if (local == nullptr) return fail(fmt::format("axis {} is pruned", a));
  return std::pair{local->extent, local->index};
}

LowerResult<ks::KernelProgram> lower_stage_program_to_kernel_program(
    const st::StageProgram& program) {
  auto result = lower(program);
  if (!result) return std::unexpected(LowerError{std::move(result.error())});
  return std::move(*result);
}

}  // namespace compiler::lower::stage_to_kernel_program
