#include "check/kernel_program.h"

#include "check/graph.h"

#include <fmt/format.h>
#include <algorithm>
#include <variant>
#include <vector>

namespace compiler::check::kernel_program {

using namespace ir::kernel_program;

namespace {

using Id = BufferId;

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected(std::move(message));
}

bool contains(const std::vector<Id>& ids, Id id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

bool is_param(const Kernel& kernel, Id id) {
  return contains(kernel.reads, id) || contains(kernel.writes, id);
}

// A dimension reference (shape or layout) to `buffer`'s dimension `dim`.
Result check_dim_ref(const KernelProgram& program, Id buffer, std::size_t dim) {
  if (buffer.value >= program.buffers.size())
    return fail(fmt::format("references nonexistent buffer {}", buffer.value));
  const std::size_t rank = program.buffers[buffer.value].shape.size();
  if (dim >= rank)
    return fail(fmt::format("references nonexistent dim {} of buffer {}", dim, buffer.value));
  return {};
}

Result check_buffer(const KernelProgram& program, std::size_t b) {
  const Buffer& buffer = program.buffers[b];
  if (buffer.kind == BufferKind::Input && buffer.storage != Storage::Global)
    return fail(fmt::format("buffer {} input buffer must be global", b));
  if (buffer.kind == BufferKind::Output && buffer.storage != Storage::Global)
    return fail(fmt::format("buffer {} output buffer must be global", b));
  for (const BufferDim& dim : buffer.shape) {
    if (auto r = check_dim_ref(program, dim.buffer, dim.dim); !r)
      return fail(fmt::format("buffer {} shape {}", b, r.error()));
  }
  for (const Extent<Id>& dim : buffer.layout.dims) {
    if (auto r = check_dim_ref(program, dim.source, dim.dim); !r)
      return fail(fmt::format("buffer {} layout {}", b, r.error()));
  }
  return {};
}

// The check shared by the write access of every statement: existence, then
// coordinates, then membership in the kernel's writes.
Result check_write(std::size_t buffer_count, const Kernel& kernel, const LoopIds& loops,
                   const LoopIds& scope, const Access<Id>& access) {
  if (access.buffer.value >= buffer_count)
    return fail(fmt::format("references nonexistent buffer {}", access.buffer.value));
  for (const Iter& iter : access.indexes) {
    if (auto r = validate_iter(loops, scope, iter); !r) return r;
  }
  if (!contains(kernel.writes, access.buffer))
    return fail(fmt::format("writes buffer {} outside writeables", access.buffer.value));
  return {};
}

Result check_loop_ref(const LoopIds& loops, const LoopIds& scope, std::size_t id) {
  if (!loops.contains(id)) return fail(fmt::format("references nonexistent loop {}", id));
  if (!scope.contains(id)) return fail(fmt::format("references loop {} outside scope", id));
  return {};
}

struct ActionChecker {
  const KernelProgram& program;
  const Kernel& kernel;
  const LoopIds& loops;
  const LoopIds& scope;

  std::size_t buffer_count() const { return program.buffers.size(); }

  Result operator()(const Action<Id>::Loop& loop) const {
    const Extent<Id>& extent = loop.extent;
    Result r = check_dim_ref(program, extent.source, extent.dim);
    if (r && !is_param(kernel, extent.source))
      r = fail(fmt::format("references buffer {} outside params", extent.source.value));
    if (!r) return fail(fmt::format("loop {} extent {}", loop.id, r.error()));
    LoopIds inner = scope;
    inner.insert(loop.id);
    return validate_block(program, kernel, loops, inner, loop.body);
  }

  Result operator()(const Action<Id>::Init& init) const {
    if (auto r = check_write(buffer_count(), kernel, loops, scope, init.write); !r)
      return fail(fmt::format("init {}", r.error()));
    for (std::size_t id : init.zero_check) {
      if (auto r = check_loop_ref(loops, scope, id); !r)
        return fail(fmt::format("init zero check {}", r.error()));
    }
    return {};
  }

  Result operator()(const Action<Id>::Compute& compute) const {
    if (auto r = check_write(buffer_count(), kernel, loops, scope, compute.write); !r)
      return fail(fmt::format("compute write {}", r.error()));
    for (std::size_t j = 0; j < compute.reads.size(); ++j) {
      if (auto r = validate_access(buffer_count(), kernel, loops, scope, compute.reads[j]); !r)
        return fail(fmt::format("compute read {} {}", j, r.error()));
    }
    return {};
  }

  Result operator()(const Action<Id>::Snapshot& snapshot) const {
    if (auto r = check_write(buffer_count(), kernel, loops, scope, snapshot.write); !r)
      return fail(fmt::format("snapshot write {}", r.error()));
    if (auto r = validate_access(buffer_count(), kernel, loops, scope, snapshot.read); !r)
      return fail(fmt::format("snapshot read {}", r.error()));
    return {};
  }

  Result operator()(const Action<Id>::Scale& scale) const {
    if (auto r = check_write(buffer_count(), kernel, loops, scope, scale.write); !r)
      return fail(fmt::format("scale write {}", r.error()));
    if (auto r = validate_scale_expr(buffer_count(), kernel, loops, scope, scale.factor); !r)
      return fail(fmt::format("scale factor {}", r.error()));
    return {};
  }
};

}  // namespace

Result validate_kernel_program(const KernelProgram& program) {
  const std::size_t n = program.buffers.size();
  for (std::size_t b = 0; b < n; ++b) {
    if (auto r = check_buffer(program, b); !r) return r;
  }
  for (Id output : program.outputs) {
    if (output.value >= n)
      return fail(fmt::format("output references nonexistent buffer {}", output.value));
  }
  auto check_kernel = [&](const Kernel& kernel) { return validate_kernel(program, kernel); };
  if (auto r = graph::validate_graph(program.graph, check_kernel); !r) return r;
  if (program.graph.inputs.size() > n)
    return fail(fmt::format("graph has {} inputs for {} buffers", program.graph.inputs.size(), n));
  for (std::size_t i = 0; i < program.graph.nodes.size(); ++i) {
    const auto& node = program.graph.nodes[i];
    if (node.inputs.size() != node.value.reads.size())
      return fail(fmt::format("node {}: graph has {} inputs for {} kernel reads", i,
                              node.inputs.size(), node.value.reads.size()));
    if (node.output_count != node.value.writes.size())
      return fail(fmt::format("node {}: graph has {} outputs for {} kernel writes", i,
                              node.output_count, node.value.writes.size()));
  }
  return {};
}

Result validate_kernel(const KernelProgram& program, const Kernel& kernel) {
  const std::size_t n = program.buffers.size();
  std::set<Id> reads;
  for (Id id : kernel.reads) {
    if (id.value >= n) return fail(fmt::format("read references nonexistent buffer {}", id.value));
    if (!reads.insert(id).second) return fail(fmt::format("read repeats buffer {}", id.value));
  }
  std::set<Id> writes;
  for (Id id : kernel.writes) {
    if (id.value >= n) return fail(fmt::format("write references nonexistent buffer {}", id.value));
    if (!writes.insert(id).second) return fail(fmt::format("write repeats buffer {}", id.value));
    if (reads.contains(id))
      return fail(fmt::format("buffer {} is both read and written", id.value));
  }
  LoopIds loops;
  if (auto r = collect_loop_ids(kernel.body, loops); !r) return r;
  return validate_block(program, kernel, loops, LoopIds{}, kernel.body);
}

Result validate_block(const KernelProgram& program, const Kernel& kernel, const LoopIds& loops,
                      const LoopIds& scope, const Block<Id>& block) {
  const ActionChecker checker{program, kernel, loops, scope};
  for (const Action<Id>& action : block.actions) {
    if (auto r = std::visit(checker, action.value); !r) return r;
  }
  return {};
}

Result validate_access(std::size_t buffer_count, const Kernel& kernel, const LoopIds& loops,
                       const LoopIds& scope, const Access<Id>& access) {
  if (!is_param(kernel, access.buffer))
    return fail(fmt::format("references buffer {} outside params", access.buffer.value));
  if (access.buffer.value >= buffer_count)
    return fail(fmt::format("references nonexistent buffer {}", access.buffer.value));
  for (const Iter& iter : access.indexes) {
    if (auto r = validate_iter(loops, scope, iter); !r) return r;
  }
  return {};
}

Result validate_iter(const LoopIds& loops, const LoopIds& scope, const Iter& iter) {
  if (const auto* loop = std::get_if<Iter::Loop>(&iter.value))
    return check_loop_ref(loops, scope, loop->id);
  const auto& rec = std::get<Iter::Reconstructed>(iter.value);
  if (rec.loops.empty()) return fail("reconstructed iterator has no loops");
  if (rec.loops.size() != rec.factors.size() + 1)
    return fail(fmt::format("reconstructed iterator has {} loops and {} factors", rec.loops.size(),
                            rec.factors.size()));
  for (std::size_t id : rec.loops) {
    if (auto r = check_loop_ref(loops, scope, id); !r) return r;
  }
  return {};
}

Result validate_scale_expr(std::size_t buffer_count, const Kernel& kernel, const LoopIds& loops,
                           const LoopIds& scope, const ScalarExpr<Id>& expr) {
  struct Visitor {
    std::size_t buffer_count;
    const Kernel& kernel;
    const LoopIds& loops;
    const LoopIds& scope;
    Result operator()(const ScalarExpr<Id>::Read& read) const {
      return validate_access(buffer_count, kernel, loops, scope, read.access);
    }
    Result operator()(const ScalarExpr<Id>::Unary& unary) const {
      return validate_scale_expr(buffer_count, kernel, loops, scope, *unary.operand);
    }
    Result operator()(const ScalarExpr<Id>::Binary& binary) const {
      if (auto r = validate_scale_expr(buffer_count, kernel, loops, scope, *binary.lhs); !r)
        return r;
      return validate_scale_expr(buffer_count, kernel, loops, scope, *binary.rhs);
    }
  };
  return std::visit(Visitor{buffer_count, kernel, loops, scope}, expr.value);
}

Result collect_loop_ids(const Block<Id>& block, LoopIds& ids) {
  for (const Action<Id>& action : block.actions) {
    const auto* loop = std::get_if<Action<Id>::Loop>(&action.value);
    if (loop == nullptr) continue;
    if (!ids.insert(loop->id).second) return fail(fmt::format("loop id {} is repeated", loop->id));
    if (auto r = collect_loop_ids(loop->body, ids); !r) return r;
  }
  return {};
}

}  // namespace compiler::check::kernel_program
