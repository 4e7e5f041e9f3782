#include "ir/common.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace compiler::ir::common {

namespace {

struct OpInfo {
  std::string_view name;
  std::string_view token;
  bool reducible;
};

constexpr std::array<OpInfo, kOpCount> kOpInfo = {{
    {"Add", "+", true},   {"Mul", "*", true},   {"Div", "/", false},  {"Sub", "-", false},
    {"Max", ">", true},   {"Min", "<", true},   {"Pow", "^", false},  {"Log", "$", false},
    {"Gt", ">>", false},  {"Ge", ">=", false},  {"Lt", "<<", false},  {"Le", "<=", false},
    {"Eq", "==", false},  {"Ne", "!=", false},  {"And", "&&", true},  {"Or", "||", true},
    {"Xor", "^^", true},  {"Not", "!!", false},
}};

const OpInfo& info(Op op) { return kOpInfo[static_cast<std::size_t>(op)]; }

}  // namespace

std::string_view op_name(Op op) { return info(op).name; }
std::string_view op_token(Op op) { return info(op).token; }
bool op_reducible(Op op) { return info(op).reducible; }

std::optional<Op> op_from_value(std::uint8_t value) {
  if (value >= kOpCount) return std::nullopt;
  return static_cast<Op>(value);
}

std::string debug_string(const ExtentKind& kind) {
  struct Visitor {
    std::string operator()(const Semantic&) const { return "Semantic"; }
    std::string operator()(const Base& b) const {
      return fmt::format("Base([{}])", fmt::join(b.factors, ", "));
    }
    std::string operator()(const Split& s) const {
      return fmt::format("Split {{ level: {}, factor: {} }}", s.level, s.factor);
    }
  };
  return std::visit(Visitor{}, kind);
}

}  // namespace compiler::ir::common
