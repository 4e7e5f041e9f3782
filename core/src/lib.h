// Internals shared by the exported functions: the per-thread error slot and
// the heap objects behind the opaque handles of the C interface.
#pragma once

#include <string>
#include <string_view>

#include "backends/program.h"
#include "ir/component.h"
#include "quarn.h"

struct QComponent {
  compiler::ir::component::Component value;
};

struct QProgram {
  q_core::backends::Program value;
};

namespace q_core::lib {

// Stores `text` (with every NUL character removed) as the calling thread's
// most recent failure, replacing what was there.
void set_error(std::string_view text);
void set_error(std::string&& text);

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);

}  // namespace q_core::lib
