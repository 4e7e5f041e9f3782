// Prints a validated module as one self-contained C translation unit: a
// fixed preamble defining the tensor structures and the view helpers, then
// count, ranks, shapes, the kernel functions in order, and exec. The text is
// fully determined by the module: two renderings are byte-identical.
//
// Preconditions (a module built by the lowering always meets them; a
// violation aborts as an internal defect): every dispatched readonly name is
// declared as View or ViewMut, every writeable name as ViewMut, every stack
// allocation has constant storage extents, and Log and Not have an operand.
#pragma once

#include <string>
#include <string_view>

#include "ir/module.h"

namespace compiler::backends::c {

// The text every generated C file starts with.
extern const std::string_view kPreamble;

std::string render(const ir::module::Module& module);

}  // namespace compiler::backends::c
