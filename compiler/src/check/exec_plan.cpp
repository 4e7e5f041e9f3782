#include "check/exec_plan.h"

#include <fmt/format.h>

#include <variant>

namespace compiler::check::exec_plan {

using namespace ir::exec_plan;

namespace {

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected(std::move(message));
}

// The shape and storage layout of the buffer a reference resolves to.
struct Resolved {
  const Shape* shape = nullptr;
  const std::vector<Extent<Input>>* layout = nullptr;
};

template <class B>
Resolved resolved(const B& buffer) {
  return Resolved{&buffer.shape, &buffer.layout};
}

std::expected<Resolved, std::string> resolve_exec_ref(const ExecPlan& plan, const ExecRef& ref) {
  struct Visitor {
    const Buffers& buffers;
    std::expected<Resolved, std::string> operator()(const ExecRef::Input& r) const {
      if (r.index >= buffers.inputs.size())
        return fail(fmt::format("references nonexistent input {}", r.index));
      return resolved(buffers.inputs[r.index]);
    }
    std::expected<Resolved, std::string> operator()(const ExecRef::Intermediate& r) const {
      if (r.index >= buffers.intermediates.size())
        return fail(fmt::format("references nonexistent intermediate {}", r.index));
      return resolved(buffers.intermediates[r.index]);
    }
    std::expected<Resolved, std::string> operator()(const ExecRef::Output& r) const {
      if (r.index >= buffers.outputs.size())
        return fail(fmt::format("references nonexistent output {}", r.index));
      return resolved(buffers.outputs[r.index]);
    }
  };
  return std::visit(Visitor{plan.buffers}, ref.value);
}

// The bound exec ref of a parameter, or the failure of a parameter index
// that the dispatch does not bind.
std::expected<const ExecRef*, std::string> bound_param(const Param& param, const Refs& reads,
                                                       const Refs& writes) {
  switch (param.arg) {
    case Arg::Writeable:
      if (param.ind >= writes.size())
        return fail(fmt::format("references nonexistent writeable {}", param.ind));
      return &writes[param.ind];
    case Arg::Readonly:
      if (param.ind >= reads.size())
        return fail(fmt::format("references nonexistent readonly {}", param.ind));
      return &reads[param.ind];
  }
  return fail("unknown parameter class");
}

std::expected<Resolved, std::string> resolve(const ExecPlan& plan,
                                             const std::vector<LocalBuffer>& locals,
                                             const Refs& reads, const Refs& writes,
                                             const KernelRef& ref) {
  struct Visitor {
    const ExecPlan& plan;
    const std::vector<LocalBuffer>& locals;
    const Refs& reads;
    const Refs& writes;
    std::expected<Resolved, std::string> operator()(const Local& local) const {
      if (local.index >= locals.size())
        return fail(fmt::format("references nonexistent local {}", local.index));
      return resolved(locals[local.index]);
    }
    std::expected<Resolved, std::string> operator()(const Param& param) const {
      auto exec_ref = bound_param(param, reads, writes);
      if (!exec_ref) return std::unexpected(exec_ref.error());
      return resolve_exec_ref(plan, **exec_ref);
    }
  };
  return std::visit(Visitor{plan, locals, reads, writes}, ref.value);
}

Result check_input_dim(const ExecPlan& plan, std::size_t input, std::size_t dim) {
  if (input >= plan.buffers.inputs.size())
    return fail(fmt::format("references nonexistent input {}", input));
  if (dim >= plan.buffers.inputs[input].shape.dims.size())
    return fail(fmt::format("references nonexistent dim {} of input {}", dim, input));
  return {};
}

// Shape, then layout, of a global or local buffer against the program
// inputs; `what` is its name in the message ("input 0", "local 2").
template <class B>
Result check_buffer_dims(const ExecPlan& plan, const B& buffer, const std::string& what) {
  for (const ShapeDim& dim : buffer.shape.dims) {
    if (auto r = check_input_dim(plan, dim.input, dim.dim); !r)
      return fail(fmt::format("{} shape {}", what, r.error()));
  }
  for (const Extent<Input>& dim : buffer.layout) {
    if (auto r = check_input_dim(plan, dim.source.value, dim.dim); !r)
      return fail(fmt::format("{} layout {}", what, r.error()));
  }
  return {};
}

Result check_loop_ref(const LoopIds& loops, const LoopIds& scope, std::size_t id) {
  if (!loops.contains(id)) return fail(fmt::format("references nonexistent loop {}", id));
  if (!scope.contains(id)) return fail(fmt::format("references loop {} outside scope", id));
  return {};
}

Result check_iter(const LoopIds& loops, const LoopIds& scope, const Iter& iter) {
  struct Visitor {
    const LoopIds& loops;
    const LoopIds& scope;
    Result operator()(const Iter::Loop& loop) const { return check_loop_ref(loops, scope, loop.id); }
    Result operator()(const Iter::Reconstructed& rec) const {
      if (rec.loops.empty()) return fail("reconstructed iterator has no loops");
      if (rec.loops.size() != rec.factors.size() + 1)
        return fail(fmt::format("reconstructed iterator has {} loops and {} factors",
                                rec.loops.size(), rec.factors.size()));
      for (std::size_t id : rec.loops) {
        if (auto r = check_loop_ref(loops, scope, id); !r) return r;
      }
      return {};
    }
  };
  return std::visit(Visitor{loops, scope}, iter.value);
}

Result check_global_buffers(const ExecPlan& plan) {
  const Buffers& buffers = plan.buffers;
  for (std::size_t b = 0; b < buffers.inputs.size(); ++b) {
    if (auto r = check_buffer_dims(plan, buffers.inputs[b], fmt::format("input {}", b)); !r)
      return r;
  }
  for (std::size_t b = 0; b < buffers.intermediates.size(); ++b) {
    if (auto r = check_buffer_dims(plan, buffers.intermediates[b],
                                   fmt::format("intermediate {}", b));
        !r)
      return r;
  }
  for (std::size_t b = 0; b < buffers.outputs.size(); ++b) {
    if (auto r = check_buffer_dims(plan, buffers.outputs[b], fmt::format("output {}", b)); !r)
      return r;
    if (plan.shapes[b] != buffers.outputs[b].shape)
      return fail(fmt::format("output {} public shape differs from buffer shape", b));
  }
  return {};
}

// Everything of one kernel that does not depend on a dispatch's bindings.
Result check_kernel_alone(const ExecPlan& plan, const BoundKernel& kernel) {
  for (std::size_t j = 0; j < kernel.readonlys.size(); ++j) {
    const Param& param = kernel.readonlys[j];
    if (param != Param{Arg::Readonly, j})
      return fail(fmt::format("read {} is {}", j, debug_string(param)));
  }
  for (std::size_t j = 0; j < kernel.writeables.size(); ++j) {
    const Param& param = kernel.writeables[j];
    if (param != Param{Arg::Writeable, j})
      return fail(fmt::format("write {} is {}", j, debug_string(param)));
  }
  for (std::size_t l = 0; l < kernel.locals.size(); ++l) {
    const LocalBuffer& local = kernel.locals[l];
    if (local.storage == Storage::Global) return fail(fmt::format("local {} is global", l));
    if (auto r = check_buffer_dims(plan, local, fmt::format("local {}", l)); !r) return r;
  }
  LoopIds loops;
  if (auto r = validate_execution(kernel, loops); !r)
    return fail(fmt::format("execution {}", r.error()));
  return collect_loop_ids(kernel.actions, loops);
}

Result check_dispatch(const ExecPlan& plan, const Dispatch& dispatch,
                      const std::set<std::size_t>& allocated) {
  const BoundKernel& kernel = plan.kernels[dispatch.kernel];
  if (dispatch.reads.size() != kernel.readonlys.size())
    return fail(fmt::format("kernel {} has {} reads but dispatch binds {}", dispatch.kernel,
                            kernel.readonlys.size(), dispatch.reads.size()));
  if (dispatch.writes.size() != kernel.writeables.size())
    return fail(fmt::format("kernel {} has {} writes but dispatch binds {}", dispatch.kernel,
                            kernel.writeables.size(), dispatch.writes.size()));
  for (const Refs* refs : {&dispatch.reads, &dispatch.writes}) {
    for (const ExecRef& ref : *refs) {
      if (auto r = resolve_exec_ref(plan, ref); !r) return std::unexpected(r.error());
      if (const auto* inter = std::get_if<ExecRef::Intermediate>(&ref.value);
          inter && !allocated.contains(inter->index))
        return fail(fmt::format("references unallocated intermediate {}", inter->index));
    }
  }
  LoopIds loops;
  if (auto r = validate_execution(kernel, loops); !r) return r;
  const Refs& reads = dispatch.reads;
  const Refs& writes = dispatch.writes;
  for (std::size_t g = 0; g < kernel.execution.group.size(); ++g) {
    if (auto r = validate_ref_dim(plan, kernel.locals, reads, writes,
                                  kernel.execution.group[g].extent);
        !r)
      return fail(fmt::format("group dim {} extent {}", g, r.error()));
  }
  for (std::size_t l = 0; l < kernel.execution.lane.size(); ++l) {
    if (auto r = validate_ref_dim(plan, kernel.locals, reads, writes,
                                  kernel.execution.lane[l].extent);
        !r)
      return fail(fmt::format("lane dim {} extent {}", l, r.error()));
  }
  // The execution dimensions enclose the whole body.
  const LoopIds scope = loops;
  if (auto r = collect_loop_ids(kernel.actions, loops); !r) return r;
  return validate_block(plan, kernel, reads, writes, loops, scope, kernel.actions);
}

Result check_steps(const ExecPlan& plan) {
  std::set<std::size_t> allocated;
  std::set<std::size_t> dispatched;
  const std::size_t intermediates = plan.buffers.intermediates.size();
  for (std::size_t s = 0; s < plan.exec.steps.size(); ++s) {
    struct Visitor {
      const ExecPlan& plan;
      std::size_t s;
      std::size_t intermediates;
      std::set<std::size_t>& allocated;
      std::set<std::size_t>& dispatched;
      Result operator()(const Step::Alloc& alloc) const {
        const std::size_t n = alloc.intermediate;
        if (n >= intermediates)
          return fail(
              fmt::format("step {} alloc references nonexistent intermediate {}", s, n));
        if (!allocated.insert(n).second)
          return fail(fmt::format("step {} alloc repeats intermediate {}", s, n));
        return {};
      }
      Result operator()(const Step::Free& free) const {
        const std::size_t n = free.intermediate;
        if (n >= intermediates)
          return fail(fmt::format("step {} free references nonexistent intermediate {}", s, n));
        if (allocated.erase(n) == 0)
          return fail(fmt::format("step {} free intermediate {} is not allocated", s, n));
        return {};
      }
      Result operator()(const Dispatch& dispatch) const {
        const std::size_t k = dispatch.kernel;
        if (k >= plan.kernels.size())
          return fail(fmt::format("step {} dispatch references nonexistent kernel {}", s, k));
        if (!dispatched.insert(k).second)
          return fail(fmt::format("step {} dispatch repeats kernel {}", s, k));
        if (auto r = check_dispatch(plan, dispatch, allocated); !r)
          return fail(fmt::format("step {} dispatch {}", s, r.error()));
        return {};
      }
    };
    if (auto r = std::visit(Visitor{plan, s, intermediates, allocated, dispatched},
                            plan.exec.steps[s].value);
        !r)
      return r;
  }
  for (std::size_t k = 0; k < plan.kernels.size(); ++k) {
    if (!dispatched.contains(k)) return fail(fmt::format("kernel {} is not dispatched", k));
  }
  if (!allocated.empty())
    return fail(fmt::format("intermediate {} remains allocated", *allocated.begin()));
  return {};
}

struct ActionChecker {
  const ExecPlan& plan;
  const BoundKernel& kernel;
  const Refs& reads;
  const Refs& writes;
  const LoopIds& loops;
  const LoopIds& scope;

  Result write(const Access<KernelRef>& access) const {
    return validate_write_access(plan, kernel.locals, reads, writes, loops, scope, access);
  }
  Result read(const Access<KernelRef>& access) const {
    return validate_access(plan, kernel.locals, reads, writes, loops, scope, access);
  }

  Result operator()(const Action<KernelRef>::Loop& loop) const {
    if (loop.parallel) return fail(fmt::format("loop {} is not serial", loop.id));
    if (auto r = validate_ref_dim(plan, kernel.locals, reads, writes, loop.extent); !r)
      return fail(fmt::format("loop {} extent {}", loop.id, r.error()));
    LoopIds inner = scope;
    inner.insert(loop.id);
    return validate_block(plan, kernel, reads, writes, loops, inner, loop.body.actions);
  }
  Result operator()(const Action<KernelRef>::Init& init) const {
    if (auto r = write(init.write); !r) return fail(fmt::format("init {}", r.error()));
    for (std::size_t id : init.zero_check) {
      if (auto r = check_loop_ref(loops, scope, id); !r)
        return fail(fmt::format("init zero check {}", r.error()));
    }
    return {};
  }
  Result operator()(const Action<KernelRef>::Compute& compute) const {
    if (auto r = write(compute.write); !r)
      return fail(fmt::format("compute write {}", r.error()));
    for (std::size_t j = 0; j < compute.reads.size(); ++j) {
      if (auto r = read(compute.reads[j]); !r)
        return fail(fmt::format("compute read {} {}", j, r.error()));
    }
    return {};
  }
  Result operator()(const Action<KernelRef>::Snapshot& snapshot) const {
    if (auto r = write(snapshot.write); !r)
      return fail(fmt::format("snapshot write {}", r.error()));
    if (auto r = read(snapshot.read); !r) return fail(fmt::format("snapshot read {}", r.error()));
    return {};
  }
  Result operator()(const Action<KernelRef>::Scale& scale) const {
    if (auto r = write(scale.write); !r) return fail(fmt::format("scale write {}", r.error()));
    if (auto r = validate_scale_expr(plan, kernel.locals, reads, writes, loops, scope,
                                     scale.factor);
        !r)
      return fail(fmt::format("scale factor {}", r.error()));
    return {};
  }
};

}  // namespace

Result validate_exec_plan(const ExecPlan& plan) {
  if (plan.count != plan.ranks.size())
    return fail(
        fmt::format("count is {} but ranks has {} entries", plan.count, plan.ranks.size()));
  if (plan.count != plan.shapes.size())
    return fail(
        fmt::format("count is {} but shapes has {} entries", plan.count, plan.shapes.size()));
  if (plan.count != plan.buffers.outputs.size())
    return fail(fmt::format("count is {} but outputs has {} entries", plan.count,
                            plan.buffers.outputs.size()));
  for (std::size_t i = 0; i < plan.count; ++i) {
    if (plan.ranks[i] != plan.shapes[i].dims.size())
      return fail(fmt::format("output {} rank is {} but shape has {} dims", i, plan.ranks[i],
                              plan.shapes[i].dims.size()));
  }
  if (auto r = check_global_buffers(plan); !r) return r;
  for (std::size_t k = 0; k < plan.kernels.size(); ++k) {
    if (auto r = check_kernel_alone(plan, plan.kernels[k]); !r)
      return fail(fmt::format("kernel {} {}", k, r.error()));
  }
  return check_steps(plan);
}

Result validate_execution(const BoundKernel& kernel, LoopIds& loops) {
  const ExecutionShape& execution = kernel.execution;
  if (execution.group.size() > 3)
    return fail(fmt::format("has {} group dims", execution.group.size()));
  if (execution.lane.size() > 3)
    return fail(fmt::format("has {} lane dims", execution.lane.size()));
  for (std::size_t g = 0; g < execution.group.size(); ++g) {
    const std::size_t id = execution.group[g].loop_id;
    if (!loops.insert(id).second)
      return fail(fmt::format("group dim {} repeats loop id {}", g, id));
  }
  for (std::size_t l = 0; l < execution.lane.size(); ++l) {
    const std::size_t id = execution.lane[l].loop_id;
    if (!loops.insert(id).second)
      return fail(fmt::format("lane dim {} repeats loop id {}", l, id));
  }
  return {};
}

Result collect_loop_ids(const std::vector<Action<KernelRef>>& actions, LoopIds& loops) {
  for (const Action<KernelRef>& action : actions) {
    const auto* loop = std::get_if<Action<KernelRef>::Loop>(&action.value);
    if (loop == nullptr) continue;
    if (!loops.insert(loop->id).second)
      return fail(fmt::format("loop id {} is repeated", loop->id));
    if (auto r = collect_loop_ids(loop->body.actions, loops); !r) return r;
  }
  return {};
}

Result validate_block(const ExecPlan& plan, const BoundKernel& kernel, const Refs& reads,
                      const Refs& writes, const LoopIds& loops, const LoopIds& scope,
                      const std::vector<Action<KernelRef>>& actions) {
  const ActionChecker checker{plan, kernel, reads, writes, loops, scope};
  for (const Action<KernelRef>& action : actions) {
    if (auto r = std::visit(checker, action.value); !r) return r;
  }
  return {};
}

Result validate_access(const ExecPlan& plan, const std::vector<LocalBuffer>& locals,
                       const Refs& reads, const Refs& writes, const LoopIds& loops,
                       const LoopIds& scope, const Access<KernelRef>& access) {
  auto buffer = resolve(plan, locals, reads, writes, access.buffer);
  if (!buffer) return std::unexpected(buffer.error());
  if (access.indexes.size() != buffer->layout->size())
    return fail(fmt::format("access has {} indexes for layout rank {}", access.indexes.size(),
                            buffer->layout->size()));
  for (const Iter& iter : access.indexes) {
    if (auto r = check_iter(loops, scope, iter); !r) return r;
  }
  return {};
}

Result validate_write_access(const ExecPlan& plan, const std::vector<LocalBuffer>& locals,
                             const Refs& reads, const Refs& writes, const LoopIds& loops,
                             const LoopIds& scope, const Access<KernelRef>& access) {
  if (const auto* param = std::get_if<Param>(&access.buffer.value)) {
    if (auto r = bound_param(*param, reads, writes); !r) return std::unexpected(r.error());
    if (param->arg == Arg::Readonly)
      return fail(fmt::format("writes {} outside writeables", debug_string(access.buffer)));
  } else if (auto r = resolve(plan, locals, reads, writes, access.buffer); !r) {
    return std::unexpected(r.error());
  }
  return validate_access(plan, locals, reads, writes, loops, scope, access);
}

Result validate_ref_dim(const ExecPlan& plan, const std::vector<LocalBuffer>& locals,
                        const Refs& reads, const Refs& writes, const Extent<KernelRef>& extent) {
  auto buffer = resolve(plan, locals, reads, writes, extent.source);
  if (!buffer) return std::unexpected(buffer.error());
  if (extent.dim >= buffer->shape->dims.size())
    return fail(fmt::format("references nonexistent dim {} of {}", extent.dim,
                            debug_string(extent.source)));
  return {};
}

Result validate_scale_expr(const ExecPlan& plan, const std::vector<LocalBuffer>& locals,
                           const Refs& reads, const Refs& writes, const LoopIds& loops,
                           const LoopIds& scope, const ScalarExpr<KernelRef>& expr) {
  using Expr = ScalarExpr<KernelRef>;
  struct Visitor {
    const ExecPlan& plan;
    const std::vector<LocalBuffer>& locals;
    const Refs& reads;
    const Refs& writes;
    const LoopIds& loops;
    const LoopIds& scope;
    Result operator()(const Expr::Read& read) const {
      return validate_access(plan, locals, reads, writes, loops, scope, read.access);
    }
    Result operator()(const Expr::Unary& unary) const {
      return validate_scale_expr(plan, locals, reads, writes, loops, scope, *unary.operand);
    }
    Result operator()(const Expr::Binary& binary) const {
      if (auto r = validate_scale_expr(plan, locals, reads, writes, loops, scope, *binary.lhs);
          !r)
        return r;
      return validate_scale_expr(plan, locals, reads, writes, loops, scope, *binary.rhs);
    }
  };
  return std::visit(Visitor{plan, locals, reads, writes, loops, scope}, expr.value);
}

}  // namespace compiler::check::exec_plan
