#include "check/component.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "component/build.h"
#include "front/parser.h"

namespace compiler::check::component {
void PrintTo(const ExprError& e, std::ostream* os) {
  *os << "expr " << e.expr << ": " << e.message;
}
}  // namespace compiler::check::component

namespace {

using compiler::check::component::AxisRef;
using compiler::check::component::display;
using compiler::check::component::expected_axis_refs;
using compiler::check::component::ExprError;
using compiler::check::component::PatternKind;
using compiler::check::component::validate_component_inner;
using compiler::ir::component::Component;
using compiler::ir::component::Identity;
using compiler::ir::expr::AxisPart;
using compiler::ir::expr::Compute;
using compiler::ir::expr::Expr;
using compiler::ir::expr::OutputInit;
using compiler::ir::expr::SplitEntry;
namespace b = compiler::component::build;

Expr parsed_expr(const std::string& text) {
  auto e = compiler::front::parser::parse_expr(text);
  if (!e) {
    ADD_FAILURE() << "cannot parse " << text << ": " << debug_string(e.error());
    return Expr{};
  }
  return *e;
}

Component parsed(const std::string& text) { return parsed_expr(text); }

// An expression the parser cannot produce: `text` parsed, then changed.
Component edited(const std::string& text, const std::function<void(Expr&)>& edit) {
  Expr e = parsed_expr(text);
  edit(e);
  return e;
}

const std::string kBinary = "binary operator `Sub` must be pointwise; output axes must match the "
                            "union of input axes";

struct Case {
  std::string name;
  Component component;
  std::optional<ExprError> expected;  // nothing: valid
};

ExprError err(std::size_t expr, std::string message) { return {expr, std::move(message)}; }
ExprError err(std::string message) { return {0, std::move(message)}; }

TEST(ValidateComponent, Table) {
  const std::vector<Case> cases = {
      // Valid expressions.
      {"row sum", parsed("ij ~ i"), std::nullopt},
      {"scalar copy", parsed(". ~ ."), std::nullopt},
      {"full reduction to a scalar", parsed("ij ~ ."), std::nullopt},
      {"repeats inside an input", parsed("ii ~ i"), std::nullopt},
      {"transposed copy", parsed("ij ~ ji"), std::nullopt},
      {"not pointwise", parsed("!!ij ~ ij"), std::nullopt},
      {"outer product", parsed("i * j ~ ji"), std::nullopt},
      {"max reduction", parsed(">ij ~ j"), std::nullopt},
      {"split and full permutation", parsed("ij ~ i | j:4 | i j j'"), std::nullopt},
      {"split without permutation", parsed("ij ~ i | j:4, i:2:2 |"), std::nullopt},
      {"factor 0 is accepted", parsed("ij ~ i | j:0 | j' i j"), std::nullopt},
      {"init after the output axes", parsed("ij ~ i | | i ! j"), std::nullopt},
      {"init after every split output part", parsed("ij ~ i | i:2 | i j i' !"), std::nullopt},
      {"directives are optional", parsed("ij * ij ~ ij | | j i"), std::nullopt},
      {"both compute directives", parsed("ij * ij ~ ij | | 1 i 0 j"), std::nullopt},
      {"identity has no expressions", Identity{}, std::nullopt},

      // Patterns.
      {"invalid input letter", edited("ij ~ i", [](Expr& e) { e.inputs[0][1] = U'J'; }),
       err("input 0 uses invalid axis `J`; axes must be [a-z]")},
      {"invalid letter in the second input",
       edited("i * i ~ i", [](Expr& e) { e.inputs[1] = {U'\u00e9'}; }),
       err("input 1 uses invalid axis `\u00e9`; axes must be [a-z]")},
      {"a code point that is no character",
       edited("i ~ i", [](Expr& e) { e.inputs[0] = {char32_t{0xD800}}; }),
       err("input 0 uses invalid axis `\uFFFD`; axes must be [a-z]")},
      {"invalid output letter", edited("i ~ i", [](Expr& e) { e.output = {U'i', U'_'}; }),
       err("output uses invalid axis `_`; axes must be [a-z]")},
      {"inputs checked before the output",
       edited("i ~ i", [](Expr& e) { e.inputs[0] = {U'0'}; e.output = {U'1'}; }),
       err("input 0 uses invalid axis `0`; axes must be [a-z]")},
      {"output repeats an axis", parsed("i ~ ii"), err("output pattern repeats axis `i`")},
      {"first repeated occurrence", parsed("ijk ~ kjijk"), err("output pattern repeats axis `j`")},
      {"repeat checked before the form", parsed("i ~ jj"), err("output pattern repeats axis `j`")},

      // Operator form.
      {"output axis missing from the input", parsed("i ~ ij"),
       err("output axis `j` does not appear in the input")},
      {"smallest missing output axis", parsed("i ~ kji"),
       err("output axis `j` does not appear in the input")},
      {"not as a reduction", parsed("!!ij ~ i"),
       err("operator `Not` is only valid in unary pointwise form")},
      {"sub as a reduction", parsed("-ij ~ i"), err("operator `Sub` is not reducible")},
      {"log reduced to a scalar", parsed("$i ~ ."), err("operator `Log` is not reducible")},
      {"comparison as a reduction", parsed(">=ij ~ j"), err("operator `Ge` is not reducible")},
      {"binary reduction", parsed("ij - ij ~ i"), err(kBinary)},
      {"binary output misses an input axis", parsed("i - j ~ i"), err(kBinary)},
      {"binary output has an extra axis",
       edited("i - i ~ i", [](Expr& e) { e.output = {U'i', U'k'}; }), err(kBinary)},
      {"binary not", parsed("i !! i ~ i"),
       err("operator `Not` is only valid in unary pointwise form")},
      {"binary log", parsed("i $ i ~ i"), err("operator `Log` is only valid in unary form")},
      {"no inputs", edited("i ~ i", [](Expr& e) { e.inputs.clear(); e.output.clear(); }),
       err("operator `Add` expects one or two inputs, found 0")},
      {"three inputs", edited("i * i ~ i", [](Expr& e) { e.inputs.push_back({U'i'}); }),
       err("operator `Mul` expects one or two inputs, found 3")},
      {"form checked before splits", parsed("-ij ~ i | k:2 |"), err("operator `Sub` is not reducible")},

      // Splits.
      {"invalid split letter",
       edited("ij ~ i", [](Expr& e) { e.splits = {SplitEntry{U'I', {2}}}; }),
       err("split uses invalid axis `I`; axes must be [a-z]")},
      {"split of an unknown axis", parsed("ij ~ i | k:2 |"),
       err("split references unknown local axis `k`")},
      {"duplicate split",
       edited("ij ~ i", [](Expr& e) { e.splits = {{U'j', {2}}, {U'i', {3}}, {U'j', {5}}}; }),
       err("duplicate split entry for axis `j`")},
      {"contradictory splits",
       edited("ij ~ i", [](Expr& e) { e.splits = {{U'j', {2}}, {U'j', {2, 2}}}; }),
       err("contradictory split entries for axis `j`")},
      {"splits checked before the permutation", parsed("ij ~ i | k:2 | q"),
       err("split references unknown local axis `k`")},

      // Permutation.
      {"invalid permutation letter",
       edited("ij ~ i", [](Expr& e) { e.order = {AxisPart{0, U'i'}, AxisPart{0, U'Z'}}; }),
       err("permutation uses invalid axis `Z`; axes must be [a-z]")},
      {"permutation names an unknown axis", parsed("ij ~ i | | i k"),
       err("permutation references unknown local axis `k`")},
      {"level beyond the split", parsed("ij ~ i | j:4 | i j j''"),
       err("permutation references nonexistent split part `j''`")},
      {"level of an unsplit axis", parsed("ij ~ i | | i' j"),
       err("permutation references nonexistent split part `i'`")},
      {"axis repeated", parsed("ij ~ i | | i j i"), err("permutation repeats axis part `i`")},
      {"split part repeated", parsed("ij ~ i | j:4 | i j' j j'"),
       err("permutation repeats axis part `j'`")},
      {"compute for a missing operand", parsed("ij ~ i | | i j 1"),
       err("permutation references nonexistent input 1")},
      {"compute for operand 2",
       edited("i * i ~ i", [](Expr& e) { e.order = {Compute{2}, AxisPart{0, U'i'}}; }),
       err("permutation references nonexistent input 2")},
      {"duplicate compute",
       edited("i * i ~ i", [](Expr& e) { e.order = {Compute{0}, Compute{1}, Compute{0}}; }),
       err("duplicate compute directive for input 0")},
      {"duplicate init",
       edited("ij ~ i", [](Expr& e) {
         e.order = {AxisPart{0, U'i'}, OutputInit{}, OutputInit{}, AxisPart{0, U'j'}};
       }),
       err("duplicate output init directive")},
      {"init without a reduction", parsed("ij ~ ij | | i j !"),
       err("output init directive is only valid for reductions")},
      {"init before the output axis", parsed("ij ~ i | | j ! i"),
       err("output init cannot appear before output axis part `i`")},
      {"init before the smallest missing part", parsed("ijk ~ ij | | k ! j i"),
       err("output init cannot appear before output axis part `i`")},
      {"init before a split output part", parsed("ij ~ i | i:2 | i j ! i'"),
       err("output init cannot appear before output axis part `i'`")},
      {"split part missing", parsed("ij ~ i | j:4 | i j"),
       err("permutation must list each local axis part exactly once; expected 3, found 2")},
      {"axis missing", parsed("ij ~ i | | i !"),
       err("permutation must list each local axis part exactly once; expected 2, found 1")},
      {"only directives", parsed("ij * ij ~ ij | | 0 1"),
       err("permutation must list each local axis part exactly once; expected 2, found 0")},

      // Numbering inside combined components: Expr leaves depth-first, first
      // child before second; Identity takes no number.
      {"second of a chain", b::chain(parsed("ab ~ a"), parsed("-ab ~ a")),
       err(1, "operator `Sub` is not reducible")},
      {"first failure wins", b::chain(parsed("i ~ ii"), parsed("-ab ~ a")),
       err(0, "output pattern repeats axis `i`")},
      {"compose numbers first before second", b::compose(parsed("i ~ i"), parsed("i ~ ij")),
       err(1, "output axis `j` does not appear in the input")},
      {"nested combinators",
       b::pair(b::chain(parsed("ij ~ i"), parsed("i ~ i")),
               b::fanout(Identity{}, b::swap(b::bind_input(parsed("i ~ ii"), 0)))),
       err(2, "output pattern repeats axis `i`")},
      {"valid combination",
       b::fanout(b::chain(parsed("ij ~ i"), Identity{}), b::bind_input(parsed("i * i ~ i"), 1)),
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t counter = 0;
    const auto result = validate_component_inner(c.component, counter);
    if (!c.expected) {
      EXPECT_TRUE(result.has_value()) << "expr " << result.error().expr << ": "
                                      << result.error().message;
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error(), *c.expected);
    }
  }
}

// The counter numbers leaves from its starting value and ends past the last
// expression, so a caller can number several components in a row.
TEST(ValidateComponent, CounterAdvancesOverExpressions) {
  const Component c = b::chain(b::pair(parsed("i ~ i"), Identity{}), parsed("i * i ~ i"));
  std::size_t counter = 5;
  ASSERT_TRUE(validate_component_inner(c, counter).has_value());
  EXPECT_EQ(counter, 7u);

  counter = 5;
  const auto bad = validate_component_inner(b::chain(parsed("i ~ i"), parsed("-ij ~ i")), counter);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().expr, 6u);
}

TEST(ValidateComponent, DisplayForms) {
  EXPECT_EQ(display(PatternKind{PatternKind::Input{3}}), "input 3");
  EXPECT_EQ(display(PatternKind{PatternKind::Output{}}), "output");
  EXPECT_EQ(display(AxisRef{U'k', 0}), "k");
  EXPECT_EQ(display(AxisRef{U'k', 2}), "k''");
}

TEST(ValidateComponent, ExpectedAxisRefs) {
  const auto refs = expected_axis_refs({U'j', U'i', U'k'}, {{U'j', 2}, {U'q', 1}, {U'k', 0}});
  const std::set<AxisRef> want = {{U'i', 0}, {U'j', 0}, {U'j', 1}, {U'j', 2}, {U'k', 0}};
  EXPECT_EQ(refs, want);
  EXPECT_TRUE(expected_axis_refs({}, {{U'j', 2}}).empty());
}

}  // namespace
