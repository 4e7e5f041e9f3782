// Lowers a kernel program to an execution plan. It validates the kernel
// program it is given, numbers the global buffers by class (inputs,
// global intermediates, outputs in program-output order), re-expresses
// every shape and storage dimension through the program inputs, rebinds
// every buffer reference inside a kernel to a parameter or a kernel-local
// buffer, turns the outermost chain of parallel loops of each kernel into
// execution dimensions, and writes the fixed step list: allocate every
// global intermediate, dispatch every kernel in order, free the
// intermediates in reverse. The result is checked with validate_exec_plan
// before it is returned.
#pragma once

#include "ir/exec_plan.h"
#include "ir/kernel_program.h"
#include "lower/error.h"

namespace compiler::lower::kernel_program_to_exec_plan {

LowerResult<ir::exec_plan::ExecPlan> lower_kernel_program_to_exec_plan(
    const ir::kernel_program::KernelProgram& program);

}  // namespace compiler::lower::kernel_program_to_exec_plan
