#include "backends/cpu.h"

#include <unistd.h>

#include <sys/wait.h>

#include <utility>
#include <vector>

#include <fmt/format.h>

namespace q_core::backends::cpu {

std::expected<Program, std::string> compile_c_source(std::string_view text) {
  auto files = create_source_file("quarn_", "c", text);
  if (!files) return std::unexpected(std::move(files.error()));

  auto status =
      run_child("cc", {"-O3", "-shared", "-fPIC", files->source, "-o", files->library, "-lm"});
  if (!status) return std::unexpected(std::move(status.error()));
  ::unlink(files->source.c_str());
  if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
    return std::unexpected(fmt::format("cc failed with status {}", exit_status_text(*status)));
  }
  return load_program(std::move(files->library), Device::Cpu);
}

}  // namespace q_core::backends::cpu
