#include "pipeline.h"

#include "lower/component_to_graph.h"
#include "lower/exec_plan_to_module.h"
#include "lower/kernel_program_to_exec_plan.h"
#include "lower/node_to_stage.h"
#include "lower/stage_to_kernel_program.h"

namespace compiler::pipeline {

lower::LowerResult<ir::exec_plan::ExecPlan> lower_component_to_exec_plan(
    const ir::component::Component& component) {
  auto graph = lower::component_to_graph::lower_component_to_graph(component);
  if (!graph) return std::unexpected(graph.error());
  auto stages = lower::node_to_stage::lower_node_graph_to_stage_program(*graph);
  if (!stages) return std::unexpected(stages.error());
  auto kernels = lower::stage_to_kernel_program::lower_stage_program_to_kernel_program(*stages);
  if (!kernels) return std::unexpected(kernels.error());
  return lower::kernel_program_to_exec_plan::lower_kernel_program_to_exec_plan(*kernels);
}

lower::LowerResult<ir::module::Module> lower_component_to_module(
    const ir::component::Component& component) {
  auto plan = lower_component_to_exec_plan(component);
  if (!plan) return std::unexpected(plan.error());
  return lower::exec_plan_to_module::lower_exec_plan_to_module(*plan);
}

}  // namespace compiler::pipeline
