// The CPU backend: builds generated C source into a shared object with the
// system C compiler and loads it as a Program for the host processor.
//
// A build writes the source to "<tmp>/quarn_<n>.c" (n from the nanosecond
// clock, advanced past names already taken), runs
//   cc -O3 -shared -fPIC <source> -o <tmp>/quarn_<n>.so -lm
// with the caller's standard streams, removes the source, and loads the
// shared object, which then belongs to the Program. Builds share no state,
// so several threads may build at once.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "backends/program.h"
#include "ir/component.h"

namespace q_core::backends::cpu {

// The whole compiler pipeline down to C text; a lowering failure is the
// debug text of its LowerError.
std::expected<std::string, std::string> render(const compiler::ir::component::Component& component);

// render, then compile_c_source; the program's device is Cpu.
std::expected<Program, std::string> compile(const compiler::ir::component::Component& component);

// Builds and loads `text`. Failures, as messages:
//   - the source file cannot be written: the system error text;
//   - cc cannot be started: the system error text (the source file stays);
//   - cc fails: "cc failed with status <exit status text>" (the source is
//     removed, a shared object it left stays);
//   - loading fails: the loader's message (the shared object stays).
std::expected<Program, std::string> compile_c_source(std::string_view text);

}  // namespace q_core::backends::cpu
