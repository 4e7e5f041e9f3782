#include "check/module.h"

#include <cstddef>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

namespace compiler::check::module {

namespace {

namespace m = ir::module;
using lower::LowerError;
using Result = std::expected<void, LowerError>;
using Scope = std::set<m::Ident>;
using KernelNames = std::set<m::Ident>;

std::unexpected<LowerError> fail(std::string message) {
  return std::unexpected(LowerError{std::move(message)});
}

Result require_bound(const Scope& scope, const m::Ident& name) {
  if (!scope.contains(name)) return fail(fmt::format("references unbound ident {}", name));
  return {};
}

Result bind(Scope& scope, const m::Ident& name) {
  if (!scope.insert(name).second) return fail(fmt::format("ident {} is repeated", name));
  return {};
}

Result validate_expr(const Scope& scope, const m::Expr& expr);

Result validate_binary(const Scope& scope, const m::Expr& lhs, const m::Expr& rhs) {
  if (auto r = validate_expr(scope, lhs); !r) return r;
  return validate_expr(scope, rhs);
}

Result validate_expr(const Scope& scope, const m::Expr& expr) {
  struct Visitor {
    const Scope& scope;
    Result operator()(const m::expr::Usize&) const { return {}; }
    Result operator()(const m::expr::Float&) const { return {}; }
    Result operator()(const m::expr::Ident& e) const { return require_bound(scope, e.name); }
    Result operator()(const m::expr::Index& e) const {
      return validate_binary(scope, *e.base, *e.index);
    }
    Result operator()(const m::expr::Field& e) const { return validate_expr(scope, *e.base); }
    Result operator()(const m::expr::Convert& e) const { return validate_expr(scope, *e.operand); }
    Result operator()(const m::expr::Apply& e) const {
      for (const m::Expr& arg : e.args) {
        if (auto r = validate_expr(scope, arg); !r) return r;
      }
      return {};
    }
    Result operator()(const m::expr::Add& e) const {
      return validate_binary(scope, *e.lhs, *e.rhs);
    }
    Result operator()(const m::expr::Sub& e) const {
      return validate_binary(scope, *e.lhs, *e.rhs);
    }
    Result operator()(const m::expr::Mul& e) const {
      return validate_binary(scope, *e.lhs, *e.rhs);
    }
    Result operator()(const m::expr::Div& e) const {
      return validate_binary(scope, *e.lhs, *e.rhs);
    }
    Result operator()(const m::expr::Rem& e) const {
      return validate_binary(scope, *e.lhs, *e.rhs);
    }
    Result operator()(const m::expr::Lt& e) const { return validate_binary(scope, *e.lhs, *e.rhs); }
    Result operator()(const m::expr::Eq& e) const { return validate_binary(scope, *e.lhs, *e.rhs); }
    Result operator()(const m::expr::And& e) const {
      return validate_binary(scope, *e.lhs, *e.rhs);
    }
  };
  return std::visit(Visitor{scope}, expr.node);
}

Result validate_place(const Scope& scope, const m::Place& place) {
  struct Visitor {
    const Scope& scope;
    Result operator()(const m::place::Var& p) const { return require_bound(scope, p.name); }
    Result operator()(const m::place::Index& p) const {
      if (auto r = validate_place(scope, *p.base); !r) return r;
      return validate_expr(scope, p.index);
    }
    Result operator()(const m::place::Field& p) const { return validate_place(scope, *p.base); }
  };
  return std::visit(Visitor{scope}, place.node);
}

Result validate_exprs(const Scope& scope, const std::vector<m::Expr>& exprs) {
  for (const m::Expr& e : exprs) {
    if (auto r = validate_expr(scope, e); !r) return r;
  }
  return {};
}

Result validate_block(m::Signature signature, const KernelNames& kernels, Scope& scope,
                      const m::Block& block);

// Checks one statement; bindings it makes go into `scope`.
Result validate_stmt(m::Signature signature, const KernelNames& kernels, Scope& scope,
                     const m::Stmt& stmt) {
  struct Visitor {
    m::Signature signature;
    const KernelNames& kernels;
    Scope& scope;

    Result operator()(const m::Let& s) const {
      if (auto r = validate_expr(scope, s.value); !r) return r;
      return bind(scope, s.name);
    }
    Result operator()(const m::Assign& s) const {
      if (auto r = validate_place(scope, s.place); !r) return r;
      return validate_expr(scope, s.value);
    }
    Result operator()(const m::Alloc& s) const {
      if (signature != m::Signature::Exec) return fail("alloc appears outside exec");
      return allocation(s.name, s.shape, s.layout);
    }
    Result operator()(const m::StackAlloc& s) const {
      if (signature != m::Signature::Kernel) return fail("stack alloc appears outside kernel");
      return allocation(s.name, s.shape, s.layout);
    }
    Result operator()(const m::Free& s) const {
      if (signature != m::Signature::Exec) return fail("free appears outside exec");
      return require_bound(scope, s.name);
    }
    Result operator()(const m::Dispatch& s) const {
      if (signature != m::Signature::Exec) return fail("dispatch appears outside exec");
      if (!kernels.contains(s.kernel)) {
        return fail(fmt::format("dispatch references nonexistent kernel {}", s.kernel));
      }
      for (const m::Ident& name : s.readonlys) {
        if (auto r = require_bound(scope, name); !r) return r;
      }
      for (const m::Ident& name : s.writeables) {
        if (auto r = require_bound(scope, name); !r) return r;
      }
      return {};
    }
    Result operator()(const m::For& s) const {
      if (auto r = validate_expr(scope, s.extent); !r) return r;
      Scope inner = scope;
      if (auto r = bind(inner, s.var); !r) return r;
      return validate_block(signature, kernels, inner, s.body);
    }
    Result operator()(const m::If& s) const {
      if (auto r = validate_expr(scope, s.cond); !r) return r;
      Scope inner = scope;
      return validate_block(signature, kernels, inner, s.body);
    }
    Result operator()(const m::Return& s) const {
      if (signature == m::Signature::Count) {
        if (!s.value) return fail("count returns without value");
        return validate_expr(scope, *s.value);
      }
      if (s.value) return fail("void function returns a value");
      return {};
    }

    Result allocation(const m::Ident& name, const std::vector<m::Expr>& shape,
                      const std::vector<m::Expr>& layout) const {
      if (auto r = validate_exprs(scope, shape); !r) return r;
      if (auto r = validate_exprs(scope, layout); !r) return r;
      return bind(scope, name);
    }
  };
  return std::visit(Visitor{signature, kernels, scope}, stmt.node);
}

Result validate_block(m::Signature signature, const KernelNames& kernels, Scope& scope,
                      const m::Block& block) {
  for (const m::Stmt& stmt : block.stmts) {
    if (auto r = validate_stmt(signature, kernels, scope, stmt); !r) return r;
  }
  return {};
}

Result validate_function(const m::Fn& fn, const KernelNames& kernels) {
  const std::vector<m::Ident> params = m::signature_params(fn.signature);
  Scope scope(params.begin(), params.end());
  if (auto r = validate_block(fn.signature, kernels, scope, fn.body); !r) {
    return fail(fmt::format("function {} {}", fn.name, r.error().message));
  }
  return {};
}

Result check_signature(const m::Fn& fn, m::Signature expected, const std::string& role) {
  if (fn.signature != expected) {
    return fail(fmt::format("{} has signature {}", role, m::signature_name(fn.signature)));
  }
  return {};
}

}  // namespace

Result validate_module(const m::Module& module) {
  using m::Signature;
  if (auto r = check_signature(module.count, Signature::Count, "count"); !r) return r;
  if (auto r = check_signature(module.ranks, Signature::Ranks, "ranks"); !r) return r;
  if (auto r = check_signature(module.shapes, Signature::Shapes, "shapes"); !r) return r;
  if (auto r = check_signature(module.exec, Signature::Exec, "exec"); !r) return r;
  for (std::size_t k = 0; k < module.kernels.size(); ++k) {
    const std::string role = fmt::format("kernel {}", k);
    if (auto r = check_signature(module.kernels[k], Signature::Kernel, role); !r) return r;
  }

  const std::vector<const m::Fn*> functions = [&] {
    std::vector<const m::Fn*> all = {&module.count, &module.ranks, &module.shapes, &module.exec};
    for (const m::Fn& kernel : module.kernels) all.push_back(&kernel);
    return all;
  }();

  std::set<m::Ident> names;
  for (const m::Fn* fn : functions) {
    if (!names.insert(fn->name).second) {
      return fail(fmt::format("function {} is repeated", fn->name));
    }
  }

  KernelNames kernels;
  for (const m::Fn& kernel : module.kernels) kernels.insert(kernel.name);

  for (const m::Fn* fn : functions) {
    if (auto r = validate_function(*fn, kernels); !r) return r;
  }
  return {};
}

}  // namespace compiler::check::module
