#include "backends/c/fmt.h"

namespace compiler::backends::c::fmt {

std::string indent(std::string_view text) {
  std::string out;
  bool first = true;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (!first) out += '\n';
    first = false;
    if (!line.empty()) {
      out += "  ";
      out += line;
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
}

}  // namespace compiler::backends::c::fmt
