// Short constructors for hand-built modules in tests.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ir/module.h"

namespace quarn_test::module_builder {

namespace m = compiler::ir::module;
using compiler::ir::common::Op;

inline m::Expr U(std::size_t v) {
  return m::expr::Usize{v};
}
inline m::Expr F(float v) {
  return m::expr::Float{v};
}
inline m::Expr Id(std::string name) {
  return m::expr::Ident{std::move(name)};
}
inline m::Expr At(m::Expr base, m::Expr index) {
  return m::expr::Index{std::move(base), std::move(index)};
}
inline m::Expr Dot(m::Expr base, m::FieldName field) {
  return m::expr::Field{std::move(base), field};
}
inline m::Expr Conv(m::Conversion c, m::Expr operand) {
  return m::expr::Convert{c, std::move(operand)};
}
inline m::Expr Ap(Op op, std::vector<m::Expr> args) {
  return m::expr::Apply{op, std::move(args)};
}
inline m::Expr Add(m::Expr a, m::Expr b) {
  return m::expr::Add{std::move(a), std::move(b)};
}
inline m::Expr Sub(m::Expr a, m::Expr b) {
  return m::expr::Sub{std::move(a), std::move(b)};
}
inline m::Expr Mul(m::Expr a, m::Expr b) {
  return m::expr::Mul{std::move(a), std::move(b)};
}
inline m::Expr Div(m::Expr a, m::Expr b) {
  return m::expr::Div{std::move(a), std::move(b)};
}
inline m::Expr Rem(m::Expr a, m::Expr b) {
  return m::expr::Rem{std::move(a), std::move(b)};
}
inline m::Expr Lt(m::Expr a, m::Expr b) {
  return m::expr::Lt{std::move(a), std::move(b)};
}
inline m::Expr Eq(m::Expr a, m::Expr b) {
  return m::expr::Eq{std::move(a), std::move(b)};
}
inline m::Expr And(m::Expr a, m::Expr b) {
  return m::expr::And{std::move(a), std::move(b)};
}

inline m::Place PVar(std::string name) {
  return m::place::Var{std::move(name)};
}
inline m::Place PAt(m::Place base, m::Expr index) {
  return m::place::Index{std::move(base), std::move(index)};
}
inline m::Place PDot(m::Place base, m::FieldName field) {
  return m::place::Field{std::move(base), field};
}

inline m::Stmt Let(m::Type ty, std::string name, m::Expr value) {
  return m::Let{std::move(ty), std::move(name), std::move(value)};
}
inline m::Stmt Assign(m::Place place, m::Expr value) {
  return m::Assign{std::move(value), std::move(place)};
}
inline m::Stmt For(std::string var, m::Expr extent, std::vector<m::Stmt> body) {
  return m::For{std::move(var), m::Block{std::move(body)}, std::move(extent)};
}
inline m::Stmt If(m::Expr cond, std::vector<m::Stmt> body) {
  return m::If{m::Block{std::move(body)}, std::move(cond)};
}
inline m::Stmt Ret() {
  return m::Return{std::nullopt};
}
inline m::Stmt Ret(m::Expr value) {
  return m::Return{std::move(value)};
}

inline m::Fn Function(std::string name, m::Signature sig, std::vector<m::Stmt> body) {
  return m::Fn{std::move(name), m::Block{std::move(body)}, sig};
}

// The smallest valid module: no outputs, no kernels.
inline m::Module empty_module() {
  return m::Module{
      .count = Function("count", m::Signature::Count, {Ret(U(0))}),
      .ranks = Function("ranks", m::Signature::Ranks, {Ret()}),
      .shapes = Function("shapes", m::Signature::Shapes, {Ret()}),
      .exec = Function("exec", m::Signature::Exec, {Ret()}),
      .kernels = {},
  };
}

}  // namespace quarn_test::module_builder
