#include "backends/c/expr.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "backends/c/fmt.h"

namespace compiler::backends::c {

namespace {

namespace m = ir::module;
using ir::common::Op;

struct OpClassInfo {
  std::string_view text;
  int precedence;
};

constexpr OpClassInfo kOpClasses[] = {
    {"+", 60},  {"-", 60},  {"*", 70},  {"/", 70},  {"%", 70},  {"<", 50},  {">", 50},
    {"<=", 50}, {">=", 50}, {"==", 45}, {"!=", 45}, {"&&", 40}, {"||", 30},
};

const OpClassInfo& info(OpClass cls) {
  return kOpClasses[static_cast<std::size_t>(cls)];
}

Rendered atom(std::string text) {
  return Rendered{std::move(text), std::nullopt, kAtomPrecedence};
}

Context left_of(OpClass cls) {
  return Context{Side::Left, cls};
}
Context right_of(OpClass cls) {
  return Context{Side::Right, cls};
}
const Context kNeutral{};

// Operators whose right operand may be another use of the same operator
// without parentheses: a + (b + c) prints as a + b + c.
bool associative(OpClass cls) {
  return cls == OpClass::Plus || cls == OpClass::Times || cls == OpClass::AndAnd ||
         cls == OpClass::OrOr;
}

Rendered apply_context(Rendered r, const Context& context) {
  if (!context.parent) return r;
  const OpClass parent = *context.parent;
  const int parent_precedence = info(parent).precedence;
  const bool same_op = r.cls == parent && associative(parent);
  const bool wrap = r.precedence < parent_precedence ||
                    (context.side == Side::Right && r.precedence == parent_precedence && !same_op);
  if (wrap) r.text = ::fmt::format("({})", r.text);
  return r;
}

Rendered render_binary(OpClass cls, const m::Expr& lhs, const m::Expr& rhs,
                       const Context& context) {
  const Rendered l = render_expr_in(lhs, left_of(cls));
  const Rendered r = render_expr_in(rhs, right_of(cls));
  return apply_context(Rendered{::fmt::format("{} {} {}", l.text, info(cls).text, r.text), cls,
                                info(cls).precedence},
                       context);
}

// An n-ary use of a C operator: a op b op c, grouped from the left.
Rendered render_joined(OpClass cls, const std::vector<m::Expr>& args, const Context& context) {
  if (args.empty()) return atom("0.0f");
  std::string text = render_expr_in(args[0], left_of(cls)).text;
  for (std::size_t i = 1; i < args.size(); ++i) {
    text += ::fmt::format(" {} {}", info(cls).text, render_expr_in(args[i], right_of(cls)).text);
  }
  return apply_context(Rendered{std::move(text), cls, info(cls).precedence}, context);
}

// A binary C function folded from the left: f(f(a, b), c).
Rendered render_call_fold(std::string_view function, const std::vector<m::Expr>& args,
                          const Context& context) {
  if (args.empty()) return atom("0.0f");
  if (args.size() == 1) return render_expr_in(args[0], context);
  std::string text = render_expr(args[0]);
  for (std::size_t i = 1; i < args.size(); ++i) {
    text = ::fmt::format("{}({}, {})", function, text, render_expr(args[i]));
  }
  return atom(std::move(text));
}

const m::Expr& first_arg(Op op, const std::vector<m::Expr>& args) {
  if (args.empty()) {
    render_defect(::fmt::format("{} applied to no argument", ir::common::op_name(op)));
  }
  return args[0];
}

Rendered render_unary_call(std::string_view function, const m::Expr& arg) {
  return atom(::fmt::format("{}({})", function, render_expr(arg)));
}

Rendered render_unary(const m::Expr& arg, const Context& context) {
  const Rendered operand = render_expr_in(arg, kNeutral);
  const std::string text = operand.precedence < kNotPrecedence
                               ? ::fmt::format("!({})", operand.text)
                               : ::fmt::format("!{}", operand.text);
  return apply_context(Rendered{text, std::nullopt, kNotPrecedence}, context);
}

// Logical exclusive or of floats, each operand compared with zero.
Rendered render_xor(const std::vector<m::Expr>& args, const Context& context) {
  if (args.empty()) return atom("0");
  if (args.size() == 1) return render_expr_in(args[0], context);
  std::string text = render_expr(args[0]);
  for (std::size_t i = 1; i < args.size(); ++i) {
    text = ::fmt::format("((({}) != 0.0f) != (({}) != 0.0f))", text, render_expr(args[i]));
  }
  return atom(std::move(text));
}

Rendered render_apply(const m::expr::Apply& apply, const Context& context) {
  switch (apply.op) {
    case Op::Add:
      return render_joined(OpClass::Plus, apply.args, context);
    case Op::Sub:
      return render_joined(OpClass::Minus, apply.args, context);
    case Op::Mul:
      return render_joined(OpClass::Times, apply.args, context);
    case Op::Div:
      return render_joined(OpClass::Slash, apply.args, context);
    case Op::Gt:
      return render_joined(OpClass::Greater, apply.args, context);
    case Op::Ge:
      return render_joined(OpClass::GreaterEq, apply.args, context);
    case Op::Lt:
      return render_joined(OpClass::Less, apply.args, context);
    case Op::Le:
      return render_joined(OpClass::LessEq, apply.args, context);
    case Op::Eq:
      return render_joined(OpClass::EqualEqual, apply.args, context);
    case Op::Ne:
      return render_joined(OpClass::NotEqual, apply.args, context);
    case Op::And:
      return render_joined(OpClass::AndAnd, apply.args, context);
    case Op::Or:
      return render_joined(OpClass::OrOr, apply.args, context);
    case Op::Max:
      return render_call_fold("fmaxf", apply.args, context);
    case Op::Min:
      return render_call_fold("fminf", apply.args, context);
    case Op::Pow:
      return render_call_fold("powf", apply.args, context);
    case Op::Log:
      return render_unary_call("logf", first_arg(apply.op, apply.args));
    case Op::Not:
      return render_unary(first_arg(apply.op, apply.args), context);
    case Op::Xor:
      return render_xor(apply.args, context);
  }
  std::unreachable();
}

// The terms of a sum, leftmost first.
template <class Sink>
void collect_add_terms(const m::Expr& expr, Sink& terms) {
  if (const auto* add = std::get_if<m::expr::Add>(&expr.node)) {
    collect_add_terms(*add->lhs, terms);
    collect_add_terms(*add->rhs, terms);
    return;
  }
  terms.push_back(&expr);
}

// A flat data offset that is a sum prints one term per line.
std::string render_index(std::string base, bool base_is_data, const m::Expr& index) {
  if (!base_is_data || !std::holds_alternative<m::expr::Add>(index.node)) {
    return ::fmt::format("{}[{}]", base, render_expr(index));
  }
  std::vector<const m::Expr*> terms;
  collect_add_terms(index, terms);
  std::string lines;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (i > 0) lines += '\n';
    lines += render_expr(*terms[i]);
    if (i + 1 < terms.size()) lines += " +";
  }
  return ::fmt::format("{}[\n{}\n]", base, fmt::indent(lines));
}

bool is_data_field(const m::Expr& expr) {
  const auto* field = std::get_if<m::expr::Field>(&expr.node);
  return field != nullptr && field->field == m::FieldName::Data;
}

bool is_data_field(const m::Place& place) {
  const auto* field = std::get_if<m::place::Field>(&place.node);
  return field != nullptr && field->field == m::FieldName::Data;
}

}  // namespace

std::string_view op_class_text(OpClass cls) {
  return info(cls).text;
}
int op_class_precedence(OpClass cls) {
  return info(cls).precedence;
}

std::string render_float(float value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INFINITY" : "(-INFINITY)";
  std::string text = ::fmt::format("{:.8f}", static_cast<double>(value));
  while (!text.empty() && text.back() == '0') text.pop_back();
  while (!text.empty() && text.back() == '.') text.pop_back();
  return text + (text.find('.') != std::string::npos ? "f" : ".0f");
}

Rendered render_expr_in(const m::Expr& expr, const Context& context) {
  struct Visitor {
    const Context& context;
    Rendered operator()(const m::expr::Usize& e) const {
      return atom(::fmt::format("{}", e.value));
    }
    Rendered operator()(const m::expr::Float& e) const { return atom(render_float(e.value)); }
    Rendered operator()(const m::expr::Ident& e) const { return atom(e.name); }
    Rendered operator()(const m::expr::Index& e) const {
      return atom(render_index(render_expr(*e.base), is_data_field(*e.base), *e.index));
    }
    Rendered operator()(const m::expr::Field& e) const {
      return atom(::fmt::format("{}.{}", render_expr(*e.base), m::field_name(e.field)));
    }
    Rendered operator()(const m::expr::Convert& e) const {
      return atom(
          ::fmt::format("{}(&{})", m::conversion_name(e.conversion), render_expr(*e.operand)));
    }
    Rendered operator()(const m::expr::Apply& e) const { return render_apply(e, context); }
    Rendered operator()(const m::expr::Add& e) const {
      return render_binary(OpClass::Plus, *e.lhs, *e.rhs, context);
    }
    Rendered operator()(const m::expr::Sub& e) const {
      return render_binary(OpClass::Minus, *e.lhs, *e.rhs, context);
    }
    Rendered operator()(const m::expr::Mul& e) const {
      return render_binary(OpClass::Times, *e.lhs, *e.rhs, context);
    }
    Rendered operator()(const m::expr::Div& e) const {
      return render_binary(OpClass::Slash, *e.lhs, *e.rhs, context);
    }
    Rendered operator()(const m::expr::Rem& e) const {
      return render_binary(OpClass::Percent, *e.lhs, *e.rhs, context);
    }
    Rendered operator()(const m::expr::Lt& e) const {
      return render_binary(OpClass::Less, *e.lhs, *e.rhs, context);
    }
    Rendered operator()(const m::expr::Eq& e) const {
      return render_binary(OpClass::EqualEqual, *e.lhs, *e.rhs, context);
    }
    Rendered operator()(const m::expr::And& e) const {
      return render_binary(OpClass::AndAnd, *e.lhs, *e.rhs, context);
    }
  };
  return std::visit(Visitor{context}, expr.node);
}

std::string render_expr(const m::Expr& expr) {
  return render_expr_in(expr, kNeutral).text;
}

std::string render_place_raw(const m::Place& place) {
  struct Visitor {
    std::string operator()(const m::place::Var& p) const { return p.name; }
    std::string operator()(const m::place::Index& p) const {
      return render_index(render_place_raw(*p.base), is_data_field(*p.base), p.index);
    }
    std::string operator()(const m::place::Field& p) const {
      return ::fmt::format("{}.{}", render_place_raw(*p.base), m::field_name(p.field));
    }
  };
  return std::visit(Visitor{}, place.node);
}

void render_defect(std::string_view message) {
  std::fprintf(stderr, "quarn: internal error in the C renderer: %.*s\n",
               static_cast<int>(message.size()), message.data());
  std::abort();
}

}  // namespace compiler::backends::c
