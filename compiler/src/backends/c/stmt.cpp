#include "backends/c/stmt.h"

#include <cstddef>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "backends/c/expr.h"
#include "backends/c/fmt.h"

namespace compiler::backends::c {

namespace {

namespace m = ir::module;

std::string_view c_type_name(const m::Type& type) {
  struct Visitor {
    std::string_view operator()(const m::ty::Usize&) const { return "size_t"; }
    std::string_view operator()(const m::ty::Scalar&) const { return "float"; }
    std::string_view operator()(const m::ty::Tensor&) const { return "Tensor"; }
    std::string_view operator()(const m::ty::TensorMut&) const { return "TensorMut"; }
    std::string_view operator()(const m::ty::View&) const { return "const View"; }
    std::string_view operator()(const m::ty::ViewMut&) const { return "ViewMut"; }
    std::string_view operator()(const m::ty::Array& a) const { return c_type_name(*a.element); }
  };
  return std::visit(Visitor{}, type.node);
}

std::string header(const m::Fn& fn) {
  switch (fn.signature) {
    case m::Signature::Count:
      return ::fmt::format("size_t {}(void)", fn.name);
    case m::Signature::Ranks:
      return ::fmt::format("void {}(size_t* ranks)", fn.name);
    case m::Signature::Shapes:
      return ::fmt::format("void {}(const Tensor* inputs, size_t** shapes)", fn.name);
    case m::Signature::Exec:
      return ::fmt::format("void {}(const Tensor* inputs, TensorMut* outputs)", fn.name);
    case m::Signature::Kernel:
      return ::fmt::format("void {}(const View* readonlys, ViewMut* writeables)", fn.name);
  }
  std::unreachable();
}

// "(<type>[]){\n  a,\n  b\n}"; an empty list leaves one empty line.
std::string array_literal(std::string_view type, const std::vector<std::string>& items) {
  return ::fmt::format("({}[]){{\n{}\n}}", type,
                       fmt::indent(::fmt::format("{}", ::fmt::join(items, ",\n"))));
}

std::string render_readonly_arg(const m::Ident& name, const TypeMap& types) {
  const auto it = types.find(name);
  if (it == types.end()) render_defect(::fmt::format("dispatch read {} is unbound", name));
  if (std::holds_alternative<m::ty::View>(it->second.node)) return name;
  if (std::holds_alternative<m::ty::ViewMut>(it->second.node)) {
    return ::fmt::format("view_mut_as_view(&{})", name);
  }
  render_defect(::fmt::format("dispatch read {} has type {}", name, m::type_name(it->second)));
}

std::string render_writeable_arg(const m::Ident& name, const TypeMap& types) {
  const auto it = types.find(name);
  if (it == types.end()) render_defect(::fmt::format("dispatch write {} is unbound", name));
  if (!std::holds_alternative<m::ty::ViewMut>(it->second.node)) {
    render_defect(::fmt::format("dispatch write {} has type {}", name, m::type_name(it->second)));
  }
  return name;
}

std::string array_name_or_null(const std::string& name, const std::vector<m::Expr>& exprs) {
  return exprs.empty() ? std::string("NULL") : name;
}

std::string render_nested(const m::Block& block, const TypeMap& types) {
  TypeMap inner = types;
  return fmt::indent(render_block(block, inner));
}

}  // namespace

std::string render_array_decl(const std::string& name, const std::vector<m::Expr>& exprs) {
  if (exprs.empty()) return ::fmt::format("const size_t* {} = NULL;", name);
  std::string items;
  for (std::size_t i = 0; i < exprs.size(); ++i) {
    if (i > 0) items += ",\n";
    items += render_expr(exprs[i]);
  }
  return ::fmt::format("const size_t {}[] = {{\n{}\n}};", name, fmt::indent(items));
}

std::string render_stmt(const m::Stmt& stmt, TypeMap& types) {
  struct Visitor {
    TypeMap& types;

    std::string operator()(const m::Let& s) const {
      types.insert_or_assign(s.name, s.ty);
      return ::fmt::format("{} {} = {};", c_type_name(s.ty), s.name, render_expr(s.value));
    }
    std::string operator()(const m::Assign& s) const {
      return ::fmt::format("{} = {};", render_place_raw(s.place), render_expr(s.value));
    }
    std::string operator()(const m::Alloc& s) const {
      const std::string layout = s.name + "_layout";
      const std::string shape = s.name + "_shape";
      types.insert_or_assign(s.name, m::Type(m::ty::ViewMut{}));
      return ::fmt::format("{}\n{}\nViewMut {} = alloc_view_mut({}, {}, {});",
                           render_array_decl(layout, s.layout), render_array_decl(shape, s.shape),
                           s.name, s.layout.size(), array_name_or_null(layout, s.layout),
                           array_name_or_null(shape, s.shape));
    }
    std::string operator()(const m::StackAlloc& s) const {
      std::size_t elements = 1;
      for (const m::Expr& e : s.layout) {
        const auto* constant = std::get_if<m::expr::Usize>(&e.node);
        if (constant == nullptr) render_defect("stack allocation layout is not static");
        elements *= constant->value;
      }
      const std::string data = s.name + "_data";
      const std::string layout = s.name + "_layout";
      const std::string shape = s.name + "_shape";
      types.insert_or_assign(s.name, m::Type(m::ty::ViewMut{}));
      return ::fmt::format(
          "float {0}[{1}];\n{2}\n{3}\nViewMut {4} = (ViewMut){{ .data = {0}, .shape = {5}, "
          ".layout = {6} }};",
          data, elements, render_array_decl(layout, s.layout), render_array_decl(shape, s.shape),
          s.name, array_name_or_null(shape, s.shape), array_name_or_null(layout, s.layout));
    }
    std::string operator()(const m::Free& s) const {
      return ::fmt::format("free({}.data);", s.name);
    }
    std::string operator()(const m::Dispatch& s) const {
      std::vector<std::string> reads;
      for (const m::Ident& name : s.readonlys) reads.push_back(render_readonly_arg(name, types));
      std::vector<std::string> writes;
      for (const m::Ident& name : s.writeables) writes.push_back(render_writeable_arg(name, types));
      return ::fmt::format("{}(\n{},\n{}\n);", s.kernel,
                           fmt::indent(array_literal("const View", reads)),
                           fmt::indent(array_literal("ViewMut", writes)));
    }
    std::string operator()(const m::For& s) const {
      TypeMap inner = types;
      inner.insert_or_assign(s.var, m::Type(m::ty::Usize{}));
      return ::fmt::format("for (size_t {0} = 0; {0} < {1}; ++{0}) {{\n{2}\n}}", s.var,
                           render_expr(s.extent), render_nested(s.body, inner));
    }
    std::string operator()(const m::If& s) const {
      return ::fmt::format("if ({}) {{\n{}\n}}", render_expr(s.cond), render_nested(s.body, types));
    }
    std::string operator()(const m::Return& s) const {
      if (!s.value) return "return;";
      return ::fmt::format("return {};", render_expr(*s.value));
    }
  };
  return std::visit(Visitor{types}, stmt.node);
}

std::string render_block(const m::Block& block, TypeMap& types) {
  std::string text;
  for (std::size_t i = 0; i < block.stmts.size(); ++i) {
    if (i > 0) text += '\n';
    text += render_stmt(block.stmts[i], types);
  }
  return text;
}

std::string render_function(const m::Fn& fn) {
  TypeMap types;
  return ::fmt::format("{} {{\n{}\n}}", header(fn), fmt::indent(render_block(fn.body, types)));
}

}  // namespace compiler::backends::c
