// The stage program: the representation between the node graph and the
// kernel program. Every stage is one loop nest: an ordered list of loop axes
// (outermost first), one operator, one output tensor and its operand tensors,
// each tensor described by its index pattern and a storage layout expressed
// through the loop axes. Stages are the payload of the generic dataflow graph;
// its inputs are the program inputs and its outputs the program outputs.
//
// Beside the graph, the program carries a shape for every program input and
// every stage, each dimension being a dimension of some program input, so
// output shapes can be computed at run time without evaluating anything.
//
// Invariants of a valid program (checked by check/stage.h):
// - a stage is a reduction exactly when some axis iterates an index absent
//   from its output pattern; reductions, and only they, have an init site;
// - index patterns never repeat an index;
// - a layout with Semantic dimensions has exactly one per index of its
//   owner's pattern, in pattern order;
// - no axis is Pruned (that variant exists only while a stage is built);
// - a stage with Consumer axes or Consumer references (consumer-scoped) is
//   not a program output, has consumers, and each of them reads it through an
//   operand with a compute site, inside a loop nest that has those axes;
// - every stage node has exactly one output slot.
#pragma once

#include <cstddef>
#include <optional>
#include <variant>
#include <vector>

#include "ir/common.h"
#include "ir/graph.h"

namespace compiler::ir::stage {

using common::ExtentKind;
using common::Index;
using common::Op;

// The position of an axis in its stage's `axes`.
using AxisId = std::size_t;

// One logical dimension: the extent of dimension `dim` of program input
// `input` at run time.
struct ShapeDim {
  std::size_t input = 0;
  std::size_t dim = 0;
  bool operator==(const ShapeDim&) const = default;
  auto operator<=>(const ShapeDim&) const = default;
};

struct ProgramShape {
  std::vector<ShapeDim> dims;
  bool operator==(const ProgramShape&) const = default;
};

// Before and outside all loops of the stage.
struct Root {
  bool operator==(const Root&) const = default;
};
// Inside the loop of axis `axis`.
struct At {
  AxisId axis = 0;
  bool operator==(const At&) const = default;
};
// Always held as std::optional<Site>: absence is a third state.
using Site = std::variant<Root, At>;

// An axis removed in favour of local axis `by`; only exists while a stage is
// being built, never in a valid stage.
struct Pruned {
  AxisId by = 0;
  ExtentKind extent;
  Index index = 0;
  bool operator==(const Pruned&) const = default;
};
// Not a loop of this stage: axis `axis` of the consumer in whose loop nest
// this stage runs.
struct Consumer {
  AxisId axis = 0;
  ExtentKind extent;
  Index index = 0;
  bool operator==(const Consumer&) const = default;
};
// A loop of this stage.
struct Local {
  ExtentKind extent;
  Index index = 0;
  bool operator==(const Local&) const = default;
};
using Axis = std::variant<Pruned, Consumer, Local>;

// The semantic index an axis iterates, whatever its variant.
inline Index axis_index(const Axis& axis) {
  return std::visit([](const auto& a) { return a.index; }, axis);
}
inline const ExtentKind& axis_extent(const Axis& axis) {
  return std::visit([](const auto& a) -> const ExtentKind& { return a.extent; }, axis);
}

// A reference from a layout to an axis: of this stage (LocalRef) or of the
// consumer stage it runs in (ConsumerRef).
struct LocalRef {
  AxisId axis = 0;
  bool operator==(const LocalRef&) const = default;
};
struct ConsumerRef {
  AxisId axis = 0;
  bool operator==(const ConsumerRef&) const = default;
};
using AxisRef = std::variant<LocalRef, ConsumerRef>;

// One storage dimension covering semantic index `index`, addressed by the
// group of axes that together reconstruct it (its split levels).
struct SemanticDim {
  Index index = 0;
  std::vector<AxisRef> axes;
  bool operator==(const SemanticDim&) const = default;
};
// One storage dimension addressed by a single axis; its extent is the
// extent of that axis.
struct SingleDim {
  AxisRef axis;
  bool operator==(const SingleDim&) const = default;
};
using LayoutDim = std::variant<SemanticDim, SingleDim>;

struct Layout {
  std::vector<LayoutDim> dims;  // outermost storage dimension first
  bool operator==(const Layout&) const = default;
};

struct Output {
  std::optional<Site> init;    // accumulator initialisation; reductions only
  std::vector<Index> indexes;  // index pattern; its length is the rank
  Layout layout;
  bool operator==(const Output&) const = default;
};

// One operand of a stage, parallel to the incoming edges of its node.
struct Input {
  // Where, in this stage's loop nest, the operand's producer is computed;
  // absent for program inputs and producers computed on their own.
  std::optional<Site> compute;
  std::vector<Index> indexes;
  Layout layout;
  bool operator==(const Input&) const = default;
};

struct Stage {
  Output output;
  std::vector<Axis> axes;  // outermost loop first
  std::vector<Input> inputs;
  Op op = Op::Add;
  bool operator==(const Stage&) const = default;
};

using StageGraph = graph::Graph<Stage>;

struct StageProgram {
  std::vector<ProgramShape> input_shapes;  // one per program input
  std::vector<ProgramShape> stage_shapes;  // one per stage: its output shape
  StageGraph graph;
  bool operator==(const StageProgram&) const = default;
};

}  // namespace compiler::ir::stage
