/*
 * quarn: a compiler and runtime for small tensor programs.
 *
 * Error channel: every function that can fail reports failure through its
 * return value (NULL, -1 or 0) and stores a message that q_error() returns
 * on the same thread. A successful call leaves the previous message alone.
 *
 * Handles: every handle returned by the library belongs to the caller until
 * it is passed to its release function. Functions that take handles only
 * read them; combinators copy their arguments, so the caller keeps (and must
 * still release) the handles it passed in. Release functions accept NULL.
 *
 * Every function may be called from several threads at once.
 */
#ifndef QUARN_H
#define QUARN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define QUARN_NOEXCEPT noexcept
#else
#define QUARN_NOEXCEPT
#endif

#if defined(QUARN_BUILDING_LIBRARY)
#define QUARN_API __attribute__((visibility("default")))
#else
#define QUARN_API
#endif

/* A component: a tensor program with a number of inputs and outputs. */
typedef struct QComponent QComponent;

/* Input states reported by q_component_input_states. */
enum { Q_INPUT_FREE = 0, Q_INPUT_BOUND = 1 };

/*
 * The message of the most recent failure on the calling thread, or NULL when
 * nothing has failed on this thread. The text stays valid until the next
 * failure on this thread; do not free it.
 */
QUARN_API const char* q_error(void) QUARN_NOEXCEPT;

/* Releases a string the library handed out as an owned result. NULL is a no-op. */
QUARN_API void q_string_free(char* text) QUARN_NOEXCEPT;

/*
 * Parses one expression of the tensor language, e.g. "ij * jk ~ ijk" or
 * "ij ~ i | j:4 | i j j'". Returns a new component, or NULL: "null
 * expression" for a NULL or non-UTF-8 text, otherwise the parse error as
 * `ParseError { offset: N, message: "..." }`.
 */
QUARN_API QComponent* q_parse(const char* text) QUARN_NOEXCEPT;

/* Releases a component. NULL is a no-op. */
QUARN_API void q_component_free(QComponent* component) QUARN_NOEXCEPT;

/*
 * Component combinators. Each returns a new component built from copies of
 * its arguments: the caller keeps the arguments (and must still release
 * them), and releasing them later does not affect the result. Nothing is
 * checked here; a component that does not fit together fails when its
 * boundary is queried or when it is compiled. On a NULL argument they return
 * NULL with "null left component", "null right component" (two-part
 * combinators, left tested first) or "null component".
 */

/* A component with one input and one output that passes its input through. */
QUARN_API QComponent* q_identity(void) QUARN_NOEXCEPT;

/* Both parts side by side: left's inputs then right's, left's outputs then right's. */
QUARN_API QComponent* q_pair(const QComponent* left, const QComponent* right) QUARN_NOEXCEPT;

/*
 * Left runs first; its outputs feed right's first Free inputs in order. Left's
 * outputs beyond those inputs stay outputs of the result.
 */
QUARN_API QComponent* q_chain(const QComponent* left, const QComponent* right) QUARN_NOEXCEPT;

/*
 * Both parts read the same values: right's first Free inputs are shared with
 * left's Free inputs, one for one; all outputs of both are outputs.
 */
QUARN_API QComponent* q_fanout(const QComponent* left, const QComponent* right) QUARN_NOEXCEPT;

/* Function composition: right runs first and feeds left (q_chain(right, left)'s wiring). */
QUARN_API QComponent* q_compose(const QComponent* left, const QComponent* right) QUARN_NOEXCEPT;

/* Exchanges the first two outputs of `component` (no change with fewer than two). */
QUARN_API QComponent* q_swap(const QComponent* component) QUARN_NOEXCEPT;

/*
 * Marks input `index` of `component` Bound: no combinator feeds it, it stays
 * an input of every enclosing component. The index is checked only when the
 * boundary is computed ("cannot bind nonexistent input N", "input N is
 * already bound").
 */
QUARN_API QComponent* q_bind_input(const QComponent* component, size_t index) QUARN_NOEXCEPT;

/*
 * Boundary queries: write the number of inputs (Free and Bound together), the
 * number of outputs, or one Q_INPUT_FREE / Q_INPUT_BOUND state per input.
 * `states` must have room for the input count; exactly that many values are
 * written. Return 0, or -1 with the message in q_error(): "null component",
 * then "null input count output", "null output count output" or "null input
 * states" for a NULL result pointer, or a boundary error. Nothing is written
 * on failure.
 */
QUARN_API int q_component_input_count(const QComponent* component, size_t* count) QUARN_NOEXCEPT;
QUARN_API int q_component_output_count(const QComponent* component, size_t* count) QUARN_NOEXCEPT;
QUARN_API int q_component_input_states(const QComponent* component,
                                       uint32_t* states) QUARN_NOEXCEPT;

/* ------------------------------------------------------------ programs */

/* A compiled program, loaded and ready to run. */
typedef struct QProgram QProgram;

/* The device a program runs on and memory lives on: Cpu (0) or Cuda (1). */
typedef uint32_t Device;
enum { Cpu = 0, Cuda = 1 };

/*
 * A read-only input tensor: `rank` extents at `shape`, and their product of
 * floats at `data`, densely, last dimension fastest. Stays the caller's.
 */
typedef struct Tensor {
  const float* data;
  const size_t* shape;
  size_t rank;
} Tensor;

/* A caller-allocated output tensor for q_exec_into. */
typedef struct TensorMut {
  float* data;
  const size_t* shape;
  size_t rank;
} TensorMut;

/*
 * One output of q_exec: `len` floats (the product of the extents, 1 for
 * rank 0) and `rank` extents (`shape` must not be read when rank is 0).
 */
typedef struct OutputTensor {
  float* data;
  size_t* shape;
  size_t rank;
  size_t len;
} OutputTensor;

/* The outputs of q_exec, in output order; all zero on failure. */
typedef struct OutputTensors {
  OutputTensor* tensors;
  size_t count;
} OutputTensors;

/*
 * Compiles a component for a device: validates it, generates code, builds
 * it (with `cc` for Cpu) into a temporary shared object and loads it.
 * Returns a program to release with q_program_free, or NULL with the message
 * in q_error() ("null component", a compile error, or the C compiler's
 * failure).
 */
QUARN_API QProgram* q_compile(const QComponent* component, Device device) QUARN_NOEXCEPT;

/*
 * The source text q_compile would build, as a string to release with
 * q_string_free; NULL on failure, with the message in q_error().
 */
QUARN_API char* q_code(const QComponent* component, Device device) QUARN_NOEXCEPT;

/* The device the program was compiled for; 0 with "null program" for NULL. */
QUARN_API int q_program_device(const QProgram* program) QUARN_NOEXCEPT;

/* Releases a program and removes its shared object. NULL is a no-op. */
QUARN_API void q_program_free(QProgram* program) QUARN_NOEXCEPT;

/* The number of outputs; 0 with "null program" for NULL. */
QUARN_API size_t q_output_count(const QProgram* program) QUARN_NOEXCEPT;

/* Writes one rank per output into `ranks` (q_output_count entries). 0 or -1. */
QUARN_API int q_output_ranks(const QProgram* program, size_t* ranks) QUARN_NOEXCEPT;

/*
 * Writes the extents of output i, for the given inputs, into `shapes[i]`
 * (rank i entries each). 0 or -1 ("null program", "null inputs", "null
 * shapes").
 */
QUARN_API int q_output_shapes(const QProgram* program, const Tensor* inputs, size_t input_count,
                              size_t** shapes) QUARN_NOEXCEPT;

/*
 * Runs the program on `inputs` (in program-input order) and returns newly
 * allocated outputs, to release with q_outputs_free. On failure returns
 * { NULL, 0 } with the message in q_error().
 */
QUARN_API OutputTensors q_exec(const QProgram* program, const Tensor* inputs,
                               size_t input_count) QUARN_NOEXCEPT;

/*
 * Runs the program into caller-allocated outputs, whose ranks and shapes
 * must be those q_output_ranks and q_output_shapes report for the same
 * inputs. 0, or -1 with "null program", "null inputs", "wrong output count"
 * or "null outputs".
 */
QUARN_API int q_exec_into(const QProgram* program, const Tensor* inputs, size_t input_count,
                          TensorMut* outputs, size_t output_count) QUARN_NOEXCEPT;

/* Releases what q_exec returned. NULL or a count of 0 is a no-op. */
QUARN_API void q_outputs_free(OutputTensor* tensors, size_t count) QUARN_NOEXCEPT;

/*
 * Allocates `len` floats on the device (uninitialised); release with q_free
 * on the same device. NULL with "allocation failed" or "allocation size
 * overflow".
 */
QUARN_API float* q_alloc(Device device, size_t len) QUARN_NOEXCEPT;

/* Releases a buffer from q_alloc with the same device. NULL is a no-op. */
QUARN_API void q_free(Device device, float* data) QUARN_NOEXCEPT;

/*
 * Copies `len` floats between any two devices. A `len` of 0 does nothing and
 * succeeds whatever the pointers. 0, or -1 with "null copy pointer".
 */
QUARN_API int q_copy(Device dst_device, float* dst, Device src_device, const float* src,
                     size_t len) QUARN_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QUARN_H */
