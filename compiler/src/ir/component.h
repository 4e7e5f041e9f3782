// A component: a program with tensor inputs and tensor outputs, built from
// parsed expressions and the combinators. A component is a tree whose leaves
// are Identity and Expr; every child is exclusively owned by its parent, so
// copying a component copies the whole tree. The variant order is the tag
// order every traversal numbers by: Identity, Expr, Compose, Chain, Fanout,
// Pair, Swap, BindInput.
#pragma once

#include <cstddef>
#include <variant>

#include "ir/box.h"
#include "ir/expr.h"

namespace compiler::ir::component {

struct Component;

struct Identity {
  bool operator==(const Identity&) const = default;
};

// `second` runs first and feeds the first Free inputs of `first`.
struct Compose {
  Box<Component> first;
  Box<Component> second;
  bool operator==(const Compose&) const = default;
};

// `first` runs first and feeds the first Free inputs of `second`.
struct Chain {
  Box<Component> first;
  Box<Component> second;
  bool operator==(const Chain&) const = default;
};

// Both parts share their leading Free inputs.
struct Fanout {
  Box<Component> first;
  Box<Component> second;
  bool operator==(const Fanout&) const = default;
};

// Both parts run side by side on separate inputs.
struct Pair {
  Box<Component> first;
  Box<Component> second;
  bool operator==(const Pair&) const = default;
};

// Exchanges the first two outputs of `inner`.
struct Swap {
  Box<Component> inner;
  bool operator==(const Swap&) const = default;
};

// Marks input `index` of `inner` Bound: never fed by a combinator.
struct BindInput {
  Box<Component> inner;
  std::size_t index = 0;
  bool operator==(const BindInput&) const = default;
};

using ComponentNode =
    std::variant<Identity, expr::Expr, Compose, Chain, Fanout, Pair, Swap, BindInput>;

struct Component {
  ComponentNode node;

  Component(ComponentNode n) : node(std::move(n)) {}
  Component(Identity i) : node(i) {}
  Component(expr::Expr e) : node(std::move(e)) {}
  Component(Compose c) : node(std::move(c)) {}
  Component(Chain c) : node(std::move(c)) {}
  Component(Fanout c) : node(std::move(c)) {}
  Component(Pair c) : node(std::move(c)) {}
  Component(Swap c) : node(std::move(c)) {}
  Component(BindInput c) : node(std::move(c)) {}

  // Consuming combinators; the receiver becomes the first child.
  Component pair(Component other) &&;
  Component chain(Component other) &&;
  Component fanout(Component other) &&;
  Component compose(Component other) &&;
  Component swap() &&;
  Component bind_input(std::size_t index) &&;

  bool operator==(const Component&) const = default;
};

}  // namespace compiler::ir::component
