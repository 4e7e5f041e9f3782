// A module is a small, C-shaped program: the four fixed entry functions of
// a compiled program (count, ranks, shapes, exec) and one function per
// kernel. Functions have no parameter lists of their own; their signature
// fixes the parameters and the result. Bodies are blocks of typed local
// declarations, assignments, counted loops, conditionals, buffer
// allocation, kernel dispatch and returns, over machine-word index
// arithmetic and float operators. A block opens a scope: names bound inside
// it are not visible after it, and no name may shadow a visible one.
//
// The module knows nothing of tensors beyond the four generated-code
// structures Tensor, TensorMut, View and ViewMut and their members. Every
// value is an owned tree: copying a module copies everything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ir/box.h"
#include "ir/common.h"

namespace compiler::ir::module {

using common::Op;

// The name of a variable, buffer or function.
using Ident = std::string;

// The fixed parameter list and result of a function, and the identifiers
// bound on entry:
//   Count   nothing                    returns the output count
//   Ranks   ranks                      returns nothing
//   Shapes  inputs, shapes             returns nothing
//   Exec    inputs, outputs            returns nothing
//   Kernel  readonlys, writeables      returns nothing
enum class Signature : std::uint8_t { Count, Ranks, Shapes, Exec, Kernel };

// "Count", "Ranks", "Shapes", "Exec", "Kernel".
std::string_view signature_name(Signature signature);

// The identifiers bound on entry to a function of `signature`.
std::vector<Ident> signature_params(Signature signature);

// Members of the generated-code structures.
enum class FieldName : std::uint8_t { Data, Shape, Layout, Rank };

// The C member name: "data", "shape", "layout", "rank".
std::string_view field_name(FieldName field);

// The preamble's view conversions, applied to the address of an operand.
enum class Conversion : std::uint8_t { AsView, AsViewMut, ViewMutAsView };

// The C function name: "as_view", "as_view_mut", "view_mut_as_view".
std::string_view conversion_name(Conversion conversion);

// ---------------------------------------------------------------- types

struct Type;

namespace ty {
struct Usize {  // machine-word unsigned
  bool operator==(const Usize&) const = default;
};
struct Scalar {  // 32-bit float
  bool operator==(const Scalar&) const = default;
};
struct Tensor {
  bool operator==(const Tensor&) const = default;
};
struct TensorMut {
  bool operator==(const TensorMut&) const = default;
};
struct View {
  bool operator==(const View&) const = default;
};
struct ViewMut {
  bool operator==(const ViewMut&) const = default;
};
// An array of `element`; its length comes from the initializer.
struct Array {
  Box<Type> element;
  bool operator==(const Array&) const = default;
};
}  // namespace ty

struct Type {
  std::variant<ty::Usize, ty::Scalar, ty::Tensor, ty::TensorMut, ty::View, ty::ViewMut, ty::Array>
      node;

  Type(ty::Usize t) : node(t) {}
  Type(ty::Scalar t) : node(t) {}
  Type(ty::Tensor t) : node(t) {}
  Type(ty::TensorMut t) : node(t) {}
  Type(ty::View t) : node(t) {}
  Type(ty::ViewMut t) : node(t) {}
  Type(ty::Array t) : node(std::move(t)) {}

  bool operator==(const Type&) const = default;
};

// "Usize", "Scalar", "Tensor", "TensorMut", "View", "ViewMut",
// "Array(<element>)".
std::string type_name(const Type& type);

// ---------------------------------------------------------- expressions

struct Expr;

namespace expr {
struct Usize {  // an index constant
  std::size_t value = 0;
  bool operator==(const Usize&) const = default;
};
struct Float {  // a float constant
  float value = 0;
  // Compares bit patterns so that a NaN constant equals itself.
  bool operator==(const Float& other) const;
};
struct Ident {  // the value of a bound name
  module::Ident name;
  bool operator==(const Ident&) const = default;
};
// Element `index` of the array or pointer `base`.
struct Index {
  Box<Expr> base;
  Box<Expr> index;
  bool operator==(const Index&) const = default;
};
// A member of a generated-code structure.
struct Field {
  Box<Expr> base;
  FieldName field = FieldName::Data;
  bool operator==(const Field&) const = default;
};
// A view conversion applied to the address of `operand`.
struct Convert {
  Conversion conversion = Conversion::AsView;
  Box<Expr> operand;
  bool operator==(const Convert&) const = default;
};
// The float operator `op` over `args` (n-ary for associative operators).
struct Apply {
  Op op = Op::Add;
  std::vector<Expr> args;
  bool operator==(const Apply&) const = default;
};
// Unsigned index arithmetic; Div truncates, Rem is the remainder.
struct Add {
  Box<Expr> lhs;
  Box<Expr> rhs;
  bool operator==(const Add&) const = default;
};
struct Sub {
  Box<Expr> lhs;
  Box<Expr> rhs;
  bool operator==(const Sub&) const = default;
};
struct Mul {
  Box<Expr> lhs;
  Box<Expr> rhs;
  bool operator==(const Mul&) const = default;
};
struct Div {
  Box<Expr> lhs;
  Box<Expr> rhs;
  bool operator==(const Div&) const = default;
};
struct Rem {
  Box<Expr> lhs;
  Box<Expr> rhs;
  bool operator==(const Rem&) const = default;
};
// Unsigned comparisons and conjunction, used as conditions.
struct Lt {
  Box<Expr> lhs;
  Box<Expr> rhs;
  bool operator==(const Lt&) const = default;
};
struct Eq {
  Box<Expr> lhs;
  Box<Expr> rhs;
  bool operator==(const Eq&) const = default;
};
struct And {
  Box<Expr> lhs;
  Box<Expr> rhs;
  bool operator==(const And&) const = default;
};
}  // namespace expr

using ExprNode = std::variant<expr::Usize, expr::Float, expr::Ident, expr::Index, expr::Field,
                              expr::Convert, expr::Apply, expr::Add, expr::Sub, expr::Mul,
                              expr::Div, expr::Rem, expr::Lt, expr::Eq, expr::And>;

struct Expr {
  ExprNode node;

  Expr(ExprNode n) : node(std::move(n)) {}
  Expr(expr::Usize e) : node(e) {}
  Expr(expr::Float e) : node(e) {}
  Expr(expr::Ident e) : node(std::move(e)) {}
  Expr(expr::Index e) : node(std::move(e)) {}
  Expr(expr::Field e) : node(std::move(e)) {}
  Expr(expr::Convert e) : node(std::move(e)) {}
  Expr(expr::Apply e) : node(std::move(e)) {}
  Expr(expr::Add e) : node(std::move(e)) {}
  Expr(expr::Sub e) : node(std::move(e)) {}
  Expr(expr::Mul e) : node(std::move(e)) {}
  Expr(expr::Div e) : node(std::move(e)) {}
  Expr(expr::Rem e) : node(std::move(e)) {}
  Expr(expr::Lt e) : node(std::move(e)) {}
  Expr(expr::Eq e) : node(std::move(e)) {}
  Expr(expr::And e) : node(std::move(e)) {}

  bool operator==(const Expr&) const = default;
};

// --------------------------------------------------------------- places

struct Place;

namespace place {
struct Var {  // a bound name
  Ident name;
  bool operator==(const Var&) const = default;
};
// Element `index` of `base`.
struct Index {
  Box<Place> base;
  Expr index;
  bool operator==(const Index&) const = default;
};
// A member of `base`.
struct Field {
  Box<Place> base;
  FieldName field = FieldName::Data;
  bool operator==(const Field&) const = default;
};
}  // namespace place

struct Place {
  std::variant<place::Var, place::Index, place::Field> node;

  Place(place::Var p) : node(std::move(p)) {}
  Place(place::Index p) : node(std::move(p)) {}
  Place(place::Field p) : node(std::move(p)) {}

  bool operator==(const Place&) const = default;
};

// ----------------------------------------------------------- statements

struct Stmt;

// Statements executed in order; opens a scope.
struct Block {
  std::vector<Stmt> stmts;
  bool operator==(const Block&) const = default;
};

// Declares and initialises a local; binds `name`.
struct Let {
  Type ty;
  Ident name;
  Expr value;
  bool operator==(const Let&) const = default;
};

// Stores `value` into `place`.
struct Assign {
  Expr value;
  Place place;
  bool operator==(const Assign&) const = default;
};

// Allocates a global intermediate as a ViewMut named `name` with the given
// logical shape and storage extents; binds `name`. Only in exec.
struct Alloc {
  Ident name;
  std::vector<Expr> shape;
  std::vector<Expr> layout;
  bool operator==(const Alloc&) const = default;
};

// The same for a kernel-local buffer on the stack; every layout entry is a
// constant. Only in kernels.
struct StackAlloc {
  Ident name;
  std::vector<Expr> shape;
  std::vector<Expr> layout;
  bool operator==(const StackAlloc&) const = default;
};

// Releases a buffer made by Alloc. Only in exec.
struct Free {
  Ident name;
  bool operator==(const Free&) const = default;
};

// Calls kernel function `kernel` with the named buffers. Only in exec.
struct Dispatch {
  Ident kernel;
  std::vector<Ident> readonlys;
  std::vector<Ident> writeables;
  bool operator==(const Dispatch&) const = default;
};

// Runs `body` for `var` = 0 .. extent - 1; `var` is bound only in `body`.
struct For {
  Ident var;
  Block body;
  Expr extent;
  bool operator==(const For&) const = default;
};

// Runs `body` when `cond` is non-zero.
struct If {
  Block body;
  Expr cond;
  bool operator==(const If&) const = default;
};

// Leaves the function; with a value exactly in Count functions.
struct Return {
  std::optional<Expr> value;
  bool operator==(const Return&) const = default;
};

using StmtNode = std::variant<Let, Assign, Alloc, StackAlloc, Free, Dispatch, For, If, Return>;

struct Stmt {
  StmtNode node;

  Stmt(StmtNode n) : node(std::move(n)) {}
  Stmt(Let s) : node(std::move(s)) {}
  Stmt(Assign s) : node(std::move(s)) {}
  Stmt(Alloc s) : node(std::move(s)) {}
  Stmt(StackAlloc s) : node(std::move(s)) {}
  Stmt(Free s) : node(std::move(s)) {}
  Stmt(Dispatch s) : node(std::move(s)) {}
  Stmt(For s) : node(std::move(s)) {}
  Stmt(If s) : node(std::move(s)) {}
  Stmt(Return s) : node(std::move(s)) {}

  bool operator==(const Stmt&) const = default;
};

// ------------------------------------------------------------ functions

struct Fn {
  Ident name;  // unique within the module
  Block body;
  Signature signature = Signature::Kernel;
  bool operator==(const Fn&) const = default;
};

struct Module {
  Fn count;                 // signature Count
  Fn ranks;                 // signature Ranks
  Fn shapes;                // signature Shapes
  Fn exec;                  // signature Exec
  std::vector<Fn> kernels;  // one per kernel, in kernel order; signature Kernel
  bool operator==(const Module&) const = default;
};

}  // namespace compiler::ir::module
