// Checks a kernel program, stopping at the first failure. In order:
//   1. each buffer: input and output buffers are global; every shape and
//      layout dimension names an existing buffer and one of its dimensions;
//   2. each program output names an existing buffer;
//   3. the kernel graph: per node, the kernel itself (reads and writes exist,
//      do not repeat and are disjoint; loop ids are unique; every access,
//      loop extent and zero check is in range, in scope and a parameter of
//      the kernel, writes going to written buffers), then its sources; then
//      the graph outputs;
//   4. there are no more graph inputs than buffers;
//   5. each node has one source per kernel read and one output per write.
// Inner messages are placed unchanged into the template of their owner
// ("node 2: compute read 1 references buffer 7 outside params").
#pragma once

#include <cstddef>
#include <expected>
#include <set>
#include <string>

#include "ir/kernel_program.h"

namespace compiler::check::kernel_program {

using Result = std::expected<void, std::string>;
using LoopIds = std::set<std::size_t>;

Result validate_kernel_program(const ir::kernel_program::KernelProgram& program);

Result validate_kernel(const ir::kernel_program::KernelProgram& program,
                       const ir::kernel_program::Kernel& kernel);

// `loops`: every loop id of the kernel; `scope`: the ids of the loops that
// enclose `block`.
Result validate_block(const ir::kernel_program::KernelProgram& program,
                      const ir::kernel_program::Kernel& kernel, const LoopIds& loops,
                      const LoopIds& scope,
                      const ir::kernel_program::Block<ir::kernel_program::BufferId>& block);

// One read access.
Result validate_access(std::size_t buffer_count, const ir::kernel_program::Kernel& kernel,
                       const LoopIds& loops, const LoopIds& scope,
                       const ir::kernel_program::Access<ir::kernel_program::BufferId>& access);

Result validate_iter(const LoopIds& loops, const LoopIds& scope,
                     const ir::kernel_program::Iter& iter);

Result validate_scale_expr(
    std::size_t buffer_count, const ir::kernel_program::Kernel& kernel, const LoopIds& loops,
    const LoopIds& scope, const ir::kernel_program::ScalarExpr<ir::kernel_program::BufferId>& expr);

// Adds the id of every loop of `block`, recursively, to `ids`; fails on an id
// that is already there.
Result collect_loop_ids(const ir::kernel_program::Block<ir::kernel_program::BufferId>& block,
                        LoopIds& ids);

}  // namespace compiler::check::kernel_program
