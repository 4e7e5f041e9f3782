// A readable text form of an execution plan, for tests and for people
// reading what the compiler made: the global buffers by class, each kernel
// with its parameters, locals, execution dimensions and indented loop nest,
// then the steps.
//
//   inputs
//     in0 shape [in0.0, in0.1] layout [in0.0, in0.1]
//   ...
//   kernel 0 readonlys 1 writeables 1
//     lane 0: loop 0 extent r0.0
//     loop 1 extent r0.1
//       compute w0[l0] = Add(r0[l0, l1])
//   steps
//     dispatch kernel 0 reads [Input(0)] writes [Output(0)]
//
// A dimension of program input n is `in<n>.<dim>`; inside kernels readonly
// parameter j is `r<j>`, writeable parameter j `w<j>`, local n `loc<n>`.
// Kernel bodies use the kernel program's notation (loop variable id n is
// `l<n>`, extents show their kind unless it is Semantic).
#pragma once

#include <string>

#include "ir/exec_plan.h"

namespace compiler::ir::exec_plan {

std::string print_exec_plan(const ExecPlan& plan);

}  // namespace compiler::ir::exec_plan
