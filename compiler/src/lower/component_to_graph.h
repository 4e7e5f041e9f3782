// Lowers a component to a node graph: validates every expression, lowers
// each Expr leaf to one node and wires the leaves together by the same
// boundary rules the combinators define (which inputs of one part are fed by
// outputs of the other, which inputs remain, in what order the outputs come
// out), then validates the graph. The graph's input states and output count
// therefore equal the component's boundary, and every feeding part's nodes
// come before the nodes of the part it feeds.
#pragma once

#include <expected>
#include <string>

#include "ir/component.h"
#include "ir/node.h"
#include "lower/error.h"

namespace compiler::lower::component_to_graph {

// The graph of one sub-component; the whole component's becomes the final
// node graph unchanged.
using PartialGraph = ir::node::NodeGraph;

LowerResult<ir::node::NodeGraph> lower_component_to_graph(const ir::component::Component& component);

// The recursive worker, without validation of the component or of the result.
std::expected<PartialGraph, std::string> lower_component_to_partial(
    const ir::component::Component& component);

}  // namespace compiler::lower::component_to_graph
