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

#ifdef __cplusplus
}
#endif

#endif /* QUARN_H */
