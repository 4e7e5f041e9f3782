#include "check/node.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using namespace compiler::ir::node;
using compiler::check::node::format_axis_ref;
using compiler::check::node::format_site;
using compiler::check::node::required_init_site_from_order;
using compiler::check::node::validate_axis_ref;
using compiler::check::node::validate_init_site_from_order;
using compiler::check::node::validate_node;

// rank 2, output [0], input [0, 1], order (0,0) (1,0), init At(0): the sum
// of each row, valid as built.
Node row_sum() {
  Node n;
  n.op = Op::Add;
  n.rank = 2;
  n.inputs = {{0, 1}};
  n.output = {0};
  n.splits = {{}, {}};
  n.order = {{0, 0}, {1, 0}};
  n.compute = {std::nullopt};
  n.init = At{{0, 0}};
  return n;
}

// rank 2 pointwise product with index 1 split by 4.
Node split_product() {
  Node n;
  n.op = Op::Mul;
  n.rank = 2;
  n.inputs = {{0, 1}, {0, 1}};
  n.output = {0, 1};
  n.splits = {{}, {4}};
  n.order = {{0, 0}, {1, 0}, {1, 1}};
  n.compute = {std::nullopt, std::nullopt};
  return n;
}

TEST(FormatTest, AxisRefsAndSites) {
  EXPECT_EQ(format_axis_ref(2, 0), "2");
  EXPECT_EQ(format_axis_ref(2, 1), "2'");
  EXPECT_EQ(format_axis_ref(0, 3), "0'''");
  EXPECT_EQ(format_site(Root{}), "Root");
  EXPECT_EQ(format_site(At{{1, 2}}), "At(1'')");
}

TEST(ValidateAxisRefTest, IndexThenLevel) {
  const std::vector<SplitList> splits = {{}, {4, 2}};
  EXPECT_TRUE(validate_axis_ref(2, splits, 1, 2));
  EXPECT_TRUE(validate_axis_ref(2, splits, 0, 0));
  EXPECT_EQ(validate_axis_ref(2, splits, 2, 0).error(), "references nonexistent index 2");
  EXPECT_EQ(validate_axis_ref(2, splits, 1, 3).error(), "references nonexistent loop level 1'''");
  EXPECT_EQ(validate_axis_ref(2, splits, 0, 1).error(), "references nonexistent loop level 0'");
}

TEST(ValidateNodeTest, ValidNodes) {
  Node scalar_copy;
  scalar_copy.rank = 0;
  scalar_copy.inputs = {{}};
  scalar_copy.compute = {std::nullopt};
  EXPECT_TRUE(validate_node(scalar_copy));

  EXPECT_TRUE(validate_node(row_sum()));
  EXPECT_TRUE(validate_node(split_product()));

  Node inner_init = row_sum();
  inner_init.init = At{{1, 0}};
  EXPECT_TRUE(validate_node(inner_init));

  Node full = row_sum();  // reduce everything to a scalar
  full.rank = 1;
  full.inputs = {{0}};
  full.output = {};
  full.splits = {{}};
  full.order = {{0, 0}};
  full.init = Root{};
  EXPECT_TRUE(validate_node(full));

  // An index found only in the output is allowed here.
  Node broadcast = split_product();
  broadcast.inputs = {{0}, {0}};
  EXPECT_TRUE(validate_node(broadcast));
}

TEST(ValidateNodeTest, Messages) {
  struct Case {
    const char* name;
    Node node;
    std::string message;
  };
  const auto with = [](Node n, auto edit) {
    edit(n);
    return n;
  };
  const std::vector<Case> cases = {
      {"input index", with(row_sum(), [](Node& n) { n.inputs = {{0, 2}}; }),
       "input 0 references nonexistent index 2"},
      {"second input index", with(split_product(), [](Node& n) { n.inputs[1] = {5}; }),
       "input 1 references nonexistent index 5"},
      {"output index", with(row_sum(), [](Node& n) { n.output = {3}; }),
       "output references nonexistent index 3"},
      {"output repeat", with(split_product(), [](Node& n) { n.output = {1, 0, 1}; }),
       "output repeats index 1"},
      {"unreferenced", with(row_sum(), [](Node& n) { n.rank = 3; }),
       "node index 2 is not referenced"},
      {"split lists", with(row_sum(), [](Node& n) { n.splits = {{}}; }),
       "node has 1 split lists for rank 2"},
      {"order index", with(row_sum(), [](Node& n) { n.order = {{0, 0}, {2, 0}}; }),
       "order references nonexistent index 2"},
      {"order level", with(row_sum(), [](Node& n) { n.order = {{0, 1}, {1, 0}}; }),
       "order references nonexistent loop level 0'"},
      {"order repeat", with(split_product(), [](Node& n) { n.order = {{1, 1}, {0, 0}, {1, 1}}; }),
       "order repeats loop level 1'"},
      {"order short", with(split_product(), [](Node& n) { n.order = {{0, 0}, {1, 1}}; }),
       "order must contain 3 loop levels, found 2"},
      {"compute count", with(row_sum(), [](Node& n) { n.compute = {}; }),
       "node has 0 compute sites for 1 inputs"},
      {"compute level",
       with(split_product(), [](Node& n) { n.compute = {Root{}, At{{1, 2}}}; }),
       "compute site for input 1 references nonexistent loop level 1''"},
      {"compute index", with(row_sum(), [](Node& n) { n.compute = {At{{4, 0}}}; }),
       "compute site for input 0 references nonexistent index 4"},
      {"pointwise init", with(split_product(), [](Node& n) { n.init = Root{}; }),
       "pointwise node cannot have an init site"},
      {"reduction without init", with(row_sum(), [](Node& n) { n.init.reset(); }),
       "reduction node must have an init site"},
      {"init outside output loop", with(row_sum(), [](Node& n) { n.init = Root{}; }),
       "init site must be at or inside At(0)"},
      {"init after reordering", with(row_sum(), [](Node& n) {
         n.order = {{1, 0}, {0, 0}};
         n.init = At{{1, 0}};
       }),
       "init site must be at or inside At(0)"},
      {"init off the order", with(row_sum(), [](Node& n) { n.init = At{{0, 1}}; }),
       "init site is outside loop order"},
  };
  for (const Case& c : cases) {
    const auto result = validate_node(c.node);
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error(), c.message) << c.name;
  }
}

TEST(RequiredInitSiteTest, FromOrder) {
  struct Case {
    const char* name;
    std::size_t rank;
    MultiIndex output;
    std::vector<SplitList> splits;
    std::vector<LoopLevel> order;
    std::optional<Site> expected;
  };
  const std::vector<Case> cases = {
      {"pointwise", 2, {1, 0}, {{}, {}}, {{0, 0}, {1, 0}}, std::nullopt},
      {"rank 0", 0, {}, {}, {}, std::nullopt},
      {"row sum", 2, {0}, {{}, {}}, {{0, 0}, {1, 0}}, At{{0, 0}}},
      {"reduced outermost", 2, {0}, {{}, {}}, {{1, 0}, {0, 0}}, At{{0, 0}}},
      {"full reduction", 1, {}, {{}}, {{0, 0}}, Root{}},
      {"split output innermost level", 2, {0}, {{4}, {}}, {{0, 0}, {0, 1}, {1, 0}}, At{{0, 1}}},
      {"split output interleaved", 2, {0}, {{4}, {}}, {{0, 0}, {1, 0}, {0, 1}}, At{{0, 1}}},
  };
  for (const Case& c : cases) {
    const auto result = required_init_site_from_order(c.rank, c.output, c.splits, c.order);
    ASSERT_TRUE(result) << c.name << ": " << result.error();
    EXPECT_EQ(*result, c.expected) << c.name;
  }
  // An order that misses an output level cannot place the accumulator.
  EXPECT_EQ(required_init_site_from_order(2, {0}, {{4}, {}}, {{0, 0}, {1, 0}}).error(),
            "order does not contain every output loop level");
  EXPECT_EQ(required_init_site_from_order(2, {0}, {{}, {}}, {}).error(),
            "order does not contain every output loop level");
}

TEST(ValidateInitSiteTest, AtOrInsideInnermostOutputLoop) {
  const MultiIndex output = {0};
  const std::vector<LoopLevel> order = {{1, 0}, {0, 0}, {2, 0}};
  EXPECT_TRUE(validate_init_site_from_order(output, order, At{{0, 0}}));
  EXPECT_TRUE(validate_init_site_from_order(output, order, At{{2, 0}}));
  EXPECT_EQ(validate_init_site_from_order(output, order, At{{1, 0}}).error(),
            "init site must be at or inside At(0)");
  EXPECT_EQ(validate_init_site_from_order(output, order, Root{}).error(),
            "init site must be at or inside At(0)");
  EXPECT_EQ(validate_init_site_from_order(output, order, At{{3, 0}}).error(),
            "init site is outside loop order");
  // With no output loop any site in the order, and Root, are fine.
  EXPECT_TRUE(validate_init_site_from_order({}, order, Root{}));
  EXPECT_TRUE(validate_init_site_from_order({}, order, At{{1, 0}}));
}

}  // namespace
