// A readable text form of a stage program, for tests and for people reading
// what the node-to-stage lowering produced.
//
//   input 0 Free shape [0.0, 0.1]
//   stage 0 Add shape [0.0] reads [input 0]
//     output [0] init At(0) layout [0:(L0)]
//     input 0 [0,1] layout [0:(L0), 1:(L1)]
//     for a0 index 0 Semantic
//       for a1 index 1 Semantic
//   output 0 = stage 0
//
// Shape dimensions are written input.dim. Layout dimensions are `x:(refs)`
// for a semantic dimension over index x and a bare reference for a single
// one; references are Lk (axis k of the stage) or Ck (axis k of the
// consumer). Axes are a loop nest of `for` lines; consumer axes read
// `in consumer aK`, pruned axes `pruned by aK`.
#pragma once

#include <string>

#include "ir/stage.h"

namespace compiler::ir::stage {

std::string print_stage_program(const StageProgram& program);

// One stage without its graph wiring, as it appears inside the program.
std::string print_stage(const Stage& stage);

}  // namespace compiler::ir::stage
