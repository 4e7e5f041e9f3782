#include "component/build.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>
#include <variant>

namespace compiler::component::build {

using namespace ir::component;
using ir::graph::Input;

Component pair(Component first, Component second) {
  return Pair{std::move(first), std::move(second)};
}
Component chain(Component first, Component second) {
  return Chain{std::move(first), std::move(second)};
}
Component fanout(Component first, Component second) {
  return Fanout{std::move(first), std::move(second)};
}
Component compose(Component first, Component second) {
  return Compose{std::move(first), std::move(second)};
}
Component swap(Component inner) {
  return Swap{std::move(inner)};
}
Component bind_input(Component inner, std::size_t index) {
  return BindInput{std::move(inner), index};
}

namespace {

using BoundaryResult = std::expected<ComponentBoundary, std::string>;

std::size_t free_count(const std::vector<Input>& states) {
  return static_cast<std::size_t>(std::ranges::count(states, Input::Free));
}

// `head` followed by `tail` without its first `consumed` Free entries: the
// inputs of `tail` that `consumed` values fed by the other part take away.
std::vector<Input> append_unconsumed(std::vector<Input> head, const std::vector<Input>& tail,
                                     std::size_t consumed) {
  head.reserve(head.size() + tail.size());
  for (Input state : tail) {
    if (state == Input::Free && consumed > 0) {
      --consumed;
      continue;
    }
    head.push_back(state);
  }
  return head;
}

// `feeder`'s outputs feed the first Free inputs of `fed`; outputs beyond the
// consumed inputs remain outputs of the result.
ComponentBoundary feed(const ComponentBoundary& feeder, const ComponentBoundary& fed) {
  const std::size_t consumed = std::min(feeder.outputs, free_count(fed.inputs));
  return {append_unconsumed(feeder.inputs, fed.inputs, consumed),
          feeder.outputs + fed.outputs - consumed};
}

BoundaryResult boundary_of(const Component& component);

// Computes both children in order (the first failure wins) and combines them.
template <class Combine>
BoundaryResult combine_children(const Component& first, const Component& second, Combine combine) {
  auto a = boundary_of(first);
  if (!a) return a;
  auto b = boundary_of(second);
  if (!b) return b;
  return combine(*a, *b);
}

BoundaryResult boundary_of(const Component& component) {
  struct Visitor {
    BoundaryResult operator()(const Identity&) const { return ComponentBoundary{{Input::Free}, 1}; }
    BoundaryResult operator()(const ir::expr::Expr& e) const {
      return ComponentBoundary{std::vector<Input>(e.inputs.size(), Input::Free), 1};
    }
    BoundaryResult operator()(const Compose& c) const {
      return combine_children(*c.first, *c.second,
                              [](const auto& a, const auto& b) { return feed(b, a); });
    }
    BoundaryResult operator()(const Chain& c) const {
      return combine_children(*c.first, *c.second,
                              [](const auto& a, const auto& b) { return feed(a, b); });
    }
    BoundaryResult operator()(const Fanout& c) const {
      return combine_children(
          *c.first, *c.second, [](const ComponentBoundary& a, const ComponentBoundary& b) {
            const std::size_t shared = std::min(free_count(a.inputs), free_count(b.inputs));
            return ComponentBoundary{append_unconsumed(a.inputs, b.inputs, shared),
                                     a.outputs + b.outputs};
          });
    }
    BoundaryResult operator()(const Pair& c) const {
      return combine_children(*c.first, *c.second,
                              [](const ComponentBoundary& a, const ComponentBoundary& b) {
                                return ComponentBoundary{append_unconsumed(a.inputs, b.inputs, 0),
                                                         a.outputs + b.outputs};
                              });
    }
    BoundaryResult operator()(const Swap& s) const { return boundary_of(*s.inner); }
    BoundaryResult operator()(const BindInput& b) const {
      auto inner = boundary_of(*b.inner);
      if (!inner) return inner;
      if (auto bound = compiler::component::build::bind_input_state(inner->inputs, b.index); !bound)
        return std::unexpected(bound.error());
      return inner;
    }
  };
  return std::visit(Visitor{}, component.node);
}

}  // namespace

std::expected<void, std::string> bind_input_state(std::vector<Input>& inputs, std::size_t index) {
  if (index >= inputs.size())
    return std::unexpected(fmt::format("cannot bind nonexistent input {}", index));
  if (inputs[index] == Input::Bound)
    return std::unexpected(fmt::format("input {} is already bound", index));
  inputs[index] = Input::Bound;
  return {};
}

std::expected<ComponentBoundary, std::string> component_boundary(const Component& component) {
  return boundary_of(component);
}

}  // namespace compiler::component::build

namespace compiler::ir::component {

namespace b = compiler::component::build;

Component Component::pair(Component other) && {
  return b::pair(std::move(*this), std::move(other));
}
Component Component::chain(Component other) && {
  return b::chain(std::move(*this), std::move(other));
}
Component Component::fanout(Component other) && {
  return b::fanout(std::move(*this), std::move(other));
}
Component Component::compose(Component other) && {
  return b::compose(std::move(*this), std::move(other));
}
Component Component::swap() && {
  return b::swap(std::move(*this));
}
Component Component::bind_input(std::size_t index) && {
  return b::bind_input(std::move(*this), index);
}

}  // namespace compiler::ir::component
