// Checks a module for consistency before it is printed. In order, stopping
// at the first failure:
//   1. each function has the signature of its role (count, ranks, shapes,
//      exec, and every kernel function Kernel);
//   2. the function names are all different (fixed functions first, then
//      kernels in order);
//   3. each body, in the same order: every name is bound before use and
//      never bound twice in one scope chain (no shadowing), allocation,
//      freeing and dispatch happen only in exec, stack allocation only in
//      kernels, a dispatch calls a kernel function, and count returns a
//      value while every other function returns none.
// Failures inside a body are reported as "function <name> <message>".
#pragma once

#include <expected>

#include "ir/module.h"
#include "lower/error.h"

namespace compiler::check::module {

std::expected<void, lower::LowerError> validate_module(const ir::module::Module& module);

}  // namespace compiler::check::module
