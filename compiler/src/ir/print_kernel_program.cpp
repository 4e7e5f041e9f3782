#include "ir/print_kernel_program.h"

#include <string_view>
#include <vector>

namespace compiler::ir::kernel_program {

namespace {

std::string buffer_name(BufferId id) {
  return fmt::format("b{}", id.value);
}

std::string lower_case(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string print_source(const graph::Source& source) {
  if (const auto* input = std::get_if<graph::InputSource>(&source))
    return fmt::format("in {}", input->index);
  const auto& node = std::get<graph::NodeSource>(source);
  return fmt::format("k{}.{}", node.node, node.output);
}

std::string print_sources(const std::vector<graph::Source>& sources) {
  std::string text;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    if (i > 0) text += ", ";
    text += print_source(sources[i]);
  }
  return "[" + text + "]";
}

std::string print_ids(const std::vector<BufferId>& ids) {
  std::string text;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) text += ", ";
    text += buffer_name(ids[i]);
  }
  return "[" + text + "]";
}

}  // namespace

std::string print_iter(const Iter& iter) {
  if (const auto* loop = std::get_if<Iter::Loop>(&iter.value)) return fmt::format("l{}", loop->id);
  const auto& rec = std::get<Iter::Reconstructed>(iter.value);
  std::string text = "(";
  for (std::size_t i = 0; i < rec.loops.size(); ++i) {
    if (i > 0) text += " ";
    text += fmt::format("l{}", rec.loops[i]);
  }
  if (!rec.factors.empty()) text += fmt::format("; {}", fmt::join(rec.factors, ", "));
  return text + ")";
}

std::string print_kernel_program(const KernelProgram& program) {
  std::string out;
  for (std::size_t b = 0; b < program.buffers.size(); ++b) {
    const Buffer& buffer = program.buffers[b];
    std::string shape;
    for (std::size_t i = 0; i < buffer.shape.size(); ++i) {
      if (i > 0) shape += ", ";
      shape += fmt::format("{}.{}", buffer_name(buffer.shape[i].buffer), buffer.shape[i].dim);
    }
    std::string layout;
    for (std::size_t i = 0; i < buffer.layout.dims.size(); ++i) {
      if (i > 0) layout += ", ";
      layout += print_extent(buffer.layout.dims[i], buffer_name);
    }
    out += fmt::format("buffer {} {} {} shape [{}] layout [{}]\n", b,
                       lower_case(debug_string(buffer.kind)),
                       lower_case(debug_string(buffer.storage)), shape, layout);
  }
  const auto& nodes = program.graph.nodes;
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    const Kernel& kernel = nodes[k].value;
    out += fmt::format("kernel {} reads {} writes {} sources {}\n", k, print_ids(kernel.reads),
                       print_ids(kernel.writes), print_sources(nodes[k].inputs));
    print_block(out, kernel.body, 2, buffer_name);
  }
  out += fmt::format("outputs {} sources {}\n", print_ids(program.outputs),
                     print_sources(program.graph.outputs));
  return out;
}

}  // namespace compiler::ir::kernel_program
