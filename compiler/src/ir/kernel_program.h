// The kernel program: the work cut into kernels, each an explicit loop nest
// over numbered buffers. Every tensor of the program is a `Buffer` with a
// public shape (given through dimensions of input buffers), a dense row-major
// storage layout and a storage class. A kernel's body is a tree of actions:
// loops with explicit extents and ids, and four scalar statements
// (initialise, compute, snapshot, scale) that address buffer elements
// through loop variables.
//
// The body types (`Action`, `Access`, `Iter`, `ScalarExpr`, `Block`) are
// generic over how a buffer is named: `BufferId` here; the execution plan
// reuses them with its own kernel-relative names.
//
// Invariants (checked by check/kernel_program): every buffer id names a
// buffer; loop ids are unique within a kernel and used only inside their
// loop; a kernel's reads and writes are disjoint; writes go to buffers in
// `writes`, reads and loop extents name buffers in `reads` or `writes`;
// input and output buffers are global. Not checked here: that an access has
// one coordinate per layout dimension, and that an `Init` operator has an
// identity element.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

#include "ir/box.h"
#include "ir/common.h"
#include "ir/graph.h"

namespace compiler::ir::kernel_program {

using common::Extent;
using common::ExtentKind;
using common::Index;
using common::Op;

// A position in `KernelProgram::buffers`.
struct BufferId {
  std::size_t value = 0;
  bool operator==(const BufferId&) const = default;
  auto operator<=>(const BufferId&) const = default;
};

// One logical dimension: dimension `dim` of the public shape of `buffer`.
struct BufferDim {
  BufferId buffer;
  std::size_t dim = 0;
  bool operator==(const BufferDim&) const = default;
};

// Dense row-major storage over `dims`, outermost first; empty is one element.
struct BufferLayout {
  std::vector<Extent<BufferId>> dims;
  bool operator==(const BufferLayout&) const = default;
};

enum class BufferKind : std::uint8_t { Input = 0, Intermediate = 1, Output = 2 };

// Global: lives for the whole execution. Local: created and destroyed inside
// the one kernel that uses it, with a compile-time storage size.
enum class Storage : std::uint8_t { Global = 0, Local = 1 };

inline std::string_view debug_string(BufferKind kind) {
  switch (kind) {
    case BufferKind::Input:
      return "Input";
    case BufferKind::Intermediate:
      return "Intermediate";
    case BufferKind::Output:
      return "Output";
  }
  return "?";
}

inline std::string_view debug_string(Storage storage) {
  switch (storage) {
    case Storage::Global:
      return "Global";
    case Storage::Local:
      return "Local";
  }
  return "?";
}

struct Buffer {
  std::vector<BufferDim> shape;
  BufferLayout layout;
  BufferKind kind = BufferKind::Intermediate;
  Storage storage = Storage::Global;
  bool operator==(const Buffer&) const = default;
};

// One coordinate of an access.
struct Iter {
  // The current value of loop variable `id`.
  struct Loop {
    std::size_t id = 0;
    bool operator==(const Loop&) const = default;
  };
  // An index rebuilt from the levels of a split index, outermost level
  // first: sum over p of loops[p] * product(factors[p..]). There is one
  // factor fewer than loops.
  struct Reconstructed {
    std::vector<std::size_t> loops;
    std::vector<std::size_t> factors;
    bool operator==(const Reconstructed&) const = default;
  };
  std::variant<Loop, Reconstructed> value;
  bool operator==(const Iter&) const = default;
};

// The address of one element: one coordinate per storage dimension.
template <class B>
struct Access {
  std::vector<Iter> indexes;
  B buffer{};
  bool operator==(const Access&) const = default;
};

// The factor of a `Scale`.
template <class B>
struct ScalarExpr {
  struct Read {
    Access<B> access;
    bool operator==(const Read&) const = default;
  };
  struct Unary {
    Op op = Op::Add;
    Box<ScalarExpr> operand;
    bool operator==(const Unary&) const = default;
  };
  struct Binary {
    Op op = Op::Add;
    Box<ScalarExpr> lhs;
    Box<ScalarExpr> rhs;
    bool operator==(const Binary&) const = default;
  };
  std::variant<Read, Unary, Binary> value;
  bool operator==(const ScalarExpr&) const = default;
};

template <class B>
struct Action;

// Actions performed in order.
template <class B>
struct Block {
  std::vector<Action<B>> actions;
  bool operator==(const Block&) const = default;
};

template <class B>
struct Action {
  // Runs `body` for each value 0..n-1 of loop variable `id`, n the value of
  // `extent`. `parallel`: the loop iterates an output index, so its
  // iterations are independent. `guard`: the innermost level of a split
  // index; the body runs only where the reconstructed index is in range.
  struct Loop {
    Block<B> body;
    Extent<B> extent;
    std::size_t id = 0;
    bool parallel = false;
    bool guard = false;
    bool operator==(const Loop&) const = default;
  };
  // Stores the identity of `op`, only while every loop in `zero_check` is 0.
  struct Init {
    Access<B> write;
    std::vector<std::size_t> zero_check;
    Op op = Op::Add;
    bool operator==(const Init&) const = default;
  };
  // Stores `op` over `reads`; when the kernel also initialises the written
  // buffer, the element's current value is the first operand (accumulation).
  struct Compute {
    Access<B> write;
    std::vector<Access<B>> reads;
    Op op = Op::Add;
    bool operator==(const Compute&) const = default;
  };
  // Copies one element.
  struct Snapshot {
    Access<B> write;
    Access<B> read;
    bool operator==(const Snapshot&) const = default;
  };
  // Multiplies the element by `factor`.
  struct Scale {
    Access<B> write;
    ScalarExpr<B> factor;
    bool operator==(const Scale&) const = default;
  };
  std::variant<Loop, Init, Compute, Snapshot, Scale> value;
  bool operator==(const Action&) const = default;
};

struct Kernel {
  std::vector<BufferId> reads;   // no repetition
  std::vector<BufferId> writes;  // no repetition, disjoint from reads
  Block<BufferId> body;
  bool operator==(const Kernel&) const = default;
};

// Graph input k is the program input held by buffer k. Node i's sources are
// parallel to kernel i's `reads`; its output slot j is `writes[j]` after the
// kernel has run.
struct KernelProgram {
  std::vector<Buffer> buffers;
  std::vector<BufferId> outputs;
  graph::Graph<Kernel> graph;
  bool operator==(const KernelProgram&) const = default;
};

}  // namespace compiler::ir::kernel_program
