#include "component/build.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "front/parser.h"

namespace compiler::component::build {
void PrintTo(const ComponentBoundary& b, std::ostream* os) {
  *os << "[";
  for (auto state : b.inputs) *os << (state == ir::graph::Input::Free ? " Free" : " Bound");
  *os << " ], " << b.outputs << " outputs";
}
}  // namespace compiler::component::build

namespace {

using compiler::component::build::component_boundary;
using compiler::component::build::ComponentBoundary;
using compiler::ir::component::Component;
using compiler::ir::component::Identity;
using compiler::ir::graph::Input;
namespace b = compiler::component::build;

constexpr Input F = Input::Free;
constexpr Input B = Input::Bound;

Component parsed(const std::string& text) {
  auto c = compiler::front::parser::parse_component(text);
  if (!c) {
    ADD_FAILURE() << "cannot parse " << text << ": " << debug_string(c.error());
    return Identity{};
  }
  return *c;
}

Component id() { return Identity{}; }
// One input, one output.
Component unary() { return parsed("ab ~ a"); }
// Two Free inputs, one output.
Component binary() { return parsed("a * a ~ a"); }
// Two Free inputs, two outputs.
Component two_ids() { return b::pair(id(), id()); }

struct BoundaryCase {
  std::string name;
  Component component;
  std::vector<Input> inputs;
  std::size_t outputs;
};

TEST(ComponentBoundary, CountsAndStates) {
  const std::vector<BoundaryCase> cases = {
      {"identity", id(), {F}, 1},
      {"expr with two operands", parsed("ab * bc ~ abc"), {F, F}, 1},
      {"expr with one operand", unary(), {F}, 1},
      {"pair of identities", two_ids(), {F, F}, 2},
      {"pair keeps bound states in place", b::pair(b::bind_input(binary(), 1), id()), {F, B, F}, 2},
      // Chain: first's outputs feed second's first Free inputs.
      {"chain consumes one of two inputs", b::chain(unary(), binary()), {F, F}, 1},
      {"chain of contraction and reduction", b::chain(parsed("ij * jk ~ ijk"), parsed("ijk ~ ik")),
       {F, F}, 1},
      {"chain keeps outputs beyond the consumed inputs", b::chain(two_ids(), unary()), {F, F}, 2},
      {"chain skips a bound input", b::chain(unary(), b::bind_input(binary(), 0)), {F, B}, 1},
      {"chain into a fully bound component consumes nothing",
       b::chain(unary(), b::bind_input(unary(), 0)), {F, B}, 2},
      {"chain into identity", b::chain(binary(), id()), {F, F}, 1},
      // Compose: second runs first and feeds first.
      {"compose feeds first's Free inputs", b::compose(binary(), unary()), {F, F}, 1},
      {"compose skips a bound input", b::compose(b::bind_input(binary(), 0), two_ids()),
       {F, F, B}, 2},
      // Fanout: only Free inputs are shared.
      {"fanout shares all inputs", b::fanout(binary(), binary()), {F, F}, 2},
      {"fanout shares fewer than second has", b::fanout(unary(), binary()), {F, F}, 2},
      {"fanout does not share first's bound input",
       b::fanout(b::bind_input(binary(), 0), binary()), {B, F, F}, 2},
      {"fanout does not share second's bound input",
       b::fanout(binary(), b::bind_input(binary(), 0)), {F, F, B}, 2},
      {"swap of identity", b::swap(id()), {F}, 1},
      {"swap keeps counts and states", b::swap(b::pair(b::bind_input(unary(), 0), binary())),
       {B, F, F}, 2},
      {"bound input still counts", b::bind_input(binary(), 0), {B, F}, 1},
      {"bind both inputs", b::bind_input(b::bind_input(binary(), 0), 1), {B, B}, 1},
      {"bind an input of a combined component", b::bind_input(b::chain(unary(), binary()), 1),
       {F, B}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto boundary = component_boundary(c.component);
    ASSERT_TRUE(boundary.has_value()) << boundary.error();
    EXPECT_EQ(*boundary, (ComponentBoundary{c.inputs, c.outputs}));
  }
}

struct ErrorCase {
  std::string name;
  Component component;
  std::string message;
};

TEST(ComponentBoundary, Errors) {
  const auto missing = [](std::size_t index) { return b::bind_input(id(), index); };
  const auto twice = b::bind_input(b::bind_input(binary(), 0), 0);
  const std::vector<ErrorCase> cases = {
      {"nonexistent input", b::bind_input(binary(), 5), "cannot bind nonexistent input 5"},
      {"index equal to the input count", b::bind_input(two_ids(), 2),
       "cannot bind nonexistent input 2"},
      {"huge index", b::bind_input(id(), SIZE_MAX),
       "cannot bind nonexistent input 18446744073709551615"},
      {"bound twice", twice, "input 0 is already bound"},
      {"inner error before own index", b::bind_input(missing(4), 0),
       "cannot bind nonexistent input 4"},
      {"swap passes the error on", b::swap(missing(3)), "cannot bind nonexistent input 3"},
      // The first child's error wins in every two-part combinator.
      {"pair: first wins", b::pair(missing(7), twice), "cannot bind nonexistent input 7"},
      {"chain: first wins", b::chain(missing(7), twice), "cannot bind nonexistent input 7"},
      {"compose: first wins", b::compose(missing(7), twice), "cannot bind nonexistent input 7"},
      {"fanout: first wins", b::fanout(missing(7), twice), "cannot bind nonexistent input 7"},
      {"pair: second's error", b::pair(id(), twice), "input 0 is already bound"},
      {"chain: second's error", b::chain(id(), missing(2)), "cannot bind nonexistent input 2"},
      {"compose: second's error", b::compose(id(), missing(2)), "cannot bind nonexistent input 2"},
      {"fanout: second's error", b::fanout(id(), missing(2)), "cannot bind nonexistent input 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto boundary = component_boundary(c.component);
    ASSERT_FALSE(boundary.has_value());
    EXPECT_EQ(boundary.error(), c.message);
  }
}

TEST(ComponentBoundary, ComposeMirrorsChain) {
  const std::vector<std::pair<Component, Component>> parts = {
      {binary(), unary()},
      {unary(), binary()},
      {two_ids(), b::bind_input(binary(), 0)},
      {b::bind_input(binary(), 1), two_ids()},
      {b::fanout(binary(), unary()), b::pair(two_ids(), binary())},
  };
  for (const auto& [f, g] : parts) {
    const auto composed = component_boundary(b::compose(f, g));
    ASSERT_TRUE(composed.has_value());
    EXPECT_EQ(composed, component_boundary(b::chain(g, f)));
  }
}

// The consuming methods build the same tree as the free functions, with the
// receiver as the first child.
TEST(Combinators, MethodsMatchFreeFunctions) {
  EXPECT_EQ(unary().pair(binary()), b::pair(unary(), binary()));
  EXPECT_EQ(unary().chain(binary()), b::chain(unary(), binary()));
  EXPECT_EQ(unary().fanout(binary()), b::fanout(unary(), binary()));
  EXPECT_EQ(unary().compose(binary()), b::compose(unary(), binary()));
  EXPECT_EQ(unary().swap(), b::swap(unary()));
  EXPECT_EQ(unary().bind_input(3), b::bind_input(unary(), 3));
  EXPECT_NE(unary().chain(binary()), b::compose(unary(), binary()));
}

}  // namespace
