// Lowers a node graph to a stage program. Consumes a node graph (validated
// again here), produces a stage program that passes validate_stage_graph.
//
// An operand without a compute site reads its producer's materialized stage:
// one stage per node, computed once on its own with a full-tensor (semantic)
// output layout, shared by all such readers. An operand with a compute site
// gets a consumer-scoped copy of its producer that runs inside the
// consumer's loop nest: the copy's loops that line up with the consumer's
// loops up to the site become Consumer axes, and its output is stored as a
// tile with one dimension per remaining loop (split layout). Identical copies
// are built once. Every shape is expressed through program input dimensions.
#pragma once

#include "ir/node.h"
#include "ir/stage.h"
#include "lower/error.h"

namespace compiler::lower::node_to_stage {

LowerResult<ir::stage::StageProgram> lower_node_graph_to_stage_program(
    const ir::node::NodeGraph& node_graph);

}  // namespace compiler::lower::node_to_stage
