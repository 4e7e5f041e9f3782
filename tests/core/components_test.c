/* Component handles through the public header only: boundary queries,
 * boundary errors, null arguments, and ownership of combinator arguments. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "quarn.h"

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      ++failures;                                                              \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                          \
  } while (0)

#define SENTINEL 0xdeadbeefu

static int streq(const char* a, const char* b) { return a != NULL && b != NULL && strcmp(a, b) == 0; }

/* Whether `c` has exactly `n` inputs with `states` and `outputs` outputs;
 * also checks that no state is written past the input count. */
static int has_boundary(const QComponent* c, size_t n, const uint32_t* states, size_t outputs) {
  size_t inputs = 0;
  size_t outs = 0;
  uint32_t got[8];
  size_t i;
  for (i = 0; i < 8; ++i) got[i] = SENTINEL;
  if (q_component_input_count(c, &inputs) != 0 || inputs != n || n >= 8) return 0;
  if (q_component_output_count(c, &outs) != 0 || outs != outputs) return 0;
  if (q_component_input_states(c, got) != 0) return 0;
  for (i = 0; i < n; ++i) {
    if (got[i] != states[i]) return 0;
  }
  return got[n] == SENTINEL;
}

/* Whether all three queries fail on `c` with `message`, writing nothing. */
static int queries_fail(const QComponent* c, const char* message) {
  size_t count = 77;
  uint32_t states[4] = {SENTINEL, SENTINEL, SENTINEL, SENTINEL};
  if (q_component_input_count(c, &count) != -1 || !streq(q_error(), message)) return 0;
  if (q_component_output_count(c, &count) != -1 || !streq(q_error(), message)) return 0;
  if (q_component_input_states(c, states) != -1 || !streq(q_error(), message)) return 0;
  return count == 77 && states[0] == SENTINEL;
}

static void test_counts_and_states(void) {
  static const uint32_t F = Q_INPUT_FREE, B = Q_INPUT_BOUND;
  QComponent* id = q_identity();
  QComponent* unary = q_parse("ab ~ a");
  QComponent* binary = q_parse("ab * bc ~ abc");
  QComponent* two = q_pair(id, id);
  QComponent* bound = q_bind_input(binary, 0);

  struct {
    const char* name;
    QComponent* c;
    size_t n;
    uint32_t states[4];
    size_t outputs;
  } cases[] = {
      {"identity", q_identity(), 1, {F}, 1},
      {"parsed", q_parse("ab * bc ~ abc"), 2, {F, F}, 1},
      {"pair", q_pair(id, binary), 3, {F, F, F}, 2},
      {"chain", q_chain(unary, binary), 2, {F, F}, 1},
      {"chain keeps extra outputs", q_chain(two, unary), 2, {F, F}, 2},
      {"chain skips bound", q_chain(unary, bound), 2, {F, B}, 1},
      {"compose", q_compose(binary, unary), 2, {F, F}, 1},
      {"fanout", q_fanout(binary, binary), 2, {F, F}, 2},
      {"fanout shares only free", q_fanout(bound, binary), 3, {B, F, F}, 2},
      {"swap", q_swap(bound), 2, {B, F}, 1},
      {"bound still counts", q_bind_input(binary, 1), 2, {F, B}, 1},
  };
  size_t i;
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    if (cases[i].c == NULL || !has_boundary(cases[i].c, cases[i].n, cases[i].states, cases[i].outputs)) {
      ++failures;
      fprintf(stderr, "boundary case failed: %s\n", cases[i].name);
    }
    q_component_free(cases[i].c);
  }
  q_component_free(id);
  q_component_free(unary);
  q_component_free(binary);
  q_component_free(two);
  q_component_free(bound);
}

static void test_boundary_errors(void) {
  QComponent* c = q_parse("ab * bc ~ abc");
  QComponent* far = q_bind_input(c, 5); /* accepted here, rejected by the queries */
  QComponent* once = q_bind_input(c, 0);
  QComponent* twice = q_bind_input(once, 0);
  QComponent* inner = q_pair(far, twice);
  CHECK(far != NULL && twice != NULL);
  CHECK(queries_fail(far, "cannot bind nonexistent input 5"));
  CHECK(queries_fail(twice, "input 0 is already bound"));
  CHECK(queries_fail(inner, "cannot bind nonexistent input 5")); /* first child wins */
  q_component_free(c);
  q_component_free(far);
  q_component_free(once);
  q_component_free(twice);
  q_component_free(inner);
}

typedef QComponent* (*Combinator)(const QComponent*, const QComponent*);

static void test_null_arguments(void) {
  static const Combinator combinators[] = {q_pair, q_chain, q_fanout, q_compose};
  QComponent* c = q_identity();
  size_t count = 77;
  uint32_t states[1] = {SENTINEL};
  size_t i;
  for (i = 0; i < 4; ++i) {
    CHECK(combinators[i](NULL, NULL) == NULL);
    CHECK(streq(q_error(), "null left component"));
    CHECK(combinators[i](NULL, c) == NULL);
    CHECK(streq(q_error(), "null left component"));
    CHECK(combinators[i](c, NULL) == NULL);
    CHECK(streq(q_error(), "null right component"));
  }
  CHECK(q_swap(NULL) == NULL);
  CHECK(streq(q_error(), "null component"));
  CHECK(q_bind_input(NULL, 0) == NULL);
  CHECK(streq(q_error(), "null component"));

  /* The component is tested before the result pointer. */
  CHECK(q_component_input_count(NULL, NULL) == -1);
  CHECK(streq(q_error(), "null component"));
  CHECK(q_component_output_count(NULL, &count) == -1);
  CHECK(streq(q_error(), "null component"));
  CHECK(q_component_input_states(NULL, states) == -1);
  CHECK(streq(q_error(), "null component"));
  CHECK(q_component_input_count(c, NULL) == -1);
  CHECK(streq(q_error(), "null input count output"));
  CHECK(q_component_output_count(c, NULL) == -1);
  CHECK(streq(q_error(), "null output count output"));
  CHECK(q_component_input_states(c, NULL) == -1);
  CHECK(streq(q_error(), "null input states"));
  CHECK(count == 77 && states[0] == SENTINEL);
  q_component_free(c);
}

static void test_ownership(void) {
  static const uint32_t free2[] = {Q_INPUT_FREE, Q_INPUT_FREE};
  static const uint32_t bound_first[] = {Q_INPUT_BOUND, Q_INPUT_FREE};
  static const Combinator combinators[] = {q_pair, q_chain, q_fanout, q_compose};
  size_t i;

  /* Releasing the arguments right after the call leaves every result valid. */
  for (i = 0; i < 4; ++i) {
    QComponent* left = q_parse("ab * bc ~ abc");
    QComponent* right = q_parse("abc ~ ac");
    QComponent* result = combinators[i](left, right);
    q_component_free(left);
    q_component_free(right);
    CHECK(result != NULL);
    {
      size_t n = 0;
      CHECK(q_component_input_count(result, &n) == 0 && n >= 2);
    }
    q_component_free(result);
  }

  /* A handle combined with itself, and results built from results. */
  {
    QComponent* c = q_parse("a * a ~ a");
    QComponent* self = q_fanout(c, c);
    QComponent* outer = q_chain(self, c);
    q_component_free(self);
    q_component_free(c);
    CHECK(has_boundary(outer, 2, free2, 1));
    q_component_free(outer);
  }

  /* Copies are independent: binding an input of a copy leaves the original
   * unbound, and each survives the release of the other. */
  {
    QComponent* c = q_parse("a * a ~ a");
    QComponent* bound = q_bind_input(c, 0);
    QComponent* swapped = q_swap(bound);
    CHECK(has_boundary(c, 2, free2, 1));
    q_component_free(c);
    CHECK(has_boundary(bound, 2, bound_first, 1));
    q_component_free(bound);
    CHECK(has_boundary(swapped, 2, bound_first, 1));
    q_component_free(swapped);
  }

  q_component_free(NULL);
}

int main(void) {
  test_counts_and_states();
  test_boundary_errors();
  test_null_arguments();
  test_ownership();
  if (failures != 0) {
    fprintf(stderr, "%d checks failed\n", failures);
    return 1;
  }
  return 0;
}
