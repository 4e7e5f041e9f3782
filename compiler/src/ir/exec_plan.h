// The execution plan: the last representation both code generators share.
// It says which global buffers exist and how their shapes follow from the
// program inputs, which kernels exist and how each names the buffers it
// touches, how each kernel's parallel loops map onto an execution grid, and
// the ordered steps of one execution (allocate, dispatch, free).
//
// Every size is expressed through the program inputs: a buffer dimension is
// a dimension of some program input (`ShapeDim`), a storage dimension an
// `Extent` over such a dimension. Nothing holds an element count.
//
// Kernels are position-independent: inside a kernel a buffer is either its
// n-th readonly or n-th writeable parameter, or one of its own locals. The
// binding of parameters to global buffers is made per dispatch step, so a
// kernel's signature is always two arrays of views.
//
// Invariants of a valid plan (checked by check/exec_plan):
// - `count` equals the lengths of `ranks`, `shapes` and `buffers.outputs`;
//   `ranks[i]` is the rank of `shapes[i]`, which equals the output buffer's
//   shape;
// - every input, dimension, kernel, parameter and local reference is in
//   range; every access has one coordinate per storage dimension;
// - parameter lists are canonical (entry j is parameter j of its class);
// - loops left in kernel bodies are serial; loop ids are unique per kernel,
//   counting the execution dimensions, and used only inside their loops or
//   under the execution dimensions that replaced them; at most three group
//   and three lane dimensions;
// - every kernel is dispatched exactly once; every intermediate is allocated
//   before a dispatch binds it, never twice, and freed by the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "ir/common.h"
#include "ir/kernel_program.h"
#include "ir/stage.h"

namespace compiler::ir::exec_plan {

using common::Extent;
using common::ExtentKind;
using common::Op;
using kernel_program::Access;
using kernel_program::Action;
using kernel_program::Block;
using kernel_program::Iter;
using kernel_program::ScalarExpr;
using kernel_program::Storage;
// The extent of dimension `dim` of program input `input` at run time.
using stage::ShapeDim;

// A program input number: the source of the storage extents of buffers.
struct Input {
  std::size_t value = 0;
  bool operator==(const Input&) const = default;
  auto operator<=>(const Input&) const = default;
};

struct Shape {
  std::vector<ShapeDim> dims;  // outermost first; the length is the rank
  bool operator==(const Shape&) const = default;
};

// One global buffer. Its storage is dense and row-major over `layout`; an
// empty layout is one element.
struct Buffer {
  Shape shape;
  std::vector<Extent<Input>> layout;
  bool operator==(const Buffer&) const = default;
};

struct Buffers {
  std::vector<Buffer> inputs;         // index = program input number
  std::vector<Buffer> intermediates;  // global intermediates, in kernel-program order
  std::vector<Buffer> outputs;        // index = program output number
  bool operator==(const Buffers&) const = default;
};

// A global buffer of the plan.
struct ExecRef {
  struct Input {
    std::size_t index = 0;
    bool operator==(const Input&) const = default;
  };
  struct Intermediate {
    std::size_t index = 0;
    bool operator==(const Intermediate&) const = default;
  };
  struct Output {
    std::size_t index = 0;
    bool operator==(const Output&) const = default;
  };
  std::variant<Input, Intermediate, Output> value;
  bool operator==(const ExecRef&) const = default;
};

enum class Arg : std::uint8_t { Readonly = 0, Writeable = 1 };

// Parameter `ind` of class `arg`.
struct Param {
  Arg arg = Arg::Readonly;
  std::size_t ind = 0;
  bool operator==(const Param&) const = default;
};

// A position in the kernel's `locals`.
struct Local {
  std::size_t index = 0;
  bool operator==(const Local&) const = default;
};

// How kernel code names a buffer.
struct KernelRef {
  std::variant<Param, Local> value;
  bool operator==(const KernelRef&) const = default;
};

inline KernelRef readonly_ref(std::size_t ind) { return KernelRef{Param{Arg::Readonly, ind}}; }
inline KernelRef writeable_ref(std::size_t ind) { return KernelRef{Param{Arg::Writeable, ind}}; }
inline KernelRef local_ref(std::size_t index) { return KernelRef{Local{index}}; }

// A buffer that lives for one run of one kernel. The C back end places it
// on the stack, so its layout extents must be compile-time constants there.
struct LocalBuffer {
  Shape shape;
  std::vector<Extent<Input>> layout;
  Storage storage = Storage::Local;  // never Global in a valid plan
  bool operator==(const LocalBuffer&) const = default;
};

// One parallel loop of the kernel program turned into a grid dimension.
// Accesses in the body still name it by `loop_id`. `guard`: the dimension
// covers more positions than its split index has; the body runs only where
// the reconstructed index is in range.
struct ExecutionDim {
  Extent<KernelRef> extent;
  std::size_t loop_id = 0;
  bool guard = false;
  bool operator==(const ExecutionDim&) const = default;
};

// Group dimensions come from outer split parts (kind Base), lane dimensions
// from whole indexes and inner split parts. At most three of each.
struct ExecutionShape {
  std::vector<ExecutionDim> group;
  std::vector<ExecutionDim> lane;
  bool operator==(const ExecutionShape&) const = default;
};

// One kernel with every buffer reference rebound to a parameter or local.
struct BoundKernel {
  std::vector<Param> readonlys;   // entry j is Param { Readonly, j }
  std::vector<Param> writeables;  // entry j is Param { Writeable, j }
  std::vector<LocalBuffer> locals;
  ExecutionShape execution;
  std::vector<Action<KernelRef>> actions;
  bool operator==(const BoundKernel&) const = default;
};

// Runs kernel `kernel` once with readonly parameter j bound to `reads[j]`
// and writeable parameter j to `writes[j]`.
struct Dispatch {
  std::size_t kernel = 0;
  std::vector<ExecRef> reads;
  std::vector<ExecRef> writes;
  bool operator==(const Dispatch&) const = default;
};

struct Step {
  // Makes global intermediate `intermediate`'s storage available.
  struct Alloc {
    std::size_t intermediate = 0;
    bool operator==(const Alloc&) const = default;
  };
  // Releases it.
  struct Free {
    std::size_t intermediate = 0;
    bool operator==(const Free&) const = default;
  };
  std::variant<Alloc, Dispatch, Free> value;
  bool operator==(const Step&) const = default;
};

struct Exec {
  std::vector<Step> steps;  // performed in order, once per execution
  bool operator==(const Exec&) const = default;
};

// `ranks`, `shapes` and `count` repeat what `buffers.outputs` holds so that
// the entry points reporting them can be emitted without reading buffers.
struct ExecPlan {
  std::vector<BoundKernel> kernels;  // kernel index = position
  Buffers buffers;
  std::vector<std::size_t> ranks;
  std::vector<Shape> shapes;
  Exec exec;
  std::size_t count = 0;
  bool operator==(const ExecPlan&) const = default;
};

// Textual forms used in messages: `Readonly`, `Param { arg: Readonly, ind: 0 }`,
// `Local(2)`, `Param(Param { arg: Writeable, ind: 1 })`, `Local(Local(0))`.
inline std::string_view debug_string(Arg arg) {
  switch (arg) {
    case Arg::Readonly: return "Readonly";
    case Arg::Writeable: return "Writeable";
  }
  return "?";
}

inline std::string debug_string(const Param& param) {
  return "Param { arg: " + std::string(debug_string(param.arg)) +
         ", ind: " + std::to_string(param.ind) + " }";
}

inline std::string debug_string(const Local& local) {
  return "Local(" + std::to_string(local.index) + ")";
}

inline std::string debug_string(const KernelRef& ref) {
  return std::visit(
      [](const auto& payload) {
        using T = std::decay_t<decltype(payload)>;
        const std::string_view name = std::is_same_v<T, Param> ? "Param" : "Local";
        return std::string(name) + "(" + debug_string(payload) + ")";
      },
      ref.value);
}

// `Input(0)`, `Intermediate(1)`, `Output(2)`.
inline std::string debug_string(const ExecRef& ref) {
  struct Visitor {
    std::string operator()(const ExecRef::Input& r) const {
      return "Input(" + std::to_string(r.index) + ")";
    }
    std::string operator()(const ExecRef::Intermediate& r) const {
      return "Intermediate(" + std::to_string(r.index) + ")";
    }
    std::string operator()(const ExecRef::Output& r) const {
      return "Output(" + std::to_string(r.index) + ")";
    }
  };
  return std::visit(Visitor{}, ref.value);
}

}  // namespace compiler::ir::exec_plan
