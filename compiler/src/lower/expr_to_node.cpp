#include "lower/expr_to_node.h"

#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "check/node.h"

namespace compiler::lower::expr_to_node {

namespace {

using ir::expr::Expr;
using ir::expr::Pattern;
using ir::node::LoopLevel;
using ir::node::MultiIndex;
using ir::node::Node;
using ir::node::Site;
using ir::node::SplitList;

std::unexpected<LowerError> fail(std::string message) {
  return std::unexpected(LowerError::from_node(std::move(message)));
}

// The letter as UTF-8; a value that is no Unicode scalar is shown as \u{hex}.
std::string letter_text(char32_t c) {
  const auto v = static_cast<std::uint32_t>(c);
  std::string out;
  if (v < 0x80) {
    out += static_cast<char>(v);
  } else if (v < 0x800) {
    out += static_cast<char>(0xC0 | (v >> 6));
    out += static_cast<char>(0x80 | (v & 0x3F));
  } else if (v < 0x10000 && (v < 0xD800 || v > 0xDFFF)) {
    out += static_cast<char>(0xE0 | (v >> 12));
    out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (v & 0x3F));
  } else if (v >= 0x10000 && v <= 0x10FFFF) {
    out += static_cast<char>(0xF0 | (v >> 18));
    out += static_cast<char>(0x80 | ((v >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (v & 0x3F));
  } else {
    out = fmt::format("\\u{{{:x}}}", v);
  }
  return out;
}

// Distinct letters in numbering order: output first, then operands.
class LetterTable {
 public:
  explicit LetterTable(const Expr& expr) {
    add(expr.output);
    for (const Pattern& p : expr.inputs) add(p);
  }

  std::size_t size() const { return letters_.size(); }
  char32_t letter(std::size_t index) const { return letters_[index]; }

  std::optional<std::size_t> find(char32_t letter) const {
    const auto it = std::ranges::find(letters_, letter);
    if (it == letters_.end()) return std::nullopt;
    return static_cast<std::size_t>(it - letters_.begin());
  }

  // Every letter of `pattern` is in the table by construction.
  MultiIndex number(const Pattern& pattern) const {
    MultiIndex out;
    out.reserve(pattern.size());
    for (char32_t c : pattern) out.push_back(*find(c));
    return out;
  }

 private:
  void add(const Pattern& pattern) {
    for (char32_t c : pattern) {
      if (!find(c)) letters_.push_back(c);
    }
  }

  std::vector<char32_t> letters_;
};

// The first split entry of each index's letter; letters outside the table
// are ignored.
std::vector<SplitList> splits_by_index(const Expr& expr, const LetterTable& table) {
  std::vector<SplitList> splits(table.size());
  for (std::size_t t = 0; t < table.size(); ++t) {
    const auto it = std::ranges::find_if(
        expr.splits, [&](const ir::expr::SplitEntry& s) { return s.axis == table.letter(t); });
    if (it != expr.splits.end()) splits[t] = it->factors;
  }
  return splits;
}

std::vector<LoopLevel> default_order(const std::vector<SplitList>& splits) {
  std::vector<LoopLevel> order;
  for (std::size_t t = 0; t < splits.size(); ++t) {
    for (std::size_t l = 0; l <= splits[t].size(); ++l) order.push_back({t, l});
  }
  return order;
}

// The loop order, compute sites and requested init site written in the
// permutation. A directive names the innermost loop written before it.
struct ResolvedSchedule {
  std::vector<LoopLevel> order;
  std::vector<std::optional<Site>> compute;
  std::optional<Site> requested_init;
};

LowerResult<ResolvedSchedule> resolve_permutation(const Expr& expr, const LetterTable& table) {
  ResolvedSchedule out;
  out.compute.resize(expr.inputs.size());
  Site current = ir::node::Root{};
  struct Visitor {
    const Expr& expr;
    const LetterTable& table;
    ResolvedSchedule& out;
    Site& current;
    std::expected<void, LowerError> operator()(const ir::expr::AxisPart& part) const {
      const auto index = table.find(part.axis);
      if (!index) return fail(fmt::format("unknown local axis `{}`", letter_text(part.axis)));
      const LoopLevel level{*index, part.primes};
      out.order.push_back(level);
      current = ir::node::At{level};
      return {};
    }
    std::expected<void, LowerError> operator()(const ir::expr::Compute& c) const {
      if (c.operand >= expr.inputs.size()) {
        return fail(fmt::format("permutation references nonexistent input {}", c.operand));
      }
      out.compute[c.operand] = current;
      return {};
    }
    std::expected<void, LowerError> operator()(const ir::expr::OutputInit&) const {
      out.requested_init = current;
      return {};
    }
  };
  for (const auto& item : expr.order) {
    if (auto ok = std::visit(Visitor{expr, table, out, current}, item); !ok) {
      return std::unexpected(ok.error());
    }
  }
  return out;
}

}  // namespace

LowerResult<Node> lower_expr_to_node_unchecked(const Expr& expr) {
  const LetterTable table(expr);
  Node node;
  node.op = expr.op;
  node.rank = table.size();
  for (const Pattern& p : expr.inputs) node.inputs.push_back(table.number(p));
  node.output = table.number(expr.output);
  node.splits = splits_by_index(expr, table);

  if (expr.order.empty()) {
    node.order = default_order(node.splits);
    node.compute.assign(expr.inputs.size(), std::nullopt);
    auto required = check::node::required_init_site_from_order(node.rank, node.output,
                                                               node.splits, node.order);
    if (!required) return fail(required.error());
    node.init = *required;
  } else {
    auto schedule = resolve_permutation(expr, table);
    if (!schedule) return std::unexpected(schedule.error());
    node.order = std::move(schedule->order);
    node.compute = std::move(schedule->compute);
    auto required = check::node::required_init_site_from_order(node.rank, node.output,
                                                               node.splits, node.order);
    if (!required) return fail(required.error());
    if (!*required) {
      if (schedule->requested_init) {
        return fail("pointwise node cannot have an output init directive");
      }
    } else if (!schedule->requested_init) {
      node.init = *required;
    } else {
      if (auto ok = check::node::validate_init_site_from_order(node.output, node.order,
                                                               *schedule->requested_init);
          !ok) {
        return fail(ok.error());
      }
      node.init = schedule->requested_init;
    }
  }

  if (auto ok = check::node::validate_node(node); !ok) return fail(ok.error());
  return node;
}

}  // namespace compiler::lower::expr_to_node
