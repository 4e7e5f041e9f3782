#include "lower/kernel_program_to_exec_plan.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "check/exec_plan.h"
#include "check/kernel_program.h"

namespace compiler::lower::kernel_program_to_exec_plan {

namespace kp = ir::kernel_program;
using namespace ir::exec_plan;
using kp::BufferId;
using kp::BufferKind;

namespace {

template <class T>
using Fallible = std::expected<T, std::string>;

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected(std::move(message));
}

// The shape and storage layout of one buffer, expressed through program
// inputs.
struct Dims {
  Shape shape;
  std::vector<Extent<Input>> layout;
};

// Which execution dimension each loop extent's `dim` has taken, per class,
// and whether loops of the block may still be bound. Keyed by the extent's
// dim so that execution dimension p of a class follows dimension p of the
// buffers the kernel iterates.
struct BindingState {
  std::map<std::size_t, std::size_t> group_keys;
  std::map<std::size_t, std::size_t> lane_keys;
  bool enabled = true;
};

// Appends `dim` at `position`, which must be the end of `dims`: execution
// dimensions of one class are numbered from the outside in.
Fallible<void> push_execution_dim(std::vector<ExecutionDim>& dims, std::size_t position,
                                  ExecutionDim dim) {
  if (position != dims.size())
    return fail(fmt::format("execution dim {} follows {} dims", position, dims.size()));
  dims.push_back(std::move(dim));
  return {};
}

// The state of lowering one kernel.
struct KernelState {
  const kp::Kernel& kernel;
  std::vector<std::pair<BufferId, LocalBuffer>> locals;
  ExecutionShape execution;
};

class Builder {
 public:
  explicit Builder(const kp::KernelProgram& program)
      : program_(program), exec_refs_(program.buffers.size()) {}

  LowerResult<ExecPlan> build() {
    if (auto r = check::kernel_program::validate_kernel_program(program_); !r)
      return error(r.error());
    number_global_buffers();
    if (auto r = bind_outputs(); !r) return error(r.error());
    ExecPlan plan;
    if (auto r = build_global_buffers(plan.buffers); !r) return error(r.error());
    for (const Buffer& output : plan.buffers.outputs) {
      plan.shapes.push_back(output.shape);
      plan.ranks.push_back(output.shape.dims.size());
    }
    plan.count = program_.outputs.size();
    for (std::size_t k = 0; k < program_.graph.nodes.size(); ++k) {
      auto kernel = lower_kernel(k);
      if (!kernel) return error(kernel.error());
      plan.kernels.push_back(std::move(*kernel));
    }
    auto steps = build_steps();
    if (!steps) return error(steps.error());
    plan.exec.steps = std::move(*steps);
    if (auto r = check::exec_plan::validate_exec_plan(plan); !r) return error(r.error());
    return plan;
  }

 private:
  static std::unexpected<LowerError> error(std::string message) {
    return std::unexpected(LowerError{std::move(message)});
  }

  const kp::Buffer& buffer(BufferId id) const { return program_.buffers[id.value]; }

  bool is_global_intermediate(const kp::Buffer& b) const {
    return b.kind == BufferKind::Intermediate && b.storage == kp::Storage::Global;
  }

  // Inputs and global intermediates are numbered in buffer order; outputs
  // are numbered by their position in the program's output list.
  void number_global_buffers() {
    std::size_t inputs = 0;
    std::size_t intermediates = 0;
    for (std::size_t b = 0; b < program_.buffers.size(); ++b) {
      const kp::Buffer& buf = program_.buffers[b];
      if (buf.kind == BufferKind::Input) {
        exec_refs_[b] = ExecRef{ExecRef::Input{inputs++}};
      } else if (is_global_intermediate(buf)) {
        exec_refs_[b] = ExecRef{ExecRef::Intermediate{intermediates++}};
      }
    }
  }

  Fallible<void> bind_outputs() {
    std::vector<bool> bound(program_.buffers.size(), false);
    for (std::size_t o = 0; o < program_.outputs.size(); ++o) {
      const std::size_t b = program_.outputs[o].value;
      if (b >= program_.buffers.size())
        return fail(fmt::format("output {} references nonexistent buffer {}", o, b));
      const BufferKind kind = program_.buffers[b].kind;
      if (kind != BufferKind::Output)
        return fail(fmt::format("output {} references {} buffer {}", o, kp::debug_string(kind), b));
      if (bound[b]) return fail(fmt::format("output {} repeats buffer {}", o, b));
      bound[b] = true;
      exec_refs_[b] = ExecRef{ExecRef::Output{o}};
    }
    for (std::size_t b = 0; b < program_.buffers.size(); ++b) {
      if (program_.buffers[b].kind == BufferKind::Output && !bound[b])
        return fail(fmt::format("output buffer {} is not a program output", b));
    }
    return {};
  }

  // Dimension `dim` of buffer `b` as a dimension of a program input,
  // following the chain of buffer dimensions; `visiting` holds the buffers
  // already on the chain.
  Fallible<ShapeDim> resolve_shape_dim(BufferId b, std::size_t dim,
                                       std::vector<BufferId>& visiting) const {
    if (b.value >= program_.buffers.size())
      return fail(fmt::format("references nonexistent buffer {}", b.value));
    const kp::Buffer& buf = buffer(b);
    if (dim >= buf.shape.size())
      return fail(fmt::format("references nonexistent dim {} of buffer {}", dim, b.value));
    const std::optional<ExecRef>& ref = exec_refs_[b.value];
    if (ref) {
      if (const auto* input = std::get_if<ExecRef::Input>(&ref->value))
        return ShapeDim{input->index, dim};
    }
    if (std::find(visiting.begin(), visiting.end(), b) != visiting.end())
      return fail(fmt::format("shape dim cycle through buffer {}", b.value));
    visiting.push_back(b);
    const kp::BufferDim& next = buf.shape[dim];
    auto result = resolve_shape_dim(next.buffer, next.dim, visiting);
    visiting.pop_back();
    return result;
  }

  Fallible<ShapeDim> resolve_shape_dim(BufferId b, std::size_t dim) const {
    std::vector<BufferId> visiting;
    return resolve_shape_dim(b, dim, visiting);
  }

  // The shape and layout of buffer `b` through program inputs.
  Fallible<Dims> buffer_dims(std::size_t b) const {
    const kp::Buffer& buf = program_.buffers[b];
    Dims dims;
    for (std::size_t d = 0; d < buf.shape.size(); ++d) {
      auto resolved = resolve_shape_dim(buf.shape[d].buffer, buf.shape[d].dim);
      if (!resolved)
        return fail(fmt::format("buffer {} shape dim {} {}", b, d, resolved.error()));
      dims.shape.dims.push_back(*resolved);
    }
    for (std::size_t d = 0; d < buf.layout.dims.size(); ++d) {
      const Extent<BufferId>& extent = buf.layout.dims[d];
      auto resolved = resolve_shape_dim(extent.source, extent.dim);
      if (!resolved)
        return fail(fmt::format("buffer {} layout dim {} {}", b, d, resolved.error()));
      dims.layout.push_back(Extent<Input>{Input{resolved->input}, resolved->dim, extent.kind});
    }
    return dims;
  }

  Fallible<void> build_global_buffers(Buffers& buffers) const {
    std::vector<std::optional<Buffer>> outputs(program_.outputs.size());
    for (std::size_t b = 0; b < program_.buffers.size(); ++b) {
      const kp::Buffer& buf = program_.buffers[b];
      if (buf.shape.empty() && !buf.layout.dims.empty())
        return fail(fmt::format("buffer {} has scalar shape and non-scalar layout", b));
      if (buf.storage == kp::Storage::Local) continue;
      const std::optional<ExecRef>& ref = exec_refs_[b];
      if (!ref) return fail(fmt::format("buffer {} has no exec ref", b));
      auto dims = buffer_dims(b);
      if (!dims) return std::unexpected(dims.error());
      Buffer global{std::move(dims->shape), std::move(dims->layout)};
      struct Place {
        Buffers& buffers;
        std::vector<std::optional<Buffer>>& outputs;
        Buffer& global;
        void operator()(const ExecRef::Input&) const { buffers.inputs.push_back(std::move(global)); }
        void operator()(const ExecRef::Intermediate&) const {
          buffers.intermediates.push_back(std::move(global));
        }
        void operator()(const ExecRef::Output& o) const { outputs[o.index] = std::move(global); }
      };
      std::visit(Place{buffers, outputs, global}, ref->value);
    }
    for (std::size_t o = 0; o < outputs.size(); ++o) {
      if (!outputs[o]) return fail(fmt::format("output {} was not lowered", o));
      buffers.outputs.push_back(std::move(*outputs[o]));
    }
    return {};
  }

  Fallible<BoundKernel> lower_kernel(std::size_t k) const {
    KernelState state{program_.graph.nodes[k].value, {}, {}};
    const kp::Kernel& kernel = state.kernel;
    for (const std::vector<BufferId>* list : {&kernel.reads, &kernel.writes}) {
      for (BufferId id : *list) {
        const kp::Buffer& buf = buffer(id);
        if (buf.storage != kp::Storage::Local) continue;
        const bool collected = std::any_of(state.locals.begin(), state.locals.end(),
                                           [&](const auto& local) { return local.first == id; });
        if (collected) continue;
        auto dims = buffer_dims(id.value);
        if (!dims) return std::unexpected(dims.error());
        state.locals.emplace_back(
            id, LocalBuffer{std::move(dims->shape), std::move(dims->layout), buf.storage});
      }
    }
    BindingState binding;
    auto actions = lower_block(state, kernel.body, binding);
    if (!actions) return fail(fmt::format("kernel {} {}", k, actions.error()));

    BoundKernel bound;
    std::size_t readonlys = count_params(kernel.reads);
    for (std::size_t j = 0; j < readonlys; ++j) bound.readonlys.push_back(Param{Arg::Readonly, j});
    std::size_t writeables = count_params(kernel.writes);
    for (std::size_t j = 0; j < writeables; ++j)
      bound.writeables.push_back(Param{Arg::Writeable, j});
    for (auto& local : state.locals) bound.locals.push_back(std::move(local.second));
    bound.execution = std::move(state.execution);
    bound.actions = std::move(*actions);
    return bound;
  }

  std::size_t count_params(const std::vector<BufferId>& ids) const {
    return static_cast<std::size_t>(std::count_if(ids.begin(), ids.end(), [&](BufferId id) {
      return buffer(id).storage != kp::Storage::Local;
    }));
  }

  // The position of `id` among the non-local entries of `ids`, if present.
  std::optional<std::size_t> param_position(const std::vector<BufferId>& ids, BufferId id) const {
    std::size_t position = 0;
    for (BufferId entry : ids) {
      if (entry == id) return position;
      if (buffer(entry).storage != kp::Storage::Local) ++position;
    }
    return std::nullopt;
  }

  Fallible<KernelRef> lower_ref(const KernelState& state, BufferId id) const {
    if (buffer(id).storage == kp::Storage::Local) {
      for (std::size_t p = 0; p < state.locals.size(); ++p) {
        if (state.locals[p].first == id) return local_ref(p);
      }
      return fail(fmt::format("buffer {} is not a kernel local", id.value));
    }
    if (auto p = param_position(state.kernel.reads, id)) return readonly_ref(*p);
    if (auto p = param_position(state.kernel.writes, id)) return writeable_ref(*p);
    return fail(fmt::format("buffer {} is not a kernel parameter", id.value));
  }

  Fallible<Access<KernelRef>> lower_access(const KernelState& state,
                                           const Access<BufferId>& access) const {
    auto ref = lower_ref(state, access.buffer);
    if (!ref) return std::unexpected(ref.error());
    return Access<KernelRef>{access.indexes, *ref};
  }

  Fallible<ScalarExpr<KernelRef>> lower_scale_expr(const KernelState& state,
                                                   const ScalarExpr<BufferId>& expr) const {
    using In = ScalarExpr<BufferId>;
    using Out = ScalarExpr<KernelRef>;
    struct Visitor {
      const Builder& builder;
      const KernelState& state;
      Fallible<Out> operator()(const In::Read& read) const {
        auto access = builder.lower_access(state, read.access);
        if (!access) return std::unexpected(access.error());
        return Out{Out::Read{std::move(*access)}};
      }
      Fallible<Out> operator()(const In::Unary& unary) const {
        auto operand = builder.lower_scale_expr(state, *unary.operand);
        if (!operand) return operand;
        return Out{Out::Unary{unary.op, std::move(*operand)}};
      }
      Fallible<Out> operator()(const In::Binary& binary) const {
        auto lhs = builder.lower_scale_expr(state, *binary.lhs);
        if (!lhs) return lhs;
        auto rhs = builder.lower_scale_expr(state, *binary.rhs);
        if (!rhs) return rhs;
        return Out{Out::Binary{binary.op, std::move(*lhs), std::move(*rhs)}};
      }
    };
    return std::visit(Visitor{*this, state}, expr.value);
  }

  // Lowers `block`'s actions with the block's binding state `binding`.
  Fallible<std::vector<Action<KernelRef>>> lower_block(KernelState& state,
                                                       const Block<BufferId>& block,
                                                       BindingState& binding) const {
    using In = Action<BufferId>;
    using Out = Action<KernelRef>;
    std::vector<Out> out;
    for (const In& action : block.actions) {
      struct Visitor {
        const Builder& builder;
        KernelState& state;
        const Block<BufferId>& block;
        BindingState& binding;
        std::vector<Out>& out;
        Fallible<void> operator()(const In::Loop& loop) const {
          return builder.lower_loop(state, block, loop, binding, out);
        }
        Fallible<void> operator()(const In::Init& init) const {
          auto write = builder.lower_access(state, init.write);
          if (!write) return std::unexpected(write.error());
          out.push_back(Out{Out::Init{std::move(*write), init.zero_check, init.op}});
          return {};
        }
        Fallible<void> operator()(const In::Compute& compute) const {
          auto write = builder.lower_access(state, compute.write);
          if (!write) return std::unexpected(write.error());
          std::vector<Access<KernelRef>> reads;
          for (const Access<BufferId>& read : compute.reads) {
            auto lowered = builder.lower_access(state, read);
            if (!lowered) return std::unexpected(lowered.error());
            reads.push_back(std::move(*lowered));
          }
          out.push_back(Out{Out::Compute{std::move(*write), std::move(reads), compute.op}});
          return {};
        }
        Fallible<void> operator()(const In::Snapshot& snapshot) const {
          auto write = builder.lower_access(state, snapshot.write);
          if (!write) return std::unexpected(write.error());
          auto read = builder.lower_access(state, snapshot.read);
          if (!read) return std::unexpected(read.error());
          out.push_back(Out{Out::Snapshot{std::move(*write), std::move(*read)}});
          return {};
        }
        Fallible<void> operator()(const In::Scale& scale) const {
          auto write = builder.lower_access(state, scale.write);
          if (!write) return std::unexpected(write.error());
          auto factor = builder.lower_scale_expr(state, scale.factor);
          if (!factor) return std::unexpected(factor.error());
          out.push_back(Out{Out::Scale{std::move(*write), std::move(*factor)}});
          return {};
        }
      };
      if (auto r = std::visit(Visitor{*this, state, block, binding, out}, action.value); !r)
        return std::unexpected(r.error());
    }
    return out;
  }

  // A parallel loop becomes an execution dimension only when it is the one
  // action of its block and every enclosing block is the body of a bound
  // loop (`binding.enabled`). The grid encloses the whole kernel body, so
  // binding a loop that has siblings would run those siblings once per grid
  // position: on the GPU, concurrently, racing on what they write.
  //
  // A loop whose key (its extent's dim) is already recorded in its class
  // cannot become the next execution dimension: an enclosing bound loop
  // took that position (in `ij * jk ~ ijk`, j and k both iterate dim 1 of
  // their operands). Binding stops there; the loop and everything inside
  // it stay serial loops, which compute the same values.
  Fallible<void> lower_loop(KernelState& state, const Block<BufferId>& block,
                            const Action<BufferId>::Loop& loop, BindingState& binding,
                            std::vector<Action<KernelRef>>& out) const {
    const bool group_class = std::holds_alternative<ir::common::Base>(loop.extent.kind);
    std::optional<std::size_t> position;
    if (loop.parallel && binding.enabled && block.actions.size() == 1) {
      auto& keys = group_class ? binding.group_keys : binding.lane_keys;
      const auto& dims = group_class ? state.execution.group : state.execution.lane;
      if (auto found = keys.find(loop.extent.dim); found != keys.end()) {
        if (found->second == dims.size())
          position = found->second;
        else
          binding.enabled = false;
      } else if (keys.size() <= 2) {
        position = keys.size();
        keys.emplace(loop.extent.dim, *position);
      } else {
        binding.enabled = false;
      }
    }
    BindingState inner = binding;
    if (!position) inner.enabled = false;

    auto source = lower_ref(state, loop.extent.source);
    if (!source) return std::unexpected(source.error());
    Extent<KernelRef> extent{*source, loop.extent.dim, loop.extent.kind};

    if (position) {
      auto& dims = group_class ? state.execution.group : state.execution.lane;
      if (auto r = push_execution_dim(dims, *position, ExecutionDim{extent, loop.id, loop.guard});
          !r)
        return r;
      auto body = lower_block(state, loop.body, inner);
      if (!body) return std::unexpected(body.error());
      for (auto& action : *body) out.push_back(std::move(action));
      return {};
    }
    auto body = lower_block(state, loop.body, inner);
    if (!body) return std::unexpected(body.error());
    out.push_back(Action<KernelRef>{Action<KernelRef>::Loop{
        Block<KernelRef>{std::move(*body)}, std::move(extent), loop.id, false, loop.guard}});
    return {};
  }

  Fallible<std::vector<ExecRef>> dispatch_refs(const std::vector<BufferId>& ids) const {
    std::vector<ExecRef> refs;
    for (BufferId id : ids) {
      if (buffer(id).storage == kp::Storage::Local) continue;
      const std::optional<ExecRef>& ref = exec_refs_[id.value];
      if (!ref) return fail(fmt::format("buffer {} has no exec ref", id.value));
      refs.push_back(*ref);
    }
    return refs;
  }

  // Every global intermediate lives for the whole execution.
  Fallible<std::vector<Step>> build_steps() const {
    const auto intermediates = static_cast<std::size_t>(std::count_if(
        program_.buffers.begin(), program_.buffers.end(),
        [&](const kp::Buffer& b) { return is_global_intermediate(b); }));
    std::vector<Step> steps;
    for (std::size_t n = 0; n < intermediates; ++n) steps.push_back(Step{Step::Alloc{n}});
    for (std::size_t k = 0; k < program_.graph.nodes.size(); ++k) {
      const kp::Kernel& kernel = program_.graph.nodes[k].value;
      auto reads = dispatch_refs(kernel.reads);
      if (!reads) return std::unexpected(reads.error());
      auto writes = dispatch_refs(kernel.writes);
      if (!writes) return std::unexpected(writes.error());
      steps.push_back(Step{Dispatch{k, std::move(*reads), std::move(*writes)}});
    }
    for (std::size_t n = intermediates; n-- > 0;) steps.push_back(Step{Step::Free{n}});
    return steps;
  }

  const kp::KernelProgram& program_;
  std::vector<std::optional<ExecRef>> exec_refs_;
};

}  // namespace

LowerResult<ExecPlan> lower_kernel_program_to_exec_plan(const kp::KernelProgram& program) {
  return Builder(program).build();
}

}  // namespace compiler::lower::kernel_program_to_exec_plan
