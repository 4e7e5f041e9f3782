// The CPU backend's two operations on components: render (the whole
// pipeline down to C text) and compile (render, then build and load).
#include <utility>

#include "backends/c/render.h"
#include "backends/cpu.h"
#include "pipeline.h"

namespace q_core::backends::cpu {

std::expected<std::string, std::string> render(
    const compiler::ir::component::Component& component) {
  auto module = compiler::pipeline::lower_component_to_module(component);
  if (!module) return std::unexpected(compiler::lower::debug_string(module.error()));
  return compiler::backends::c::render(*module);
}

std::expected<Program, std::string> compile(const compiler::ir::component::Component& component) {
  auto text = render(component);
  if (!text) return std::unexpected(std::move(text.error()));
  return compile_c_source(*text);
}

}  // namespace q_core::backends::cpu
