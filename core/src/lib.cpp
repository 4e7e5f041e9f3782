// The exported C functions. Each one checks its pointer arguments first, in
// argument order, then runs the work; every failure becomes one message in
// the calling thread's error slot plus a failure return value. Nothing
// throws across this boundary: the exports are noexcept, so an escaping
// exception (an internal defect or memory exhaustion) terminates.
#include "lib.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include <expected>
#include <string>
#include <vector>

#include "backends/cpu.h"
#include "component/build.h"
#include "front/parser.h"

namespace q_core::lib {

namespace {

// The most recent failure of this thread; empty until the first one.
thread_local std::optional<std::string> LAST_ERROR;

}  // namespace

void set_error(std::string&& text) {
  std::erase(text, '\0');
  LAST_ERROR = std::move(text);
}

void set_error(std::string_view text) { set_error(std::string(text)); }

bool is_valid_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
      cp = b & 0x1F;
      min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
      cp = b & 0x0F;
      min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      cp = b & 0x07;
      min = 0x10000;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace q_core::lib

using q_core::lib::set_error;

namespace {

// Records `message` as this thread's failure and returns the failure value.
template <class T>
T failed(std::string_view message, T value) {
  set_error(message);
  return value;
}

}  // namespace

namespace {

namespace build = compiler::component::build;
using compiler::ir::component::Component;

// Builds a two-part component from deep copies of both arguments, which the
// caller keeps.
template <class Combinator>
QComponent* combine(const QComponent* left, const QComponent* right, Combinator combinator) {
  if (left == nullptr) return failed("null left component", nullptr);
  if (right == nullptr) return failed("null right component", nullptr);
  return new QComponent{combinator(Component(left->value), Component(right->value))};
}

// The boundary of `component`, or nothing with the failure recorded.
std::optional<build::ComponentBoundary> boundary_or_error(const QComponent& component) {
  auto boundary = build::component_boundary(component.value);
  if (!boundary) {
    set_error(std::move(boundary.error()));
    return std::nullopt;
  }
  return std::move(*boundary);
}

}  // namespace

extern "C" {

const char* q_error(void) noexcept {
  const auto& slot = q_core::lib::LAST_ERROR;
  return slot ? slot->c_str() : nullptr;
}

void q_string_free(char* text) noexcept { std::free(text); }

QComponent* q_parse(const char* text) noexcept {
  if (text == nullptr) return failed("null expression", nullptr);
  const std::string_view source(text, std::strlen(text));
  if (!q_core::lib::is_valid_utf8(source)) return failed("null expression", nullptr);
  auto component = compiler::front::parser::parse_component(source);
  if (!component) {
    set_error(compiler::front::parser::debug_string(component.error()));
    return nullptr;
  }
  return new QComponent{std::move(*component)};
}

void q_component_free(QComponent* component) noexcept { delete component; }

// Component handles: combinators and boundary queries. Every combinator
// copies its arguments; the queries compute the boundary afresh each time.

QComponent* q_identity(void) noexcept {
  return new QComponent{compiler::ir::component::Identity{}};
}

QComponent* q_pair(const QComponent* left, const QComponent* right) noexcept {
  return combine(left, right, build::pair);
}

QComponent* q_chain(const QComponent* left, const QComponent* right) noexcept {
  return combine(left, right, build::chain);
}

QComponent* q_fanout(const QComponent* left, const QComponent* right) noexcept {
  return combine(left, right, build::fanout);
}

QComponent* q_compose(const QComponent* left, const QComponent* right) noexcept {
  return combine(left, right, build::compose);
}

QComponent* q_swap(const QComponent* component) noexcept {
  if (component == nullptr) return failed("null component", nullptr);
  return new QComponent{build::swap(Component(component->value))};
}

QComponent* q_bind_input(const QComponent* component, size_t index) noexcept {
  if (component == nullptr) return failed("null component", nullptr);
  return new QComponent{build::bind_input(Component(component->value), index)};
}

int q_component_input_count(const QComponent* component, size_t* count) noexcept {
  if (component == nullptr) return failed("null component", -1);
  if (count == nullptr) return failed("null input count output", -1);
  const auto boundary = boundary_or_error(*component);
  if (!boundary) return -1;
  *count = boundary->inputs.size();
  return 0;
}

int q_component_output_count(const QComponent* component, size_t* count) noexcept {
  if (component == nullptr) return failed("null component", -1);
  if (count == nullptr) return failed("null output count output", -1);
  const auto boundary = boundary_or_error(*component);
  if (!boundary) return -1;
  *count = boundary->outputs;
  return 0;
}

int q_component_input_states(const QComponent* component, uint32_t* states) noexcept {
  if (component == nullptr) return failed("null component", -1);
  if (states == nullptr) return failed("null input states", -1);
  const auto boundary = boundary_or_error(*component);
  if (!boundary) return -1;
  for (std::size_t i = 0; i < boundary->inputs.size(); ++i) {
    states[i] = static_cast<uint32_t>(boundary->inputs[i]);
  }
  return 0;
}

// End of component handles.

}  // extern "C"

// ------------------------------------------------------------------ programs

namespace {

using q_core::backends::Program;
namespace backends = q_core::backends;

static_assert(sizeof(Tensor) == sizeof(backends::Tensor));
static_assert(sizeof(TensorMut) == sizeof(backends::TensorMut));

const backends::Tensor* as_backend(const Tensor* inputs) {
  return reinterpret_cast<const backends::Tensor*>(inputs);
}

// The backend for a device value, or a message for a value that names none.
std::expected<backends::Device, std::string> device_from(Device device) {
  switch (device) {
    case Cpu: return backends::Device::Cpu;
    case Cuda: return std::unexpected(std::string("cuda backend is not available in this build"));
  }
  return std::unexpected(fmt::format("unknown device {}", device));
}

// Releases the first `n` records' buffers and the array itself.
void free_outputs(OutputTensor* tensors, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    std::free(tensors[i].data);
    std::free(tensors[i].shape);
  }
  std::free(tensors);
}

// The product of `shape`, or nothing when it does not fit in a byte count
// of floats.
std::optional<std::size_t> element_count(const std::size_t* shape, std::size_t rank) {
  std::size_t len = 1;
  for (std::size_t d = 0; d < rank; ++d) {
    if (shape[d] != 0 && len > (std::size_t{1} << 62) / shape[d]) return std::nullopt;
    len *= shape[d];
  }
  return len;
}

}  // namespace

extern "C" {

QProgram* q_compile(const QComponent* component, Device device) noexcept {
  if (component == nullptr) return failed("null component", nullptr);
  auto backend = device_from(device);
  if (!backend) {
    set_error(std::move(backend.error()));
    return nullptr;
  }
  auto program = backends::cpu::compile(component->value);
  if (!program) {
    set_error(std::move(program.error()));
    return nullptr;
  }
  return new QProgram{std::move(*program)};
}

char* q_code(const QComponent* component, Device device) noexcept {
  if (component == nullptr) return failed("null component", nullptr);
  auto backend = device_from(device);
  if (!backend) {
    set_error(std::move(backend.error()));
    return nullptr;
  }
  auto text = backends::cpu::render(component->value);
  if (!text) {
    set_error(std::move(text.error()));
    return nullptr;
  }
  if (text->find('\0') != std::string::npos) return failed("source contains interior NUL", nullptr);
  char* out = static_cast<char*>(std::malloc(text->size() + 1));
  if (out == nullptr) return failed("allocation failed", nullptr);
  std::memcpy(out, text->c_str(), text->size() + 1);
  return out;
}

int q_program_device(const QProgram* program) noexcept {
  if (program == nullptr) return failed("null program", 0);
  return static_cast<int>(program->value.device());
}

void q_program_free(QProgram* program) noexcept { delete program; }

size_t q_output_count(const QProgram* program) noexcept {
  if (program == nullptr) return failed("null program", 0);
  return program->value.count()();
}

int q_output_ranks(const QProgram* program, size_t* ranks) noexcept {
  if (program == nullptr) return failed("null program", -1);
  if (ranks == nullptr) return failed("null ranks", -1);
  program->value.ranks()(ranks);
  return 0;
}

int q_output_shapes(const QProgram* program, const Tensor* inputs, size_t input_count,
                    size_t** shapes) noexcept {
  if (program == nullptr) return failed("null program", -1);
  if (inputs == nullptr && input_count != 0) return failed("null inputs", -1);
  if (shapes == nullptr) return failed("null shapes", -1);
  program->value.shapes()(as_backend(inputs), shapes);
  return 0;
}

OutputTensors q_exec(const QProgram* program, const Tensor* inputs, size_t input_count) noexcept {
  if (program == nullptr) return failed("null program", OutputTensors{nullptr, 0});
  if (inputs == nullptr && input_count != 0) return failed("null inputs", OutputTensors{nullptr, 0});
  const Program& p = program->value;
  const std::size_t n = p.count()();
  if (n == 0) {
    p.exec()(as_backend(inputs), nullptr);
    return {nullptr, 0};
  }

  // Every record starts zeroed so that a failure part way can release
  // exactly what was allocated.
  auto* records = static_cast<OutputTensor*>(std::calloc(n, sizeof(OutputTensor)));
  std::vector<std::size_t> ranks(n, 0);
  std::vector<std::size_t*> shapes(n, nullptr);
  std::vector<backends::TensorMut> views(n);
  auto fail = [&](std::string_view message) -> OutputTensors {
    if (records != nullptr) free_outputs(records, n);
    set_error(message);
    return {nullptr, 0};
  };
  if (records == nullptr) return fail("allocation failed");

  p.ranks()(ranks.data());
  for (std::size_t i = 0; i < n; ++i) {
    records[i].rank = ranks[i];
    if (ranks[i] == 0) continue;
    records[i].shape = static_cast<std::size_t*>(std::calloc(ranks[i], sizeof(std::size_t)));
    if (records[i].shape == nullptr) return fail("allocation failed");
    shapes[i] = records[i].shape;
  }
  p.shapes()(as_backend(inputs), shapes.data());
  for (std::size_t i = 0; i < n; ++i) {
    auto len = element_count(records[i].shape, records[i].rank);
    if (!len) return fail("allocation size overflow");
    records[i].len = *len;
    // An empty output has no elements to hold: its data stays null.
    if (*len != 0) {
      records[i].data = static_cast<float*>(std::calloc(*len, sizeof(float)));
      if (records[i].data == nullptr) return fail("allocation failed");
    }
    views[i] = backends::TensorMut{records[i].data, records[i].shape, records[i].rank};
  }
  p.exec()(as_backend(inputs), views.data());
  return {records, n};
}

int q_exec_into(const QProgram* program, const Tensor* inputs, size_t input_count,
                TensorMut* outputs, size_t output_count) noexcept {
  if (program == nullptr) return failed("null program", -1);
  if (inputs == nullptr && input_count != 0) return failed("null inputs", -1);
  if (output_count != program->value.count()()) return failed("wrong output count", -1);
  if (outputs == nullptr && output_count != 0) return failed("null outputs", -1);
  program->value.exec()(as_backend(inputs), reinterpret_cast<backends::TensorMut*>(outputs));
  return 0;
}

void q_outputs_free(OutputTensor* tensors, size_t count) noexcept {
  if (tensors == nullptr || count == 0) return;
  free_outputs(tensors, count);
}

float* q_alloc(Device device, size_t len) noexcept {
  auto backend = device_from(device);
  if (!backend) {
    set_error(std::move(backend.error()));
    return nullptr;
  }
  if (len > (std::size_t{1} << 62) - 1) return failed("allocation size overflow", nullptr);
  auto* data = static_cast<float*>(std::malloc(len == 0 ? 1 : len * sizeof(float)));
  if (data == nullptr) set_error(std::string_view("allocation failed"));
  return data;
}

void q_free(Device device, float* data) noexcept {
  if (data == nullptr) return;
  auto backend = device_from(device);
  if (!backend) {
    set_error(std::move(backend.error()));
    return;
  }
  std::free(data);
}

int q_copy(Device dst_device, float* dst, Device src_device, const float* src,
           size_t len) noexcept {
  if (len == 0) return 0;
  if (dst == nullptr || src == nullptr) return failed("null copy pointer", -1);
  for (Device device : {dst_device, src_device}) {
    auto backend = device_from(device);
    if (!backend) {
      set_error(std::move(backend.error()));
      return -1;
    }
  }
  // memmove: overlapping ranges within one buffer are a defined copy.
  std::memmove(dst, src, len * sizeof(float));
  return 0;
}

}  // extern "C"
