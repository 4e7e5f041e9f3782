// Checks, in order, for each expression:
//   1. every input and output letter is an axis 'a'..'z';
//   2. the output pattern names no axis twice;
//   3. operator form: one input (output axes come from the input; `Not` only
//      pointwise; reductions only with a reducible operator), two inputs
//      (pointwise, not `Not`), any other arity is rejected;
//   4. split entries name valid local axes, at most once each;
//   5. a non-empty permutation lists every level of every local axis exactly
//      once, names only existing operands in compute directives (once each),
//      and places one output init directive, in reductions only, after every
//      level of every output axis.
#include "check/component.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <type_traits>
#include <utility>

namespace compiler::check::component {

using ir::common::Op;
using ir::expr::AxisPart;
using ir::expr::Compute;
using ir::expr::Expr;
using ir::expr::OutputInit;
using ir::expr::Pattern;

namespace {

using Result = std::expected<void, ExprError>;

bool is_axis(char32_t c) { return c >= U'a' && c <= U'z'; }

// The character as UTF-8; a value that is no Unicode scalar value (a
// surrogate or beyond U+10FFFF) shows as U+FFFD.
std::string letter_text(char32_t c) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
  std::string out;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
  return out;
}

std::set<char32_t> letters_of(const Pattern& pattern) { return {pattern.begin(), pattern.end()}; }

class ExprValidator {
 public:
  ExprValidator(const Expr& expr, std::size_t number) : expr_(expr), number_(number) {}

  Result run() {
    if (auto r = check_patterns(); !r) return r;
    if (auto r = check_form(); !r) return r;
    if (auto r = check_splits(); !r) return r;
    return check_order();
  }

 private:
  std::unexpected<ExprError> fail(std::string message) const {
    return std::unexpected(ExprError{number_, std::move(message)});
  }

  Result check_letters(const Pattern& pattern, const std::string& kind) const {
    for (char32_t c : pattern) {
      if (!is_axis(c)) {
        return fail(fmt::format("{} uses invalid axis `{}`; axes must be [a-z]", kind,
                                letter_text(c)));
      }
    }
    return {};
  }

  Result check_patterns() {
    for (std::size_t i = 0; i < expr_.inputs.size(); ++i) {
      const PatternKind kind{PatternKind::Input{i}};
      if (auto r = check_letters(expr_.inputs[i], display(kind)); !r) return r;
    }
    if (auto r = check_letters(expr_.output, display(PatternKind{PatternKind::Output{}})); !r) {
      return r;
    }
    std::set<char32_t> seen;
    for (char32_t c : expr_.output) {
      if (!seen.insert(c).second) {
        return fail(fmt::format("output pattern repeats axis `{}`", letter_text(c)));
      }
    }

    for (const Pattern& input : expr_.inputs) in_.insert(input.begin(), input.end());
    out_ = letters_of(expr_.output);
    local_ = in_;
    local_.insert(out_.begin(), out_.end());
    return {};
  }

  Result check_form() const {
    const bool pointwise = in_ == out_;
    const std::string_view name = ir::common::op_name(expr_.op);
    switch (expr_.inputs.size()) {
      case 1: {
        const auto missing = std::ranges::find_if(out_, [&](char32_t c) { return !in_.contains(c); });
        if (missing != out_.end()) {
          return fail(fmt::format("output axis `{}` does not appear in the input",
                                  letter_text(*missing)));
        }
        if (expr_.op == Op::Not && !pointwise) {
          return fail("operator `Not` is only valid in unary pointwise form");
        }
        if (!pointwise && !ir::common::op_reducible(expr_.op)) {
          return fail(fmt::format("operator `{}` is not reducible", name));
        }
        return {};
      }
      case 2:
        if (expr_.op == Op::Not) return fail("operator `Not` is only valid in unary pointwise form");
        // No code generator defines a two-operand logarithm: rendering one
        // would silently drop the second operand.
        if (expr_.op == Op::Log) return fail("operator `Log` is only valid in unary form");
        if (!pointwise) {
          return fail(fmt::format(
              "binary operator `{}` must be pointwise; output axes must match the union of input "
              "axes",
              name));
        }
        return {};
      default:
        return fail(fmt::format("operator `{}` expects one or two inputs, found {}", name,
                                expr_.inputs.size()));
    }
  }

  Result check_splits() {
    for (const auto& entry : expr_.splits) {
      const std::string axis = letter_text(entry.axis);
      if (!is_axis(entry.axis)) {
        return fail(fmt::format("split uses invalid axis `{}`; axes must be [a-z]", axis));
      }
      if (!local_.contains(entry.axis)) {
        return fail(fmt::format("split references unknown local axis `{}`", axis));
      }
      const auto [it, inserted] = split_counts_.try_emplace(entry.axis, entry.factors.size());
      if (inserted) continue;
      if (it->second == entry.factors.size()) {
        return fail(fmt::format("duplicate split entry for axis `{}`", axis));
      }
      return fail(fmt::format("contradictory split entries for axis `{}`", axis));
    }
    return {};
  }

  std::size_t split_count(char32_t axis) const {
    const auto it = split_counts_.find(axis);
    return it == split_counts_.end() ? 0 : it->second;
  }

  Result check_axis_part(const AxisPart& part) {
    const std::string axis = letter_text(part.axis);
    if (!is_axis(part.axis)) {
      return fail(fmt::format("permutation uses invalid axis `{}`; axes must be [a-z]", axis));
    }
    if (!local_.contains(part.axis)) {
      return fail(fmt::format("permutation references unknown local axis `{}`", axis));
    }
    const AxisRef ref{part.axis, part.primes};
    if (part.primes > split_count(part.axis)) {
      return fail(fmt::format("permutation references nonexistent split part `{}`", display(ref)));
    }
    if (!seen_.insert(ref).second) {
      return fail(fmt::format("permutation repeats axis part `{}`", display(ref)));
    }
    return {};
  }

  Result check_compute(const Compute& compute) {
    if (compute.operand >= expr_.inputs.size()) {
      return fail(fmt::format("permutation references nonexistent input {}", compute.operand));
    }
    if (computed_[compute.operand]) {
      return fail(fmt::format("duplicate compute directive for input {}", compute.operand));
    }
    computed_[compute.operand] = true;
    return {};
  }

  Result check_output_init(const std::set<AxisRef>& output_parts) {
    if (output_init_seen_) return fail("duplicate output init directive");
    if (local_ == out_) return fail("output init directive is only valid for reductions");
    for (const AxisRef& ref : output_parts) {
      if (!seen_.contains(ref)) {
        return fail(
            fmt::format("output init cannot appear before output axis part `{}`", display(ref)));
      }
    }
    output_init_seen_ = true;
    return {};
  }

  Result check_order() {
    if (expr_.order.empty()) return {};
    const std::set<AxisRef> expected = expected_axis_refs(local_, split_counts_);
    const std::set<AxisRef> output_parts = expected_axis_refs(out_, split_counts_);
    for (const auto& item : expr_.order) {
      const Result r = std::visit(
          [&](const auto& v) -> Result {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, AxisPart>) {
              return check_axis_part(v);
            } else if constexpr (std::is_same_v<T, Compute>) {
              return check_compute(v);
            } else {
              static_assert(std::is_same_v<T, OutputInit>);
              return check_output_init(output_parts);
            }
          },
          item);
      if (!r) return r;
    }
    // Every accepted part lies in `expected`, so equal sizes mean equal sets.
    if (seen_.size() != expected.size()) {
      return fail(fmt::format(
          "permutation must list each local axis part exactly once; expected {}, found {}",
          expected.size(), seen_.size()));
    }
    return {};
  }

  const Expr& expr_;
  std::size_t number_;
  std::set<char32_t> in_;
  std::set<char32_t> out_;
  std::set<char32_t> local_;
  std::map<char32_t, std::size_t> split_counts_;
  std::set<AxisRef> seen_;
  // Compute directives are indexed by operand; the operand is an 8-bit value.
  std::array<bool, 256> computed_{};
  bool output_init_seen_ = false;
};

}  // namespace

std::string display(const PatternKind& kind) {
  struct Visitor {
    std::string operator()(const PatternKind::Input& input) const {
      return fmt::format("input {}", input.index);
    }
    std::string operator()(const PatternKind::Output&) const { return "output"; }
  };
  return std::visit(Visitor{}, kind.kind);
}

std::string display(const AxisRef& ref) {
  return letter_text(ref.axis) + std::string(ref.level, '\'');
}

std::set<AxisRef> expected_axis_refs(const std::set<char32_t>& axes,
                                     const std::map<char32_t, std::size_t>& split_counts) {
  std::set<AxisRef> refs;
  for (char32_t axis : axes) {
    const auto it = split_counts.find(axis);
    const std::size_t levels = it == split_counts.end() ? 0 : it->second;
    for (std::size_t level = 0; level <= levels; ++level) refs.insert(AxisRef{axis, level});
  }
  return refs;
}

std::expected<void, ExprError> validate_expr(const Expr& expr, std::size_t number) {
  return ExprValidator(expr, number).run();
}

std::expected<void, ExprError> validate_component_inner(const ir::component::Component& component,
                                                        std::size_t& counter) {
  namespace c = ir::component;
  struct Visitor {
    std::size_t& counter;
    Result both(const c::Component& first, const c::Component& second) const {
      if (auto r = validate_component_inner(first, counter); !r) return r;
      return validate_component_inner(second, counter);
    }
    Result operator()(const c::Identity&) const { return {}; }
    Result operator()(const Expr& e) const { return validate_expr(e, counter++); }
    Result operator()(const c::Compose& n) const { return both(*n.first, *n.second); }
    Result operator()(const c::Chain& n) const { return both(*n.first, *n.second); }
    Result operator()(const c::Fanout& n) const { return both(*n.first, *n.second); }
    Result operator()(const c::Pair& n) const { return both(*n.first, *n.second); }
    Result operator()(const c::Swap& n) const { return validate_component_inner(*n.inner, counter); }
    Result operator()(const c::BindInput& n) const {
      return validate_component_inner(*n.inner, counter);
    }
  };
  return std::visit(Visitor{counter}, component.node);
}

}  // namespace compiler::check::component
