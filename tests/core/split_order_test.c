/* Split indexes whose levels the schedule nests in any order: the bounds
 * check of a partial last tile must cover every level, so nothing is read or
 * written past the caller's buffers. Checked twice: through q_exec_into with
 * guard zones around inputs and outputs, and by building the text q_code
 * returns with AddressSanitizer and running it on inputs of exact size. */
#define _POSIX_C_SOURCE 200809L
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
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

enum { GUARD = 4, MAX_ELEMS = 64 };
static const float POISON = 1000.0f;

/* One program of one input; the input holds 0, 1, 2, ... (or all ones). */
typedef struct {
  const char* text;
  size_t in_rank;
  size_t in_shape[2];
  int ones;
  size_t out_rank;
  size_t out_shape[1];
  float want[8];
} Case;

static const Case CASES[] = {
    /* levels in their usual order, as a control */
    {"i ~ . | i:4 | i i'", 1, {5}, 1, 0, {1}, {5}},
    /* the tile level outside the tile count */
    {"i ~ . | i:4 | i' i", 1, {5}, 1, 0, {1}, {5}},
    {"i ~ . | i:4 | i' i", 1, {8}, 1, 0, {1}, {8}},
    {"i ~ . | i:4 | i' i", 1, {1}, 1, 0, {1}, {1}},
    /* three levels, the innermost level outermost */
    {"i ~ . | i:2:3 | i'' i i'", 1, {7}, 1, 0, {1}, {7}},
    /* column sums of a 3x5 matrix with a split column index around the rows */
    {"ij ~ j | j:4 | i j' j", 2, {3, 5}, 0, 1, {5}, {15, 18, 21, 24, 27}},
    {"ij ~ j | j:4 | j' i j", 2, {3, 5}, 0, 1, {5}, {15, 18, 21, 24, 27}},
};

static size_t product(const size_t* shape, size_t rank) {
  size_t n = 1;
  for (size_t k = 0; k < rank; ++k) n *= shape[k];
  return n;
}

static void fill_input(const Case* c, float* x, size_t n) {
  for (size_t k = 0; k < n; ++k) x[k] = c->ones ? 1.0f : (float)k;
}

/* Runs the case through q_exec_into; poisoned zones after the input and
 * around the output show reads or writes past either end. */
static void check_values(const Case* c) {
  const size_t n = product(c->in_shape, c->in_rank);
  const size_t m = product(c->out_shape, c->out_rank);
  float x[MAX_ELEMS + GUARD];
  float y[GUARD + 8 + GUARD];
  fill_input(c, x, n);
  for (size_t k = n; k < n + GUARD; ++k) x[k] = POISON;
  for (size_t k = 0; k < GUARD + m + GUARD; ++k) y[k] = POISON;

  QComponent* component = q_parse(c->text);
  if (component == NULL) {
    ++failures;
    fprintf(stderr, "parse %s: %s\n", c->text, q_error());
    return;
  }
  QProgram* p = q_compile(component, Cpu);
  q_component_free(component);
  if (p == NULL) {
    ++failures;
    fprintf(stderr, "compile %s: %s\n", c->text, q_error());
    return;
  }
  const Tensor in = {x, c->in_shape, c->in_rank};
  TensorMut out = {y + GUARD, c->out_shape, c->out_rank};
  for (size_t k = 0; k < m; ++k) y[GUARD + k] = 0.0f;
  CHECK(q_exec_into(p, &in, 1, &out, 1) == 0);
  for (size_t k = 0; k < m; ++k) {
    if (fabsf(y[GUARD + k] - c->want[k]) > 1e-4f) {
      ++failures;
      fprintf(stderr, "%s on %zu elements: output %zu is %g, expected %g\n", c->text, n, k,
              (double)y[GUARD + k], (double)c->want[k]);
    }
  }
  for (size_t k = 0; k < GUARD; ++k) {
    if (y[k] != POISON || y[GUARD + m + k] != POISON) {
      ++failures;
      fprintf(stderr, "%s on %zu elements: wrote outside the output\n", c->text, n);
      break;
    }
  }
  q_program_free(p);
}

static int run_command(const char* command) {
  int status = system(command);
  return status == 0 ? 0 : -1;
}

/* Whether the local compiler can build and run an AddressSanitizer program. */
static int asan_available(const char* dir) {
  char path[512];
  char command[1536];
  snprintf(path, sizeof path, "%s/probe.c", dir);
  FILE* f = fopen(path, "w");
  if (f == NULL) return 0;
  fputs("int main(void) { return 0; }\n", f);
  fclose(f);
  snprintf(command, sizeof command,
           "cc -fsanitize=address -o %s/probe %s >/dev/null 2>&1 && "
           "ASAN_OPTIONS=detect_leaks=0 %s/probe >/dev/null 2>&1", dir,
           path, dir);
  return run_command(command) == 0;
}

static void write_shape(FILE* f, const char* name, const size_t* shape, size_t rank) {
  fprintf(f, "  static const size_t %s[] = {", name);
  if (rank == 0) fputs("1", f);
  for (size_t k = 0; k < rank; ++k) fprintf(f, "%s%zu", k ? ", " : "", shape[k]);
  fputs("};\n", f);
}

/* Builds the generated text with AddressSanitizer, appends a driver that
 * passes heap buffers of exactly the right size, and runs it. */
static void check_generated(const Case* c, const char* dir, size_t number) {
  QComponent* component = q_parse(c->text);
  if (component == NULL) return; /* already reported by check_values */
  char* code = q_code(component, Cpu);
  q_component_free(component);
  if (code == NULL) {
    ++failures;
    fprintf(stderr, "code %s: %s\n", c->text, q_error());
    return;
  }
  char path[512];
  char command[1536];
  snprintf(path, sizeof path, "%s/case%zu.c", dir, number);
  FILE* f = fopen(path, "w");
  if (f == NULL) {
    ++failures;
    fprintf(stderr, "cannot write %s\n", path);
    q_string_free(code);
    return;
  }
  fputs(code, f);
  q_string_free(code);
  const size_t n = product(c->in_shape, c->in_rank);
  const size_t m = product(c->out_shape, c->out_rank);
  fputs("\n#include <stdio.h>\nint main(void) {\n", f);
  write_shape(f, "in_shape", c->in_shape, c->in_rank);
  write_shape(f, "out_shape", c->out_shape, c->out_rank);
  fprintf(f, "  float* x = (float*)malloc(%zu * sizeof(float));\n", n);
  fprintf(f, "  float* y = (float*)calloc(%zu, sizeof(float));\n", m);
  fprintf(f, "  for (size_t k = 0; k < %zu; ++k) x[k] = %s;\n", n, c->ones ? "1.0f" : "(float)k");
  fprintf(f, "  const Tensor in = {x, in_shape, %zu};\n", c->in_rank);
  fprintf(f, "  TensorMut out = {y, out_shape, %zu};\n", c->out_rank);
  fputs("  exec(&in, &out);\n", f);
  fprintf(f, "  printf(\"%%g\\n\", (double)y[%zu]);\n", m - 1);
  fputs("  free(x);\n  free(y);\n  return 0;\n}\n", f);
  fclose(f);
  snprintf(command, sizeof command,
           "cc -fsanitize=address -g -o %s/case%zu %s -lm && "
           "ASAN_OPTIONS=detect_leaks=0 %s/case%zu >%s/case%zu.out 2>&1", dir,
           number, path, dir, number, dir, number);
  if (run_command(command) != 0) {
    ++failures;
    fprintf(stderr, "%s: the generated code fails under AddressSanitizer (see %s/case%zu.out)\n",
            c->text, dir, number);
  }
}

int main(void) {
  const size_t count = sizeof CASES / sizeof CASES[0];
  for (size_t k = 0; k < count; ++k) check_values(&CASES[k]);

  char dir[] = "/tmp/quarn_split_order_XXXXXX";
  if (mkdtemp(dir) == NULL) {
    fprintf(stderr, "cannot create a scratch directory\n");
    return 1;
  }
  if (asan_available(dir)) {
    for (size_t k = 0; k < count; ++k) check_generated(&CASES[k], dir, k);
  } else {
    fprintf(stderr, "cc cannot build with AddressSanitizer here: generated code not checked\n");
  }
  if (failures == 0) {
    char command[600];
    snprintf(command, sizeof command, "rm -rf %s", dir);
    run_command(command);
  }
  if (failures != 0) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures == 0 ? 0 : 1;
}
