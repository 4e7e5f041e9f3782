// C text of module statements and functions.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "ir/module.h"

namespace compiler::backends::c {

// The declared type of every local visible at a statement; dispatch
// arguments are converted according to it.
using TypeMap = std::map<ir::module::Ident, ir::module::Type>;

// A whole function: "<header> {\n<indented body>\n}".
std::string render_function(const ir::module::Fn& fn);

// The statements of `block` joined by line breaks; declarations are added
// to `types`.
std::string render_block(const ir::module::Block& block, TypeMap& types);

std::string render_stmt(const ir::module::Stmt& stmt, TypeMap& types);

// "const size_t* name = NULL;" for no expressions, otherwise
// "const size_t name[] = {\n  e0,\n  e1\n};".
std::string render_array_decl(const std::string& name, const std::vector<ir::module::Expr>& exprs);

}  // namespace compiler::backends::c
