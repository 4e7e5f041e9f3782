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

inline m::Expr param(const char* array, std::size_t j) {
  return At(Id(array), U(j));
}
inline m::Place param_place(const char* array, std::size_t j) {
  return PAt(PVar(array), U(j));
}
inline m::Expr dim(m::Expr buffer, m::FieldName field, std::size_t d) {
  return At(Dot(std::move(buffer), field), U(d));
}

// Row sums of an element-wise square, through an intermediate: f0 squares
// the input into s0, whose rows are padded to a multiple of 4; f1 sums the
// rows of s0 over a column loop split by 4 and guarded against the padding.
// f1 also declares an (unused) stack buffer.
inline m::Module row_sums_of_squares_module() {
  const auto acc = [] {
    return PAt(PDot(param_place("writeables", 0), m::FieldName::Data), Id("i0"));
  };
  const m::Expr rows = dim(param("readonlys", 0), m::FieldName::Shape, 0);
  const m::Expr cols = dim(param("readonlys", 0), m::FieldName::Shape, 1);
  const m::Expr element =
      At(Dot(param("readonlys", 0), m::FieldName::Data),
         Add(Mul(Id("i0"), dim(param("readonlys", 0), m::FieldName::Layout, 1)), Id("i1")));
  const m::Expr split_element =
      At(Dot(param("readonlys", 0), m::FieldName::Data),
         Add(Mul(Id("i0"), dim(param("readonlys", 0), m::FieldName::Layout, 1)),
             Add(Mul(Id("i1"), U(4)), Id("i2"))));
  const m::Expr in_shape = dim(At(Id("inputs"), U(0)), m::FieldName::Shape, 0);
  return m::Module{
      .count = Function("count", m::Signature::Count, {Ret(U(1))}),
      .ranks =
          Function("ranks", m::Signature::Ranks, {Assign(PAt(PVar("ranks"), U(0)), U(1)), Ret()}),
      .shapes = Function("shapes", m::Signature::Shapes,
                         {Assign(PAt(PAt(PVar("shapes"), U(0)), U(0)), in_shape), Ret()}),
      .exec = Function(
          "exec", m::Signature::Exec,
          {Let(m::ty::View{}, "in0", Conv(m::Conversion::AsView, At(Id("inputs"), U(0)))),
           Let(m::ty::ViewMut{}, "out0", Conv(m::Conversion::AsViewMut, At(Id("outputs"), U(0)))),
           m::Alloc{
               "s0",
               {in_shape, dim(At(Id("inputs"), U(0)), m::FieldName::Shape, 1)},
               {in_shape,
                Mul(Div(Sub(Add(dim(At(Id("inputs"), U(0)), m::FieldName::Shape, 1), U(4)), U(1)),
                        U(4)),
                    U(4))}},
           m::Dispatch{"f0", {"in0"}, {"s0"}}, m::Dispatch{"f1", {"s0"}, {"out0"}}, m::Free{"s0"},
           Ret()}),
      .kernels = {Function(
                      "f0", m::Signature::Kernel,
                      {For("i0", rows,
                           {For("i1", cols,
                                {Assign(PAt(PDot(param_place("writeables", 0), m::FieldName::Data),
                                            Add(Mul(Id("i0"), dim(param("writeables", 0),
                                                                  m::FieldName::Layout, 1)),
                                                Id("i1"))),
                                        Ap(Op::Mul, {element, element}))})})}),
                  Function(
                      "f1", m::Signature::Kernel,
                      {m::StackAlloc{"l0", {}, {U(4)}},
                       For("i0", rows,
                           {Assign(acc(), F(0)),
                            For("i1", Div(Sub(Add(cols, U(4)), U(1)), U(4)),
                                {For("i2", U(4),
                                     {If(Lt(Add(Mul(Id("i1"), U(4)), Id("i2")), cols),
                                         {Assign(acc(), Ap(Op::Add, {m::expr::Index{
                                                                         Dot(param("writeables", 0),
                                                                             m::FieldName::Data),
                                                                         Id("i0")},
                                                                     split_element}))})})})})})},
  };
}

}  // namespace quarn_test::module_builder
