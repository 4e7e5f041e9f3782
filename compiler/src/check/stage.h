// Validation of the stage program. Run by the node-to-stage lowering on its
// result and by the stage-to-kernel lowering on its input. Every check stops
// at the first failure and returns its message; nothing is corrected.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <vector>

#include "ir/stage.h"

namespace compiler::check::stage {

// The decimal numbers of `indexes` joined by "," (empty list: "").
std::string format_indexes(const std::vector<ir::stage::Index>& indexes);

// One layout against the axis count of its stage and its owner's pattern:
// local references name existing axes, semantic dimensions cover indexes of
// the pattern with a non-empty group of distinct axes, and the semantic
// dimensions, if any, list the pattern exactly in order. Consumer
// references are left to validate_stage_graph.
std::expected<void, std::string> validate_layout(std::size_t axis_count,
                                                 const std::vector<ir::stage::Index>& indexes,
                                                 const std::vector<ir::stage::LayoutDim>& dims);

// One stage: output pattern, output layout, init site, axes (none pruned),
// operands (pattern, layout, compute site), then reduction/init agreement.
std::expected<void, std::string> validate_stage(const ir::stage::Stage& stage);

// The whole graph: each stage and its edges, the graph outputs, edge and
// output-slot counts, then the consumer-scope rules.
std::expected<void, std::string> validate_stage_graph(const ir::stage::StageGraph& graph);

}  // namespace compiler::check::stage
