// Readable text of a kernel program, for tests and the command-line tool.
//
//   buffer 1 output global shape [b0.0] layout [b1.0]
//   kernel 0 reads [b0] writes [b1] sources [in 0]
//     loop 0 extent b0.0 parallel
//       init b1[l0] Add
//       loop 1 extent b0.1
//         compute b1[l0] = Add(b0[l0, l1])
//   outputs [b1] sources [k0.0]
//
// A coordinate is `l<id>` for a loop variable and `(l0 l1 l2; 4, 2)` for an
// index rebuilt from split levels. An extent prints its kind after the
// dimension unless it is Semantic (`b0.1 Base([4])`). Loop flags `parallel`
// and `guard` are printed when set; an init's zero check as `zero [ids]`.
// The body printers are generic over buffer naming so that the execution
// plan can reuse them with its own names.
#pragma once

#include <cstddef>
#include <string>
#include <variant>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "ir/common.h"
#include "ir/kernel_program.h"

namespace compiler::ir::kernel_program {

std::string print_kernel_program(const KernelProgram& program);

std::string print_iter(const Iter& iter);

// `name(b)` gives the text of a buffer name.
template <class B, class Name>
std::string print_extent(const Extent<B>& extent, const Name& name) {
  std::string text = fmt::format("{}.{}", name(extent.source), extent.dim);
  if (!std::holds_alternative<common::Semantic>(extent.kind))
    text += " " + common::debug_string(extent.kind);
  return text;
}

template <class B, class Name>
std::string print_access(const Access<B>& access, const Name& name) {
  std::string text = name(access.buffer) + "[";
  for (std::size_t i = 0; i < access.indexes.size(); ++i) {
    if (i > 0) text += ", ";
    text += print_iter(access.indexes[i]);
  }
  return text + "]";
}

template <class B, class Name>
std::string print_scalar_expr(const ScalarExpr<B>& expr, const Name& name) {
  struct Visitor {
    const Name& name;
    std::string operator()(const typename ScalarExpr<B>::Read& read) const {
      return print_access(read.access, name);
    }
    std::string operator()(const typename ScalarExpr<B>::Unary& unary) const {
      return fmt::format("{}({})", common::op_name(unary.op),
                         print_scalar_expr(*unary.operand, name));
    }
    std::string operator()(const typename ScalarExpr<B>::Binary& binary) const {
      return fmt::format("{}({}, {})", common::op_name(binary.op),
                         print_scalar_expr(*binary.lhs, name),
                         print_scalar_expr(*binary.rhs, name));
    }
  };
  return std::visit(Visitor{name}, expr.value);
}

// Appends one line per action, nested loops indented by two more spaces.
template <class B, class Name>
void print_block(std::string& out, const Block<B>& block, std::size_t indent, const Name& name) {
  const std::string pad(indent, ' ');
  struct Visitor {
    std::string& out;
    const std::string& pad;
    std::size_t indent;
    const Name& name;
    void operator()(const typename Action<B>::Loop& loop) const {
      out += fmt::format("{}loop {} extent {}{}{}\n", pad, loop.id, print_extent(loop.extent, name),
                         loop.parallel ? " parallel" : "", loop.guard ? " guard" : "");
      print_block(out, loop.body, indent + 2, name);
    }
    void operator()(const typename Action<B>::Init& init) const {
      out += fmt::format("{}init {} {}", pad, print_access(init.write, name),
                         common::op_name(init.op));
      if (!init.zero_check.empty())
        out += fmt::format(" zero [{}]", fmt::join(init.zero_check, ", "));
      out += "\n";
    }
    void operator()(const typename Action<B>::Compute& compute) const {
      std::string reads;
      for (std::size_t i = 0; i < compute.reads.size(); ++i) {
        if (i > 0) reads += ", ";
        reads += print_access(compute.reads[i], name);
      }
      out += fmt::format("{}compute {} = {}({})\n", pad, print_access(compute.write, name),
                         common::op_name(compute.op), reads);
    }
    void operator()(const typename Action<B>::Snapshot& snapshot) const {
      out += fmt::format("{}snapshot {} = {}\n", pad, print_access(snapshot.write, name),
                         print_access(snapshot.read, name));
    }
    void operator()(const typename Action<B>::Scale& scale) const {
      out += fmt::format("{}scale {} *= {}\n", pad, print_access(scale.write, name),
                         print_scalar_expr(scale.factor, name));
    }
  };
  for (const Action<B>& action : block.actions) {
    std::visit(Visitor{out, pad, indent, name}, action.value);
  }
}

}  // namespace compiler::ir::kernel_program
