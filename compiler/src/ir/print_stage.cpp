#include "ir/print_stage.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <string>
#include <vector>

namespace compiler::ir::stage {

namespace {

using graph::InputSource;
using graph::NodeSource;
using graph::Source;

std::string shape_text(const ProgramShape& shape) {
  std::vector<std::string> dims;
  for (const ShapeDim& d : shape.dims) dims.push_back(fmt::format("{}.{}", d.input, d.dim));
  return fmt::format("[{}]", fmt::join(dims, ", "));
}

std::string site_text(const std::optional<Site>& site) {
  if (!site) return "-";
  struct Visitor {
    std::string operator()(const Root&) const { return "Root"; }
    std::string operator()(const At& at) const { return fmt::format("At({})", at.axis); }
  };
  return std::visit(Visitor{}, *site);
}

std::string ref_text(const AxisRef& ref) {
  struct Visitor {
    std::string operator()(const LocalRef& r) const { return fmt::format("L{}", r.axis); }
    std::string operator()(const ConsumerRef& r) const { return fmt::format("C{}", r.axis); }
  };
  return std::visit(Visitor{}, ref);
}

std::string layout_text(const Layout& layout) {
  struct Visitor {
    std::string operator()(const SemanticDim& d) const {
      std::vector<std::string> refs;
      for (const AxisRef& r : d.axes) refs.push_back(ref_text(r));
      return fmt::format("{}:({})", d.index, fmt::join(refs, " "));
    }
    std::string operator()(const SingleDim& d) const { return ref_text(d.axis); }
  };
  std::vector<std::string> dims;
  for (const LayoutDim& d : layout.dims) dims.push_back(std::visit(Visitor{}, d));
  return fmt::format("[{}]", fmt::join(dims, ", "));
}

std::string source_text(const Source& source) {
  struct Visitor {
    std::string operator()(const InputSource& s) const { return fmt::format("input {}", s.index); }
    std::string operator()(const NodeSource& s) const {
      if (s.output == 0) return fmt::format("stage {}", s.node);
      return fmt::format("stage {} output {}", s.node, s.output);
    }
  };
  return std::visit(Visitor{}, source);
}

std::string axis_text(std::size_t position, const Axis& axis) {
  struct Visitor {
    std::string operator()(const Pruned& a) const { return fmt::format(" pruned by a{}", a.by); }
    std::string operator()(const Consumer& a) const {
      return fmt::format(" in consumer a{}", a.axis);
    }
    std::string operator()(const Local&) const { return ""; }
  };
  return fmt::format("for a{} index {} {}{}", position, axis_index(axis),
                     common::debug_string(axis_extent(axis)), std::visit(Visitor{}, axis));
}

void append_stage_body(std::string& out, const Stage& stage, const std::string& indent) {
  out += fmt::format("{}output [{}] init {} layout {}\n", indent,
                     fmt::join(stage.output.indexes, ","), site_text(stage.output.init),
                     layout_text(stage.output.layout));
  for (std::size_t j = 0; j < stage.inputs.size(); ++j) {
    const Input& input = stage.inputs[j];
    out += fmt::format("{}input {} [{}]", indent, j, fmt::join(input.indexes, ","));
    if (input.compute) out += fmt::format(" compute {}", site_text(input.compute));
    out += fmt::format(" layout {}\n", layout_text(input.layout));
  }
  std::string nest = indent;
  for (std::size_t a = 0; a < stage.axes.size(); ++a) {
    out += fmt::format("{}{}\n", nest, axis_text(a, stage.axes[a]));
    nest += "  ";
  }
}

}  // namespace

std::string print_stage(const Stage& stage) {
  std::string out = fmt::format("stage {}\n", common::op_name(stage.op));
  append_stage_body(out, stage, "  ");
  return out;
}

std::string print_stage_program(const StageProgram& program) {
  std::string out;
  const StageGraph& g = program.graph;
  for (std::size_t i = 0; i < g.inputs.size(); ++i) {
    const char* state = g.inputs[i] == graph::Input::Free ? "Free" : "Bound";
    out += fmt::format("input {} {}", i, state);
    if (i < program.input_shapes.size()) {
      out += fmt::format(" shape {}", shape_text(program.input_shapes[i]));
    }
    out += "\n";
  }
  for (std::size_t n = 0; n < g.nodes.size(); ++n) {
    const auto& node = g.nodes[n];
    out += fmt::format("stage {} {}", n, common::op_name(node.value.op));
    if (n < program.stage_shapes.size()) {
      out += fmt::format(" shape {}", shape_text(program.stage_shapes[n]));
    }
    std::vector<std::string> reads;
    for (const Source& s : node.inputs) reads.push_back(source_text(s));
    out += fmt::format(" reads [{}]", fmt::join(reads, ", "));
    if (node.output_count != 1) out += fmt::format(" outputs {}", node.output_count);
    out += "\n";
    append_stage_body(out, node.value, "  ");
  }
  for (std::size_t o = 0; o < g.outputs.size(); ++o) {
    out += fmt::format("output {} = {}\n", o, source_text(g.outputs[o]));
  }
  return out;
}

}  // namespace compiler::ir::stage
