// Indentation of generated C text.
#pragma once

#include <string>
#include <string_view>

namespace compiler::backends::c::fmt {

// Puts two spaces in front of every non-empty line of `text`, leaving empty
// lines empty. A final line break does not start another line, and the
// result has no final line break.
std::string indent(std::string_view text);

}  // namespace compiler::backends::c::fmt
