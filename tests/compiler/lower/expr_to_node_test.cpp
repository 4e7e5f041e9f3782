#include "lower/expr_to_node.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "front/parser.h"
#include "ir/print_node.h"

namespace compiler::ir::node {
// Failures show the node in its printed form.
void PrintTo(const Node& node, std::ostream* os) {
  *os << "\n" << print_node_graph(NodeGraph{{}, {{node, {}, 1}}, {}});
}
}  // namespace compiler::ir::node

namespace {

using namespace compiler::ir::node;
using compiler::ir::expr::AxisPart;
using compiler::ir::expr::Compute;
using compiler::ir::expr::Expr;
using compiler::ir::expr::OutputInit;
using compiler::lower::expr_to_node::lower_expr_to_node_unchecked;

Expr parse(const std::string& text) {
  auto e = compiler::front::parser::parse_expr(text);
  EXPECT_TRUE(e) << text;
  return *e;
}

TEST(LowerExprToNodeTest, Results) {
  struct Case {
    std::string text;
    Node expected;
  };
  const std::optional<Site> none;
  const std::vector<Case> cases = {
      {"ij ~ i", {Op::Add, 2, {{0, 1}}, {0}, {{}, {}}, {{0, 0}, {1, 0}}, {none}, At{{0, 0}}}},
      // Output letters are numbered first.
      {"ji ~ i", {Op::Add, 2, {{1, 0}}, {0}, {{}, {}}, {{0, 0}, {1, 0}}, {none}, At{{0, 0}}}},
      {"ab * bc ~ cab",
       {Op::Mul, 3, {{1, 2}, {2, 0}}, {0, 1, 2}, {{}, {}, {}}, {{0, 0}, {1, 0}, {2, 0}}, {none, none},
        none}},
      // Reduced letters follow in order of first appearance across operands.
      {"kji ~ j",
       {Op::Add, 3, {{1, 0, 2}}, {0}, {{}, {}, {}}, {{0, 0}, {1, 0}, {2, 0}}, {none}, At{{0, 0}}}},
      // Default order: index order, split levels outermost first; a split
      // output index puts the init at its innermost level.
      {"ij ~ i | j:4 |",
       {Op::Add, 2, {{0, 1}}, {0}, {{}, {4}}, {{0, 0}, {1, 0}, {1, 1}}, {none}, At{{0, 0}}}},
      {"ij ~ i | i:8:2, k:3 |",
       {Op::Add, 2, {{0, 1}}, {0}, {{8, 2}, {}}, {{0, 0}, {0, 1}, {0, 2}, {1, 0}}, {none},
        At{{0, 2}}}},
      {"ij ~ . | |", {Op::Add, 2, {{0, 1}}, {}, {{}, {}}, {{0, 0}, {1, 0}}, {none}, Root{}}},
      {". ~ .", {Op::Add, 0, {{}}, {}, {}, {}, {none}, none}},
      // Permutations and directives.
      {"ij ~ i | | i ! j", {Op::Add, 2, {{0, 1}}, {0}, {{}, {}}, {{0, 0}, {1, 0}}, {none}, At{{0, 0}}}},
      {"ij ~ i | | i j !", {Op::Add, 2, {{0, 1}}, {0}, {{}, {}}, {{0, 0}, {1, 0}}, {none}, At{{1, 0}}}},
      {"ij ~ . | | ! i j", {Op::Add, 2, {{0, 1}}, {}, {{}, {}}, {{0, 0}, {1, 0}}, {none}, Root{}}},
      {"ij ~ i | | j i", {Op::Add, 2, {{0, 1}}, {0}, {{}, {}}, {{1, 0}, {0, 0}}, {none}, At{{0, 0}}}},
      {"ab * ab ~ ab | | 1 a b 0",
       {Op::Mul, 2, {{0, 1}, {0, 1}}, {0, 1}, {{}, {}}, {{0, 0}, {1, 0}}, {At{{1, 0}}, Root{}},
        none}},
      {"ij ~ i | j:4 | j i j' 0 !",
       {Op::Add, 2, {{0, 1}}, {0}, {{}, {4}}, {{1, 0}, {0, 0}, {1, 1}}, {At{{1, 1}}},
        At{{1, 1}}}},
  };
  for (const Case& c : cases) {
    const auto node = lower_expr_to_node_unchecked(parse(c.text));
    ASSERT_TRUE(node) << c.text << ": " << node.error().message;
    EXPECT_EQ(*node, c.expected) << c.text;
  }
}

TEST(LowerExprToNodeTest, Failures) {
  struct Case {
    std::string name;
    Expr expr;
    std::string message;
  };
  std::vector<Case> cases = {
      {"pointwise init", parse("ij ~ ij | | i ! j"),
       "pointwise node cannot have an output init directive"},
      {"init before output loop", parse("ij ~ i | | j ! i"), "init site must be at or inside At(0)"},
      // Schedules the component validator would have rejected.
      {"missing output level", parse("ij ~ i | | j"),
       "order does not contain every output loop level"},
      {"missing reduced level", parse("ij ~ i | | i"), "order must contain 2 loop levels, found 1"},
      {"nonexistent level", parse("ij ~ i | | i j'"),
       "order references nonexistent loop level 1'"},
      {"repeated level", parse("ij ~ i | | i j j"), "order repeats loop level 1"},
      {"unknown axis", parse("ij ~ i | | i k"), "unknown local axis `k`"},
      {"compute of missing operand", parse("ij ~ i | | i j 1"),
       "permutation references nonexistent input 1"},
      {"output repeats", parse("i ~ ii"), "output repeats index 0"},
  };
  Expr odd_letter = parse("ij ~ i | | i j");
  odd_letter.order.push_back(AxisPart{0, U'\u00e9'});
  cases.push_back({"letter outside a-z", odd_letter, "unknown local axis `\u00e9`"});
  for (const Case& c : cases) {
    const auto node = lower_expr_to_node_unchecked(c.expr);
    ASSERT_FALSE(node) << c.name;
    EXPECT_EQ(node.error().message, c.message) << c.name;
  }
}

}  // namespace
