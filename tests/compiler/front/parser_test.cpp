#include "front/parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ir/common.h"

namespace compiler::front::parser {
void PrintTo(const ParseError& e, std::ostream* os) { *os << debug_string(e); }
}  // namespace compiler::front::parser

namespace {

using compiler::front::parser::debug_string;
using compiler::front::parser::parse_component;
using compiler::front::parser::parse_expr;
using compiler::front::parser::ParseError;
using compiler::ir::common::kAllOps;
using compiler::ir::common::Op;
using compiler::ir::common::op_token;
using namespace compiler::ir::expr;

Pattern pat(const std::string& letters) { return Pattern(letters.begin(), letters.end()); }

struct ErrorCase {
  std::string text;
  std::size_t offset;
  std::string message;
};

TEST(Parser, RejectsWithMessageAndOffset) {
  const std::vector<ErrorCase> cases = {
      {"", 0, "expected q-expression"},
      {"  \t\n\r\f", 6, "expected q-expression"},
      {"ab cd ~ x", 3, "expected operator after input pattern"},
      {"ab", 2, "expected operator after input pattern"},
      {"a & b ~ a", 2, "expected operator after input pattern"},
      {"a = b ~ a", 2, "expected operator after input pattern"},
      {"a | b ~ a", 2, "expected operator after input pattern"},
      {"ab\v~ a", 2, "expected operator after input pattern"},  // vertical tab is no whitespace
      {".. ~ a", 1, "scalar pattern must be `.`"},
      {". a ~ a", 2, "expected operator after input pattern"},
      {".a ~ a", 1, "scalar pattern must be `.`"},
      {"ab ~", 4, "expected pattern"},
      {"ab ~ 1", 5, "expected pattern"},
      {"+ ~ a", 2, "expected pattern"},
      {"!a ~ a", 0, "expected pattern"},  // a lone "!" is no operator
      {"\xc3\xa9 ~ a", 0, "expected pattern"},
      {"ab ~ \xc3\xa9", 5, "expected pattern"},
      {"ab + cd", 7, "expected `~` between inputs and output"},
      {"ab + cd x", 8, "expected `~` between inputs and output"},
      {"ab ~ a |", 8, "expected axis"},
      {"ab ~ a | 1", 9, "expected axis"},
      {"ab ~ a | a:4,", 13, "expected axis"},
      {"ab ~ a | a:4, :2 |", 14, "expected axis"},
      {"ab ~ a | a4 |", 10, "expected `:` after split axis"},
      {"ab ~ a | a", 10, "expected `:` after split axis"},
      {"ab ~ a | a: |", 12, "expected integer"},
      {"ab ~ a | a:-1 |", 11, "expected integer"},
      {"ab ~ a | a:1:x |", 13, "expected integer"},
      {"ab ~ a | a:18446744073709551616 |", 11, "invalid integer"},
      {"ab ~ a | a:99999999999999999999 |", 11, "invalid integer"},
      {"ab ~ a | a:4, a:2 |", 18, "duplicate split entry for axis a"},
      {"ab ~ a | a:4, b:1, a:2:3 |", 25, "duplicate split entry for axis a"},
      {"ab ~ a | a:4", 12, "expected second `|` in schedule"},
      {"ab ~ a | a:4 b:2 |", 13, "expected second `|` in schedule"},
      {"ab ~ a | | 0 1 0", 16, "duplicate compute directive for input 0"},
      {"ab ~ a | | 11", 13, "duplicate compute directive for input 1"},
      {"ab ~ a | | 2", 11, "expected operand `0` or `1`"},
      {"ab ~ a | | !!", 13, "duplicate output init directive"},
      {"ab ~ a | | A", 11, "expected axis, `!`, or operand in permutation"},
      {"ab ~ a | | a ?", 13, "expected axis, `!`, or operand in permutation"},
      {"ab ~ a | | a\xc3\xa9", 12, "expected axis, `!`, or operand in permutation"},
      {"ab ~ a | | a\v", 12, "expected axis, `!`, or operand in permutation"},
      {"ab ~ a x", 7, "unexpected trailing input"},
      {"ab ~ a\v", 6, "unexpected trailing input"},
      {"ab ~ ab1", 7, "unexpected trailing input"},
  };
  for (const ErrorCase& c : cases) {
    auto result = parse_expr(c.text);
    ASSERT_FALSE(result.has_value()) << c.text;
    EXPECT_EQ(result.error(), (ParseError{c.offset, c.message})) << c.text;
    EXPECT_LE(result.error().offset, c.text.size()) << c.text;
  }
}

struct SuccessCase {
  std::string text;
  Expr expected;
};

TEST(Parser, AcceptsTheThreeFormsAndSchedules) {
  const std::vector<SuccessCase> cases = {
      {"ab ~ ba", Expr{{pat("ab")}, pat("ba"), {}, {}, Op::Add}},
      {"+ab ~ ba", Expr{{pat("ab")}, pat("ba"), {}, {}, Op::Add}},
      {"-ab ~ ab", Expr{{pat("ab")}, pat("ab"), {}, {}, Op::Sub}},
      {"ab >= ab ~ ab", Expr{{pat("ab"), pat("ab")}, pat("ab"), {}, {}, Op::Ge}},
      {"a>b~a", Expr{{pat("a"), pat("b")}, pat("a"), {}, {}, Op::Max}},
      {"!!a ~ a", Expr{{pat("a")}, pat("a"), {}, {}, Op::Not}},
      {". ~ .", Expr{{Pattern{}}, Pattern{}, {}, {}, Op::Add}},
      {". * a ~ a", Expr{{Pattern{}, pat("a")}, pat("a"), {}, {}, Op::Mul}},
      {"\fab\r~\tb\n", Expr{{pat("ab")}, pat("b"), {}, {}, Op::Add}},
      {"ab ~ a ||", Expr{{pat("ab")}, pat("a"), {}, {}, Op::Add}},
      {"ab ~ a | | ", Expr{{pat("ab")}, pat("a"), {}, {}, Op::Add}},
      {"ab ~ a | a:4:2, b : 3 | a a' a'' b",
       Expr{{pat("ab")},
            pat("a"),
            {{'a', {4, 2}}, {'b', {3}}},
            {AxisPart{0, 'a'}, AxisPart{1, 'a'}, AxisPart{2, 'a'}, AxisPart{0, 'b'}},
            Op::Add}},
      {"ab ~ a | a:18446744073709551615:007 |",
       Expr{{pat("ab")}, pat("a"), {{'a', {18446744073709551615ull, 7}}}, {}, Op::Add}},
      {"ab ~ a | | a ' ' b", Expr{{pat("ab")}, pat("a"), {}, {AxisPart{2, 'a'}, AxisPart{0, 'b'}}, Op::Add}},
      {"ij*jk~ik||1i!j0k",
       Expr{{pat("ij"), pat("jk")},
            pat("ik"),
            {},
            {Compute{1}, AxisPart{0, 'i'}, OutputInit{}, AxisPart{0, 'j'}, Compute{0},
             AxisPart{0, 'k'}},
            Op::Mul}},
  };
  for (const SuccessCase& c : cases) {
    auto result = parse_expr(c.text);
    ASSERT_TRUE(result.has_value()) << c.text << ": " << debug_string(result.error());
    EXPECT_EQ(*result, c.expected) << c.text;
  }
}

TEST(Parser, EveryOperatorTokenInBothForms) {
  for (Op op : kAllOps) {
    const std::string token(op_token(op));
    auto infix = parse_expr("ab " + token + " ab ~ ab");
    ASSERT_TRUE(infix.has_value()) << token;
    EXPECT_EQ(infix->op, op) << token;
    EXPECT_EQ(infix->inputs.size(), 2u);
    auto prefix = parse_expr(token + "ab ~ ab");
    ASSERT_TRUE(prefix.has_value()) << token;
    EXPECT_EQ(prefix->op, op) << token;
    EXPECT_EQ(prefix->inputs.size(), 1u);
  }
}

TEST(Parser, ComponentWrapsTheExpression) {
  auto component = parse_component("ij ~ i");
  ASSERT_TRUE(component.has_value());
  const auto* expr = std::get_if<Expr>(&component->node);
  ASSERT_NE(expr, nullptr);
  EXPECT_EQ(*expr, (Expr{{pat("ij")}, pat("i"), {}, {}, Op::Add}));
}

TEST(Parser, DebugTextEscapesQuotesAndBackslashes) {
  EXPECT_EQ(debug_string(ParseError{4, "expected pattern"}),
            "ParseError { offset: 4, message: \"expected pattern\" }");
  EXPECT_EQ(debug_string(ParseError{0, "a\"b\\c"}),
            "ParseError { offset: 0, message: \"a\\\"b\\\\c\" }");
}

}  // namespace
