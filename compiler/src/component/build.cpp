#include "component/build.h"

#include <utility>

namespace compiler::component::build {

using namespace ir::component;

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
Component swap(Component inner) { return Swap{std::move(inner)}; }
Component bind_input(Component inner, std::size_t index) {
  return BindInput{std::move(inner), index};
}

}  // namespace compiler::component::build

namespace compiler::ir::component {

namespace b = compiler::component::build;

Component Component::pair(Component other) && { return b::pair(std::move(*this), std::move(other)); }
Component Component::chain(Component other) && {
  return b::chain(std::move(*this), std::move(other));
}
Component Component::fanout(Component other) && {
  return b::fanout(std::move(*this), std::move(other));
}
Component Component::compose(Component other) && {
  return b::compose(std::move(*this), std::move(other));
}
Component Component::swap() && { return b::swap(std::move(*this)); }
Component Component::bind_input(std::size_t index) && {
  return b::bind_input(std::move(*this), index);
}

}  // namespace compiler::ir::component
