// The compile pipeline shared by the backends: a component lowered step by
// step, each lowering validating what it produces, down to the execution
// plan both code generators start from; and for the CPU, on to the module.
#pragma once

#include "ir/component.h"
#include "ir/exec_plan.h"
#include "ir/module.h"
#include "lower/error.h"

namespace compiler::pipeline {

lower::LowerResult<ir::exec_plan::ExecPlan> lower_component_to_exec_plan(
    const ir::component::Component& component);

lower::LowerResult<ir::module::Module> lower_component_to_module(const ir::component::Component& component);

}  // namespace compiler::pipeline
