// The contract between generated code and the library. Every compiled
// program is a shared object exporting four C entry points:
//
//   size_t count(void)                                   number of outputs
//   void ranks(size_t* ranks)                            one rank per output
//   void shapes(const Tensor* inputs, size_t** shapes)   extents of output i
//                                                        into shapes[i]
//   void exec(const Tensor* inputs, TensorMut* outputs)  computes the outputs
//
// Entry points check nothing: the number and ranks of the inputs and the
// size of the output buffers are the caller's responsibility. Also here:
// the things every backend shares when it builds one (temporary files named
// from the clock, running the compiler, system error texts).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "loader.h"

namespace q_core::backends {

// The backend a program was compiled for.
enum class Device : std::uint32_t { Cpu = 0, Cuda = 1 };

// Tensor structures with the layout the generated preamble declares (the
// generated code marks `rank` const; the layout is the same). Element data
// are 32-bit floats stored densely, last dimension fastest.
struct Tensor {  // a read-only program input
  const float* data;
  const std::size_t* shape;
  std::size_t rank;
};
struct TensorMut {  // a program output in a buffer the caller allocated
  float* data;
  const std::size_t* shape;
  std::size_t rank;
};
struct View {  // internal to generated code: logical shape, storage extents
  const float* data;
  const std::size_t* shape;
  const std::size_t* layout;
};
struct ViewMut {
  float* data;
  const std::size_t* shape;
  const std::size_t* layout;
};

using CountFn = std::size_t (*)();
using RanksFn = void (*)(std::size_t* ranks);
using ShapesFn = void (*)(const Tensor* inputs, std::size_t** shapes);
using ExecFn = void (*)(const Tensor* inputs, TensorMut* outputs);

// A loaded compiled program. It owns its library and its shared object
// file: destroying it removes the file (a loaded object stays mapped, so
// this is safe) and then closes the library.
class Program {
 public:
  Program(Program&& other) noexcept;
  Program& operator=(Program&& other) noexcept;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program();

  const std::string& path() const { return path_; }
  CountFn count() const { return count_; }
  RanksFn ranks() const { return ranks_; }
  ShapesFn shapes() const { return shapes_; }
  ExecFn exec() const { return exec_; }
  Device device() const { return device_; }

 private:
  friend std::expected<Program, std::string> load_program(std::string path, Device device);
  Program(std::string path, CountFn count, RanksFn ranks, ShapesFn shapes, ExecFn exec,
          loader::Library library, Device device);
  void release();

  std::string path_;
  CountFn count_ = nullptr;
  RanksFn ranks_ = nullptr;
  ShapesFn shapes_ = nullptr;
  ExecFn exec_ = nullptr;
  loader::Library library_;
  Device device_ = Device::Cpu;
};

// Opens the shared object at `path` and resolves "count", "ranks", "shapes"
// and "exec", in that order. On failure the library is closed and the file
// is left in place; the message is the loader's, or "entry point <name> is
// null" for a symbol whose value is null.
std::expected<Program, std::string> load_program(std::string path, Device device);

// The current system time in nanoseconds since 1970-01-01T00:00:00Z, in
// decimal. Fails when the clock reads a time before 1970.
std::expected<std::string, std::string> unique_string();

// ------------------------------------------------ shared by the backends

// The temporary directory: TMPDIR when it is set and not empty, else /tmp.
std::filesystem::path temp_dir();

// The operating system's description of `errnum` followed by
// " (os error <errnum>)".
std::string system_error_text(int errnum);

// How a child ended, from its wait status: "exit status: 1",
// "signal: 9 (SIGKILL)", "signal: 11 (SIGSEGV) (core dumped)".
std::string exit_status_text(int wait_status);

// The source and shared object paths of one build.
struct BuildFiles {
  std::string source;
  std::string library;
};

// Creates "<dir>/<prefix><n>.<source_extension>" exclusively and writes
// `text` into it. n starts at `first` and advances while either that name
// or "<dir>/<prefix><n>.so" is taken, so that builds started in the same
// nanosecond never share a file. Fails with the system error text.
std::expected<BuildFiles, std::string> create_source_file(const std::filesystem::path& dir,
                                                          std::string_view prefix,
                                                          std::string_view source_extension,
                                                          std::string_view first,
                                                          std::string_view text);

// The same, with n starting from the clock, in the temporary directory.
std::expected<BuildFiles, std::string> create_source_file(std::string_view prefix,
                                                          std::string_view source_extension,
                                                          std::string_view text);

// Runs `program` (looked up on the executable search path) with `args`,
// inheriting the standard streams, and waits for it. Returns its wait
// status, or the system error text when it cannot be started.
std::expected<int, std::string> run_child(const std::string& program,
                                          const std::vector<std::string>& args);

}  // namespace q_core::backends
