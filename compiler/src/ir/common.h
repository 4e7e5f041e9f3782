// Types shared by every representation of the pipeline. Op is the operator
// set of the language; its numeric values are fixed because later
// representations and the code generators switch on them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace compiler::ir::common {

enum class Op : std::uint8_t {
  Add = 0,
  Mul = 1,
  Div = 2,
  Sub = 3,
  Max = 4,
  Min = 5,
  Pow = 6,
  Log = 7,
  Gt = 8,
  Ge = 9,
  Lt = 10,
  Le = 11,
  Eq = 12,
  Ne = 13,
  And = 14,
  Or = 15,
  Xor = 16,
  Not = 17,
};

inline constexpr std::size_t kOpCount = 18;

// Every operator in numeric order.
inline constexpr std::array<Op, kOpCount> kAllOps = {
    Op::Add, Op::Mul, Op::Div, Op::Sub, Op::Max, Op::Min, Op::Pow, Op::Log, Op::Gt,
    Op::Ge,  Op::Lt,  Op::Le,  Op::Eq,  Op::Ne,  Op::And, Op::Or,  Op::Xor, Op::Not,
};

// The operator's name as printed in messages ("Add", "Sub", ...).
std::string_view op_name(Op op);
// The operator's token in the source language ("+", ">=", "!!", ...).
std::string_view op_token(Op op);
// Whether the operator may combine the elements of a reduced axis.
bool op_reducible(Op op);
// The operator with the given numeric value, if there is one.
std::optional<Op> op_from_value(std::uint8_t value);

// Identifier of one semantic index: one letter of an expression, as numbered
// by the front end (output letters first).
using Index = std::size_t;

// How a loop axis's extent derives from the run-time extent E of the
// semantic index it iterates.
struct Semantic {  // the whole index: E
  bool operator==(const Semantic&) const = default;
};
struct Base {  // level 0 of a split index: ceil(E / product(factors))
  std::vector<std::size_t> factors;
  bool operator==(const Base&) const = default;
};
struct Split {  // inner level `level` (>= 1) of a split index: the constant `factor`
  std::size_t level = 1;
  std::size_t factor = 1;
  bool operator==(const Split&) const = default;
};
using ExtentKind = std::variant<Semantic, Base, Split>;

// `Semantic`, `Base([4, 2])`, `Split { level: 1, factor: 4 }`.
std::string debug_string(const ExtentKind& kind);

// A run-time extent: dimension `dim` of `source`, transformed by `kind`.
template <class T>
struct Extent {
  T source{};
  std::size_t dim = 0;
  ExtentKind kind;
  bool operator==(const Extent&) const = default;
};

}  // namespace compiler::ir::common
