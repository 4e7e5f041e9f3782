#include "ir/print_exec_plan.h"

#include "ir/print_kernel_program.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <variant>

namespace compiler::ir::exec_plan {

namespace {

std::string kind_suffix(const ExtentKind& kind) {
  if (std::holds_alternative<common::Semantic>(kind)) return "";
  return " " + common::debug_string(kind);
}

std::string input_dim(std::size_t input, std::size_t dim) {
  return fmt::format("in{}.{}", input, dim);
}

std::string shape_text(const Shape& shape) {
  std::string out = "[";
  for (std::size_t d = 0; d < shape.dims.size(); ++d) {
    if (d > 0) out += ", ";
    out += input_dim(shape.dims[d].input, shape.dims[d].dim);
  }
  return out + "]";
}

std::string layout_text(const std::vector<Extent<Input>>& layout) {
  std::string out = "[";
  for (std::size_t d = 0; d < layout.size(); ++d) {
    if (d > 0) out += ", ";
    out += input_dim(layout[d].source.value, layout[d].dim) + kind_suffix(layout[d].kind);
  }
  return out + "]";
}

std::string ref_text(const KernelRef& ref) {
  struct Visitor {
    std::string operator()(const Param& p) const {
      switch (p.arg) {
        case Arg::Readonly: return fmt::format("r{}", p.ind);
        case Arg::Writeable: return fmt::format("w{}", p.ind);
      }
      return debug_string(p);
    }
    std::string operator()(const Local& l) const { return fmt::format("loc{}", l.index); }
  };
  return std::visit(Visitor{}, ref.value);
}

void print_buffers(std::string_view title, std::string_view prefix,
                   const std::vector<Buffer>& buffers, std::string& out) {
  out += fmt::format("{}\n", title);
  for (std::size_t b = 0; b < buffers.size(); ++b) {
    out += fmt::format("  {}{} shape {} layout {}\n", prefix, b, shape_text(buffers[b].shape),
                       layout_text(buffers[b].layout));
  }
}

void print_execution_dims(std::string_view name, const std::vector<ExecutionDim>& dims,
                          std::string& out) {
  for (std::size_t d = 0; d < dims.size(); ++d) {
    out += fmt::format("  {} {}: loop {} extent {}{}\n", name, d, dims[d].loop_id,
                       kernel_program::print_extent(dims[d].extent, ref_text),
                       dims[d].guard ? " guard" : "");
  }
}

std::string refs_text(const std::vector<ExecRef>& refs) {
  std::string out = "[";
  for (std::size_t i = 0; i < refs.size(); ++i) {
    if (i > 0) out += ", ";
    out += debug_string(refs[i]);
  }
  return out + "]";
}

}  // namespace

std::string print_exec_plan(const ExecPlan& plan) {
  std::string out;
  print_buffers("inputs", "in", plan.buffers.inputs, out);
  print_buffers("intermediates", "s", plan.buffers.intermediates, out);
  print_buffers("outputs", "out", plan.buffers.outputs, out);
  out += fmt::format("count {} ranks [{}]\n", plan.count, fmt::join(plan.ranks, ", "));
  for (std::size_t o = 0; o < plan.shapes.size(); ++o)
    out += fmt::format("  shape {} {}\n", o, shape_text(plan.shapes[o]));
  for (std::size_t k = 0; k < plan.kernels.size(); ++k) {
    const BoundKernel& kernel = plan.kernels[k];
    out += fmt::format("kernel {} readonlys {} writeables {}\n", k, kernel.readonlys.size(),
                       kernel.writeables.size());
    for (std::size_t l = 0; l < kernel.locals.size(); ++l) {
      const LocalBuffer& local = kernel.locals[l];
      out += fmt::format("  local loc{} shape {} layout {} {}\n", l, shape_text(local.shape),
                         layout_text(local.layout), kernel_program::debug_string(local.storage));
    }
    print_execution_dims("group", kernel.execution.group, out);
    print_execution_dims("lane", kernel.execution.lane, out);
    kernel_program::print_block(out, Block<KernelRef>{kernel.actions}, 2, ref_text);
  }
  out += "steps\n";
  for (const Step& step : plan.exec.steps) {
    struct Visitor {
      std::string& out;
      void operator()(const Step::Alloc& alloc) const {
        out += fmt::format("  alloc s{}\n", alloc.intermediate);
      }
      void operator()(const Dispatch& dispatch) const {
        out += fmt::format("  dispatch kernel {} reads {} writes {}\n", dispatch.kernel,
                           refs_text(dispatch.reads), refs_text(dispatch.writes));
      }
      void operator()(const Step::Free& free) const {
        out += fmt::format("  free s{}\n", free.intermediate);
      }
    };
    std::visit(Visitor{out}, step.value);
  }
  return out;
}

}  // namespace compiler::ir::exec_plan
