// The combinators: each builds one new component node that owns its
// arguments. None of them inspects or validates what it is given.
#pragma once

#include <cstddef>

#include "ir/component.h"

namespace compiler::component::build {

using ir::component::Component;

Component pair(Component first, Component second);
Component chain(Component first, Component second);
Component fanout(Component first, Component second);
Component compose(Component first, Component second);
Component swap(Component inner);
Component bind_input(Component inner, std::size_t index);

}  // namespace compiler::component::build

#include <expected>
#include <string>
#include <vector>

#include "ir/graph.h"

namespace compiler::component::build {

// The boundary of a component: one state per input, and the output count.
struct ComponentBoundary {
  std::vector<ir::graph::Input> inputs;
  std::size_t outputs = 0;
  bool operator==(const ComponentBoundary&) const = default;
};

// Marks input `index` of `inputs` Bound, the one binding rule that the
// boundary and the graph lowering share; fails with "cannot bind nonexistent
// input {}" or "input {} is already bound".
std::expected<void, std::string> bind_input_state(std::vector<ir::graph::Input>& inputs,
                                                  std::size_t index);

// Evaluates the boundary rules over the tree; fails with "cannot bind
// nonexistent input {}" or "input {} is already bound".
std::expected<ComponentBoundary, std::string> component_boundary(const Component& component);

}  // namespace compiler::component::build
