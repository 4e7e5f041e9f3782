// Lowers a validated execution plan to a module for the C back end: the four
// entry functions (count, ranks, shapes, exec) and one function "f{k}" per
// kernel. Decides every name of the generated program, addresses buffer
// elements by flat row-major offsets over the storage extents each view
// carries at run time, turns execution dimensions and serial loops into
// counted loops (group dimensions outermost, then lane dimensions), bounds
// guarded split loops, and spells each operator for one, two or many
// operands. The plan is validated on entry and the module before returning.
#pragma once

#include "ir/exec_plan.h"
#include "ir/module.h"
#include "lower/error.h"

namespace compiler::lower::exec_plan_to_module {

LowerResult<ir::module::Module> lower_exec_plan_to_module(const ir::exec_plan::ExecPlan& plan);

}  // namespace compiler::lower::exec_plan_to_module
