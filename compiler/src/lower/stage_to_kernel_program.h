// Lowers a stage program to a kernel program. Consumes a stage program
// (validated again here); produces a kernel program that passes
// validate_kernel_program, or the first failure.
//
// Every program input and every stage gets a buffer (inputs first, then
// stages in order, then snapshot buffers made for online corrections). Every
// stage that no other stage computes through a compute site roots one kernel;
// the stages it computes are fused into its loop nest, recursively. A kernel's
// parameter lists and dataflow edges are derived from its body. A program
// output that is a program input, or that names a stage an earlier output
// already names, gets an Output buffer of its own filled by a copy kernel
// after the stage kernels. Intermediates used by one kernel only and stored
// in constant-size tiles become local to that kernel.
#pragma once

#include "ir/kernel_program.h"
#include "ir/stage.h"
#include "lower/error.h"

namespace compiler::lower::stage_to_kernel_program {

LowerResult<ir::kernel_program::KernelProgram> lower_stage_program_to_kernel_program(
    const ir::stage::StageProgram& program);

}  // namespace compiler::lower::stage_to_kernel_program
