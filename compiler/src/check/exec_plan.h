// Checks an execution plan, stopping at the first failure. In order:
//   1. `count` equals the lengths of `ranks`, `shapes` and `buffers.outputs`;
//   2. each output's rank equals the number of dims of its public shape;
//   3. input, intermediate and output buffers: every shape and layout
//      dimension names an existing input and one of its dims; each output's
//      public shape equals its buffer's shape;
//   4. each kernel: canonical parameter lists; locals are not global and
//      name existing input dims; at most three group and three lane
//      dimensions with distinct loop ids; loop ids unique in the body,
//      counting the execution dimensions;
//   5. the steps: allocations and frees are in range and paired; each
//      dispatch names an existing kernel not dispatched before, binds as
//      many buffers as the kernel has parameters, binds only existing and
//      allocated buffers; then the kernel body is checked against those
//      bindings (serial loops, references and dims in range, one coordinate
//      per storage dimension, loops in scope, no write to a readonly);
//   6. every kernel was dispatched; no intermediate remains allocated.
// Inner messages are placed unchanged into the template of their owner
// ("step 3 dispatch compute read 1 access has 1 indexes for layout rank 2").
#pragma once

#include <cstddef>
#include <expected>
#include <set>
#include <string>
#include <vector>

#include "ir/exec_plan.h"

namespace compiler::check::exec_plan {

using Result = std::expected<void, std::string>;
using LoopIds = std::set<std::size_t>;

using ir::exec_plan::BoundKernel;
using ir::exec_plan::ExecPlan;
using ir::exec_plan::ExecRef;
using ir::exec_plan::KernelRef;
using ir::exec_plan::LocalBuffer;
using Refs = std::vector<ExecRef>;

Result validate_exec_plan(const ExecPlan& plan);

// The kernel's execution shape; inserts every execution dimension's loop id
// into `loops`.
Result validate_execution(const BoundKernel& kernel, LoopIds& loops);

// Inserts the id of every loop of `actions`, depth first; fails on an id
// already present.
Result collect_loop_ids(const std::vector<ir::exec_plan::Action<KernelRef>>& actions,
                        LoopIds& loops);

// `reads` and `writes` are the bindings of the dispatch that runs the
// kernel; `loops` every loop id of the kernel including its execution
// dimensions; `scope` the ids enclosing `actions`.
Result validate_block(const ExecPlan& plan, const BoundKernel& kernel, const Refs& reads,
                      const Refs& writes, const LoopIds& loops, const LoopIds& scope,
                      const std::vector<ir::exec_plan::Action<KernelRef>>& actions);

// An access that is read.
Result validate_access(const ExecPlan& plan, const std::vector<LocalBuffer>& locals,
                       const Refs& reads, const Refs& writes, const LoopIds& loops,
                       const LoopIds& scope, const ir::exec_plan::Access<KernelRef>& access);

// An access that is written: never a readonly parameter.
Result validate_write_access(const ExecPlan& plan, const std::vector<LocalBuffer>& locals,
                             const Refs& reads, const Refs& writes, const LoopIds& loops,
                             const LoopIds& scope,
                             const ir::exec_plan::Access<KernelRef>& access);

// The `source` and `dim` of an extent: the source resolves and has the dim.
Result validate_ref_dim(const ExecPlan& plan, const std::vector<LocalBuffer>& locals,
                        const Refs& reads, const Refs& writes,
                        const ir::common::Extent<KernelRef>& extent);

Result validate_scale_expr(const ExecPlan& plan, const std::vector<LocalBuffer>& locals,
                           const Refs& reads, const Refs& writes, const LoopIds& loops,
                           const LoopIds& scope,
                           const ir::exec_plan::ScalarExpr<KernelRef>& expr);

}  // namespace compiler::check::exec_plan
