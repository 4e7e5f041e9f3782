/* Programs end to end through the public header: parse or combine, compile
 * with cc, execute, and compare every output with values computed here with
 * plain loops. Also the argument checks of the program exports and host
 * tensor memory. */
#define _POSIX_C_SOURCE 200809L
#include <math.h>
#include <stdint.h>
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

#define COUNT(array) (sizeof(array) / sizeof((array)[0]))

static int streq(const char* a, const char* b) { return a != NULL && b != NULL && strcmp(a, b) == 0; }

/* Whether a computed value matches the expected one: NaN matches NaN,
 * infinities match exactly, anything else within a relative tolerance that
 * allows for a different summation order. */
static int close_to(float got, float want) {
  if (isnan(want)) return isnan(got);
  if (isinf(want)) return got == want;
  return fabsf(got - want) <= 1e-4f * fmaxf(1.0f, fabsf(want));
}

/* ------------------------------------------------------------ components */

static QComponent* parse(const char* text) {
  QComponent* c = q_parse(text);
  if (c == NULL) {
    ++failures;
    fprintf(stderr, "parse %s: %s\n", text, q_error());
  }
  return c;
}

typedef QComponent* (*Combinator)(const QComponent*, const QComponent*);

/* Combines two components and releases both (the combinators copy). */
static QComponent* join(Combinator combine, QComponent* left, QComponent* right) {
  QComponent* c = left != NULL && right != NULL ? combine(left, right) : NULL;
  q_component_free(left);
  q_component_free(right);
  return c;
}

/* `first` chained into each parsed text in turn. */
static QComponent* chain_texts(QComponent* first, const char* const* texts, size_t n) {
  for (size_t k = 0; k < n; ++k) first = join(q_chain, first, parse(texts[k]));
  return first;
}

/* Compiles for the CPU, failing the test with the compiler's message. */
static QProgram* compile(const char* name, const QComponent* c) {
  if (c == NULL) return NULL;
  QProgram* p = q_compile(c, Cpu);
  if (p == NULL) {
    ++failures;
    fprintf(stderr, "compile %s: %s\n", name, q_error());
  }
  return p;
}

/* Checks one output of q_exec against an expected shape and values. */
static void expect_output(const char* name, size_t index, const OutputTensor* t, size_t rank,
                          const size_t* shape, const float* want) {
  size_t len = 1;
  int ok = t->rank == rank;
  for (size_t d = 0; ok && d < rank; ++d) {
    ok = t->shape[d] == shape[d];
    len *= shape[d];
  }
  if (!ok || t->len != len || (t->data == NULL && len != 0)) {
    ++failures;
    fprintf(stderr, "%s output %zu: rank %zu len %zu, expected rank %zu len %zu\n", name, index,
            t->rank, t->len, rank, len);
    for (size_t d = 0; d < rank && d < t->rank; ++d) {
      fprintf(stderr, "  dim %zu: %zu, expected %zu\n", d, t->shape[d], shape[d]);
    }
    return;
  }
  for (size_t k = 0; k < len; ++k) {
    if (!close_to(t->data[k], want[k])) {
      ++failures;
      fprintf(stderr, "%s output %zu element %zu: got %.9g, expected %.9g\n", name, index, k,
              (double)t->data[k], (double)want[k]);
      return;
    }
  }
}

/* ------------------------------------------------- reference semantics */

enum { ADD, MUL, DIV, SUB, MAX, MIN, POW, LOG, GT, GE, LT, LE, EQ, NE, AND, OR, XOR, NOT, OPS };

/* Tokens by operator value, two-character tokens first when reading. */
static const char* const TOKENS[OPS] = {"+",  "*",  "/",  "-",  ">",  "<",  "^",  "$",  ">>",
                                        ">=", "<<", "<=", "==", "!=", "&&", "||", "^^", "!!"};

static float truth(int b) { return b ? 1.0f : 0.0f; }

/* One operator applied to one element. */
static float unary(int op, float x) {
  switch (op) {
    case ADD: case MUL: case AND: case OR: case XOR: return x;
    case DIV: return 1.0f / x;
    case SUB: return -x;
    case MAX: return fmaxf(0.0f, x);
    case MIN: return fminf(0.0f, x);
    case POW: return expf(x);
    case LOG: return logf(x);
    case GT: return truth(x > 0.0f);
    case GE: return truth(x >= 0.0f);
    case LT: return truth(x < 0.0f);
    case LE: return truth(x <= 0.0f);
    case EQ: return truth(x == 0.0f);
    case NE: return truth(x != 0.0f);
    case NOT: return truth(!x);
  }
  abort();
}

/* One operator applied to two elements; also one step of a reduction. */
static float binary(int op, float a, float b) {
  switch (op) {
    case ADD: return a + b;
    case MUL: return a * b;
    case DIV: return a / b;
    case SUB: return a - b;
    case MAX: return fmaxf(a, b);
    case MIN: return fminf(a, b);
    case POW: return powf(a, b);
    case LOG: break; /* no two-operand form */
    case GT: return truth(a > b);
    case GE: return truth(a >= b);
    case LT: return truth(a < b);
    case LE: return truth(a <= b);
    case EQ: return truth(a == b);
    case NE: return truth(a != b);
    case AND: return truth(a != 0.0f && b != 0.0f);
    case OR: return truth(a != 0.0f || b != 0.0f);
    case XOR: return truth((a != 0.0f) != (b != 0.0f));
    case NOT: break;
  }
  abort();
}

/* The value a reduction starts from. */
static float identity_of(int op) {
  switch (op) {
    case MUL: case AND: return 1.0f;
    case MAX: return -INFINITY;
    case MIN: return INFINITY;
    default: return 0.0f;
  }
}

/* An expression read back from its text: an optional prefix operator and
 * one pattern, or two patterns around an operator; then "~" and the output.
 * A schedule after the output changes no value and is ignored. */
typedef struct {
  int op;
  size_t inputs;
  char in[2][8];
  char out[8];
} Expr;

static const char* skip_spaces(const char* s) {
  while (*s == ' ') ++s;
  return s;
}

static const char* read_op(const char* s, int* op) {
  for (int pass = 2; pass >= 1; --pass) {
    for (int k = 0; k < OPS; ++k) {
      if ((int)strlen(TOKENS[k]) == pass && strncmp(s, TOKENS[k], (size_t)pass) == 0) {
        *op = k;
        return s + pass;
      }
    }
  }
  return s;
}

static const char* read_pattern(const char* s, char* out) {
  size_t n = 0;
  if (*s == '.') ++s;
  while (*s >= 'a' && *s <= 'z' && n < 7) out[n++] = *s++;
  out[n] = '\0';
  return s;
}

static Expr read_expr(const char* text) {
  Expr e = {ADD, 1, {"", ""}, ""};
  const char* s = read_op(skip_spaces(text), &e.op);
  s = skip_spaces(read_pattern(skip_spaces(s), e.in[0]));
  if (*s != '~') {
    s = read_op(s, &e.op);
    s = skip_spaces(read_pattern(skip_spaces(s), e.in[1]));
    e.inputs = 2;
  }
  read_pattern(skip_spaces(s + 1), e.out);
  return e;
}

/* The row-major offset of the element that `pattern` selects under the
 * letter values `at`, for a tensor of `shape`. */
static size_t offset(const char* pattern, const size_t* shape, const size_t* at) {
  size_t k = 0;
  for (size_t d = 0; pattern[d] != '\0'; ++d) k = k * shape[d] + at[pattern[d] - 'a'];
  return k;
}

/* Evaluates `e` on `inputs` by visiting every combination of letter values:
 * a pointwise expression writes each output element once, a reduction folds
 * every element into its output element. Writes the output shape and data. */
static void evaluate(const Expr* e, const Tensor* inputs, size_t* out_shape, float* out) {
  size_t extent[26] = {0};
  int used[26] = {0};
  for (size_t i = 0; i < e->inputs; ++i) {
    for (size_t d = 0; e->in[i][d] != '\0'; ++d) {
      extent[e->in[i][d] - 'a'] = inputs[i].shape[d];
      used[e->in[i][d] - 'a'] = 1;
    }
  }
  size_t len = 1;
  for (size_t d = 0; e->out[d] != '\0'; ++d) len *= out_shape[d] = extent[e->out[d] - 'a'];
  int reduces = 0;
  for (int l = 0; l < 26; ++l) reduces |= used[l] && strchr(e->out, 'a' + l) == NULL;
  for (size_t k = 0; k < len; ++k) out[k] = identity_of(e->op);

  char letters[27];
  size_t n = 0;
  for (int l = 0; l < 26; ++l) {
    if (used[l]) letters[n++] = (char)('a' + l);
    if (used[l] && extent[l] == 0) return;
  }
  size_t at[26] = {0};
  for (;;) {
    float a = inputs[0].data[offset(e->in[0], inputs[0].shape, at)];
    float* dst = &out[offset(e->out, out_shape, at)];
    if (e->inputs == 2) {
      *dst = binary(e->op, a, inputs[1].data[offset(e->in[1], inputs[1].shape, at)]);
    } else {
      *dst = reduces ? binary(e->op, *dst, a) : unary(e->op, a);
    }
    size_t d = n;
    while (d > 0 && ++at[letters[d - 1] - 'a'] == extent[letters[d - 1] - 'a']) {
      at[letters[--d] - 'a'] = 0;
    }
    if (d == 0) return;
  }
}

/* ------------------------------------------------- single expressions */

/* Values with negatives, zeros and fractions, so that every operator and
 * comparison sees both outcomes; inputs read them from different offsets. */
static const float POOL[] = {-2.0f, -0.5f, 0.0f, 0.5f, 1.0f, 2.0f, 3.0f, 0.0f,
                             -1.0f, 1.5f,  0.25f, -3.0f, 4.0f, 0.0f, 2.5f, 1.0f, -0.25f};

typedef struct {
  char text[64];
  size_t shape[2][3];
  const float* data[2]; /* NULL: cut from the pool */
} Case;

/* Operands for the two-input operators: equal, opposite-signed and zero
 * pairs, so that every comparison and logical operator sees each outcome. */
static const float LEFT[8] = {-2.0f, -0.5f, 0.0f, 0.5f, 1.0f, 2.0f, 3.0f, 0.0f};
static const float RIGHT[8] = {1.0f, -0.5f, 0.0f, 2.0f, -1.0f, 2.0f, 0.5f, -3.0f};

static size_t rank_of(const char* pattern) { return strlen(pattern); }

static size_t volume(const size_t* shape, size_t rank) {
  size_t n = 1;
  for (size_t d = 0; d < rank; ++d) n *= shape[d];
  return n;
}

/* The cases of the big table: each operator element-wise in both forms,
 * each reducible operator along an axis, then layouts, broadcasting,
 * scalars, splits and loop orders. */
static size_t build_cases(Case* cases) {
  size_t n = 0;
  for (int op = 0; op < OPS; ++op) {
    Case c = {"", {{2, 4}}, {NULL, NULL}};
    snprintf(c.text, sizeof c.text, "%sij ~ ij", TOKENS[op]);
    cases[n++] = c;
  }
  for (int op = 0; op < NOT; ++op) {
    if (op == LOG) continue; /* one-operand only; rejected by validation */
    Case c = {"", {{2, 4}, {2, 4}}, {LEFT, RIGHT}};
    snprintf(c.text, sizeof c.text, "ij %s ij ~ ij", TOKENS[op]);
    cases[n++] = c;
  }
  static const int reducible[] = {ADD, MUL, MAX, MIN, AND, OR, XOR};
  for (size_t k = 0; k < COUNT(reducible); ++k) {
    Case c = {"", {{4, 3}}, {NULL, NULL}};
    snprintf(c.text, sizeof c.text, "%sij ~ i", TOKENS[reducible[k]]);
    cases[n++] = c;
    Case whole = {"", {{3, 2}}, {NULL, NULL}};
    snprintf(whole.text, sizeof whole.text, "%sij ~ .", TOKENS[reducible[k]]);
    cases[n++] = whole;
  }
  static const struct {
    const char* text;
    size_t shape[2][3];
  } fixed[] = {
      /* layouts */
      {"ij ~ ji", {{3, 5}}},
      {"ijk ~ kij", {{2, 3, 4}}},
      {"ij ~ j", {{3, 5}}},
      {"ijk ~ ik", {{2, 3, 4}}},
      {"ijk ~ j", {{2, 3, 4}}},
      {"ij ~ ij", {{0, 3}}},
      {"ij ~ i", {{3, 0}}},
      {">ij ~ i", {{2, 0}}},
      /* broadcasting */
      {"ij + j ~ ij", {{3, 4}, {4}}},
      {"i * ij ~ ij", {{3}, {3, 4}}},
      {"ij - ji ~ ij", {{3, 3}, {3, 3}}},
      /* scalars */
      {". ~ .", {{0}}},
      {"-. ~ .", {{0}}},
      {". - . ~ .", {{0}, {0}}},
      {". * ij ~ ij", {{0}, {2, 3}}},
      {"i / . ~ i", {{5}, {0}}},
      /* splits whose factors do not divide the extent */
      {"i ~ i | i:4 |", {{7}}},
      {"ij ~ i | j:4:2 |", {{2, 11}}},
      {"ij ~ i | j:4 |", {{3, 7}}},
      {"ij ~ i | i:2 |", {{5, 3}}},
      {"ij ~ ji | i:3, j:2 |", {{5, 7}}},
      {"ij ~ . | i:4, j:3 |", {{5, 7}}},
      {"ij * ij ~ ij | j:3 |", {{2, 5}, {2, 5}}},
      /* loop orders and placement */
      {"ij ~ i | | j i", {{3, 4}}},
      {"ij ~ i | | i ! j", {{3, 4}}},
      {">ij ~ j | | j ! i", {{3, 4}}},
      {"ij ~ i | j:2 | j i j'", {{3, 5}}},
  };
  for (size_t k = 0; k < COUNT(fixed); ++k) {
    Case c = {"", {{0}}, {NULL, NULL}};
    snprintf(c.text, sizeof c.text, "%s", fixed[k].text);
    memcpy(c.shape, fixed[k].shape, sizeof c.shape);
    cases[n++] = c;
  }
  return n;
}

#define MAX_CASES 128
#define MAX_INPUTS (2 * MAX_CASES)

/* Input data for every case, cut from the pool at offsets that differ
 * between inputs. */
static float* make_input(const size_t* shape, size_t rank, size_t seed) {
  size_t len = volume(shape, rank);
  float* data = malloc((len == 0 ? 1 : len) * sizeof(float));
  for (size_t k = 0; k < len; ++k) data[k] = POOL[(k * 7 + seed * 5) % COUNT(POOL)];
  return data;
}

/* Runs the cases one at a time to name each one that does not compile. */
static void diagnose(const Case* cases, size_t n) {
  for (size_t k = 0; k < n; ++k) {
    QComponent* c = parse(cases[k].text);
    char* code = c != NULL ? q_code(c, Cpu) : NULL;
    if (c != NULL && code == NULL) fprintf(stderr, "  %s: %s\n", cases[k].text, q_error());
    q_string_free(code);
    q_component_free(c);
  }
}

/* All cases side by side in one component (one cc run), each output checked
 * against `evaluate` on the same inputs. */
static void test_expression_table(void) {
  static Case cases[MAX_CASES];
  const size_t n = build_cases(cases);
  Expr exprs[MAX_CASES];
  Tensor inputs[MAX_INPUTS];
  float* data[MAX_INPUTS];
  size_t input_count = 0;

  QComponent* all = NULL;
  for (size_t k = 0; k < n; ++k) {
    exprs[k] = read_expr(cases[k].text);
    for (size_t i = 0; i < exprs[k].inputs; ++i) {
      size_t rank = rank_of(exprs[k].in[i]);
      data[input_count] = make_input(cases[k].shape[i], rank, input_count);
      if (cases[k].data[i] != NULL) memcpy(data[input_count], cases[k].data[i], 8 * sizeof(float));
      inputs[input_count] = (Tensor){data[input_count], cases[k].shape[i], rank};
      ++input_count;
    }
    QComponent* c = parse(cases[k].text);
    all = all == NULL ? c : join(q_pair, all, c);
  }

  QProgram* program = compile("expression table", all);
  if (program == NULL) diagnose(cases, n);
  q_component_free(all);
  if (program != NULL) {
    OutputTensors outs = q_exec(program, inputs, input_count);
    CHECK(outs.count == n);
    size_t first = 0;
    for (size_t k = 0; k < n && k < outs.count; ++k) {
      size_t shape[3];
      float want[64];
      evaluate(&exprs[k], &inputs[first], shape, want);
      expect_output(cases[k].text, 0, &outs.tensors[k], rank_of(exprs[k].out), shape, want);
      first += exprs[k].inputs;
    }
    q_outputs_free(outs.tensors, outs.count);
    q_program_free(program);
  }
  for (size_t i = 0; i < input_count; ++i) free(data[i]);
}

/* ------------------------------------------------- combined components */

/* Matrices used by the combinator cases: a and b are 3 x 4, v has 4
 * elements, w has 4. */
static const float A[12] = {1, -2, 0.5f, 3, 0, 4, -1, 2, 2.5f, 1, -3, 0.25f};
static const float B[12] = {2, 1, -1, 0.5f, 3, -2, 1, 4, 0, 1.5f, 2, -1};
static const float V[4] = {0.5f, -1, 2, 3};
static const float W[4] = {1.5f, 2, -0.5f, 1};
static const size_t MAT[2] = {3, 4};
static const size_t VEC[1] = {4};

static void row_sums_of_product(const float* a, const float* b, float* out) {
  for (size_t i = 0; i < 3; ++i) {
    out[i] = 0;
    for (size_t j = 0; j < 4; ++j) out[i] += a[i * 4 + j] * b[i * 4 + j];
  }
}

static void row_sums(const float* a, float* out) {
  for (size_t i = 0; i < 3; ++i) out[i] = a[i * 4] + a[i * 4 + 1] + a[i * 4 + 2] + a[i * 4 + 3];
}

static void column_sums(const float* a, float* out) {
  for (size_t j = 0; j < 4; ++j) out[j] = a[j] + a[4 + j] + a[8 + j];
}

typedef struct {
  size_t rank;
  const size_t* shape;
  float want[16];
} Expected;

/* Compiles `c` (released here), runs it and checks every output. */
static void expect_program(const char* name, QComponent* c, const Tensor* inputs, size_t n_inputs,
                           const Expected* want, size_t n_outputs) {
  QProgram* p = compile(name, c);
  q_component_free(c);
  if (p == NULL) return;
  OutputTensors outs = q_exec(p, inputs, n_inputs);
  if (outs.count != n_outputs) {
    ++failures;
    fprintf(stderr, "%s: %zu outputs, expected %zu\n", name, outs.count, n_outputs);
  }
  for (size_t o = 0; o < outs.count && o < n_outputs; ++o) {
    expect_output(name, o, &outs.tensors[o], want[o].rank, want[o].shape, want[o].want);
  }
  q_outputs_free(outs.tensors, outs.count);
  q_program_free(p);
}

static void test_combinators(void) {
  const Tensor ab[2] = {{A, MAT, 2}, {B, MAT, 2}};
  const Tensor av[2] = {{A, MAT, 2}, {V, VEC, 1}};
  const Tensor vw[2] = {{V, VEC, 1}, {W, VEC, 1}};
  const size_t rows[1] = {3};
  Expected e[2];

  /* chain and compose: the row sums of an element-wise product */
  e[0] = (Expected){1, rows, {0}};
  row_sums_of_product(A, B, e[0].want);
  expect_program("chain", join(q_chain, parse("ij * ij ~ ij"), parse("ij ~ i")), ab, 2, e, 1);
  expect_program("compose", join(q_compose, parse("ij ~ i"), parse("ij * ij ~ ij")), ab, 2, e, 1);

  /* fanout: both parts read the one input */
  e[0] = (Expected){1, rows, {0}};
  row_sums(A, e[0].want);
  e[1] = (Expected){1, VEC, {0}};
  column_sums(A, e[1].want);
  expect_program("fanout", join(q_fanout, parse("ij ~ i"), parse("ij ~ j")), ab, 1, e, 2);

  /* fanout sharing only the first input: [-v, v * w] from inputs [v, w] */
  e[0] = (Expected){1, VEC, {0}};
  e[1] = (Expected){1, VEC, {0}};
  for (size_t k = 0; k < 4; ++k) e[0].want[k] = -V[k], e[1].want[k] = V[k] * W[k];
  expect_program("fanout with an extra input", join(q_fanout, parse("-i ~ i"), parse("i * i ~ i")),
                 vw, 2, e, 2);

  /* pair, and swap of a pair with outputs of different ranks */
  e[0] = (Expected){1, rows, {0}};
  row_sums(A, e[0].want);
  e[1] = (Expected){1, VEC, {0}};
  for (size_t k = 0; k < 4; ++k) e[1].want[k] = -V[k];
  expect_program("pair", join(q_pair, parse("ij ~ i"), parse("-i ~ i")), av, 2, e, 2);
  {
    QComponent* pair = join(q_pair, parse("ij ~ i"), parse("-i ~ i"));
    QComponent* swapped = pair != NULL ? q_swap(pair) : NULL;
    q_component_free(pair);
    Expected s[2] = {e[1], e[0]};
    expect_program("swap", swapped, av, 2, s, 2);
  }

  /* bind_input: the chained value skips the bound input 0 and feeds input
   * 1, so the result is w - (-v) with w the program's second input */
  {
    QComponent* sub = parse("i - i ~ i");
    QComponent* bound = sub != NULL ? q_bind_input(sub, 0) : NULL;
    q_component_free(sub);
    e[0] = (Expected){1, VEC, {0}};
    for (size_t k = 0; k < 4; ++k) e[0].want[k] = W[k] + V[k];
    expect_program("bind_input", join(q_chain, parse("-i ~ i"), bound), vw, 2, e, 1);
  }

  /* chain keeps the outputs its second part does not consume */
  e[0] = (Expected){1, VEC, {0}};
  e[1] = (Expected){1, VEC, {0}};
  for (size_t k = 0; k < 4; ++k) e[0].want[k] = 1.0f / W[k], e[1].want[k] = expf(-V[k]);
  expect_program("chain with a spare output",
                 join(q_chain, join(q_pair, parse("-i ~ i"), parse("/i ~ i")), parse("^i ~ i")), vw,
                 2, e, 2);

  e[0] = (Expected){2, MAT, {0}};
  for (size_t k = 0; k < 12; ++k) e[0].want[k] = -A[k];
  /* the identity feeding an expression */
  expect_program("identity chained", join(q_chain, q_identity(), parse("-ij ~ ij")), ab, 1, e, 1);
}

/* ------------------------------------------------------ fused programs */

/* x (rows x cols) with each row's maximum subtracted and exponentiated. */
static QComponent* row_exponentials(void) {
  static const char* const rest[] = {"ik - i ~ ik | | i k 1", "^ik ~ ik | | i k 0"};
  return chain_texts(join(q_fanout, q_identity(), parse(">ik ~ i")), rest, COUNT(rest));
}

static float row_max(const float* x, size_t cols) {
  float m = -INFINITY;
  for (size_t k = 0; k < cols; ++k) m = fmaxf(m, x[k]);
  return m;
}

static void test_fused(void) {
  const Tensor ab[2] = {{A, MAT, 2}, {B, MAT, 2}};
  const size_t rows[1] = {3};
  Expected e[1];

  /* the product fused into its row sum */
  e[0] = (Expected){1, rows, {0}};
  row_sums_of_product(A, B, e[0].want);
  expect_program("fused row sum of a product",
                 join(q_chain, parse("ij * ij ~ ij"), parse("ij ~ i | | i j 0")), ab, 2, e, 1);

  /* a matrix product: A (3 x 4) times B seen as 4 x 3 */
  {
    const size_t bt_shape[2] = {4, 3};
    const Tensor in[2] = {{A, MAT, 2}, {B, bt_shape, 2}};
    const size_t out_shape[2] = {3, 3};
    Expected m = {2, out_shape, {0}};
    for (size_t i = 0; i < 3; ++i) {
      for (size_t k = 0; k < 3; ++k) {
        for (size_t j = 0; j < 4; ++j) m.want[i * 3 + k] += A[i * 4 + j] * B[j * 3 + k];
      }
    }
    expect_program("fused matrix product",
                   join(q_chain, parse("ij * jk ~ ijk | | i k j"), parse("ijk ~ ik | | i k j 0")),
                   in, 2, &m, 1);
  }

  /* online softmax denominators: sum_k exp(x_ik - max_k x_ik) */
  e[0] = (Expected){1, rows, {0}};
  for (size_t i = 0; i < 3; ++i) {
    float m = row_max(&A[i * 4], 4);
    for (size_t k = 0; k < 4; ++k) e[0].want[i] += expf(A[i * 4 + k] - m);
  }
  expect_program("online softmax sum", join(q_chain, row_exponentials(), parse("ik ~ i | | i k 0")),
                 ab, 1, e, 1);

  /* the same over a vector into a scalar */
  {
    static const char* const rest[] = {"k - . ~ k | | k 1", "^k ~ k | | k 0", "k ~ . | | k 0"};
    const Tensor in[1] = {{V, VEC, 1}};
    Expected s = {0, NULL, {0}};
    float m = row_max(V, 4);
    for (size_t k = 0; k < 4; ++k) s.want[0] += expf(V[k] - m);
    expect_program("online softmax vector",
                   chain_texts(join(q_fanout, q_identity(), parse(">k ~ .")), rest, COUNT(rest)), in,
                   1, &s, 1);
  }

  /* running-sum division: sum_k x_ik / (sum_k x_ik) is 1 for every row */
  {
    static const char* const rest[] = {"ik / i ~ ik | | i k 1", "ik ~ i | | i k 0"};
    static const float positive[12] = {2, 1, 0.5f, 3, 1, 4, 2, 0.25f, 3, 1.5f, 2, 1};
    e[0] = (Expected){1, rows, {1, 1, 1}};
    const Tensor in[1] = {{positive, MAT, 2}};
    expect_program("running-sum division",
                   chain_texts(join(q_fanout, q_identity(), parse("ik ~ i")), rest, COUNT(rest)), in,
                   1, e, 1);
  }

  /* attention without normalisation: sum_k exp(x_ik - m_i) v_kn */
  {
    const size_t v_shape[2] = {4, 3};
    const Tensor in[2] = {{A, MAT, 2}, {B, v_shape, 2}};
    const size_t out_shape[2] = {3, 3};
    Expected att = {2, out_shape, {0}};
    for (size_t i = 0; i < 3; ++i) {
      float m = row_max(&A[i * 4], 4);
      for (size_t n = 0; n < 3; ++n) {
        for (size_t k = 0; k < 4; ++k) att.want[i * 3 + n] += expf(A[i * 4 + k] - m) * B[k * 3 + n];
      }
    }
    QComponent* product =
        join(q_chain, parse("ik * kn ~ ikn | | i n k 0"), parse("ikn ~ in | | i n k 0"));
    expect_program("online attention",
                   join(q_chain, join(q_pair, row_exponentials(), q_identity()), product), in, 2,
                   &att, 1);
  }
}

/* ------------------------------------- exec_into, queries and argument checks */

static void test_exec_into_and_queries(void) {
  QComponent* c = join(q_fanout, parse("ij ~ i | j:3 |"), parse("ij ~ ."));
  QProgram* p = compile("row and total sums", c);
  q_component_free(c);
  if (p == NULL) return;
  const Tensor in[1] = {{A, MAT, 2}};

  CHECK(q_program_device(p) == Cpu);
  CHECK(q_output_count(p) == 2);
  size_t ranks[3] = {9, 9, 9};
  CHECK(q_output_ranks(p, ranks) == 0 && ranks[0] == 1 && ranks[1] == 0 && ranks[2] == 9);
  size_t shape0[2] = {0, 77};
  size_t unused = 77;
  size_t* shapes[2] = {shape0, &unused};
  CHECK(q_output_shapes(p, in, 1, shapes) == 0 && shape0[0] == 3 && shape0[1] == 77 &&
        unused == 77);

  float sums[4] = {0, 0, 0, -7};
  float total = -7;
  TensorMut outs[2] = {{sums, shape0, 1}, {&total, NULL, 0}};
  CHECK(q_exec_into(p, in, 1, outs, 2) == 0);
  float want[3];
  row_sums(A, want);
  float want_total = want[0] + want[1] + want[2];
  CHECK(close_to(sums[0], want[0]) && close_to(sums[1], want[1]) && close_to(sums[2], want[2]));
  CHECK(sums[3] == -7); /* nothing written past the output */
  CHECK(close_to(total, want_total));

  /* a rank-0 output from q_exec has one element and no shape to read */
  OutputTensors r = q_exec(p, in, 1);
  CHECK(r.count == 2 && r.tensors != NULL);
  if (r.count == 2) {
    CHECK(r.tensors[1].rank == 0 && r.tensors[1].len == 1 && close_to(r.tensors[1].data[0], want_total));
  }
  q_outputs_free(r.tensors, r.count);

  /* argument checks, in order; nothing runs on failure */
  OutputTensors none = q_exec(NULL, in, 1);
  CHECK(none.tensors == NULL && none.count == 0 && streq(q_error(), "null program"));
  none = q_exec(p, NULL, 1);
  CHECK(none.tensors == NULL && none.count == 0 && streq(q_error(), "null inputs"));
  CHECK(q_exec_into(NULL, NULL, 1, NULL, 5) == -1 && streq(q_error(), "null program"));
  CHECK(q_exec_into(p, NULL, 1, NULL, 5) == -1 && streq(q_error(), "null inputs"));
  CHECK(q_exec_into(p, in, 1, NULL, 5) == -1 && streq(q_error(), "wrong output count"));
  CHECK(q_exec_into(p, in, 1, outs, 1) == -1 && streq(q_error(), "wrong output count"));
  CHECK(q_exec_into(p, in, 1, NULL, 2) == -1 && streq(q_error(), "null outputs"));
  CHECK(q_output_ranks(NULL, NULL) == -1 && streq(q_error(), "null program"));
  CHECK(q_output_ranks(p, NULL) == -1 && streq(q_error(), "null ranks"));
  CHECK(q_output_shapes(NULL, NULL, 1, NULL) == -1 && streq(q_error(), "null program"));
  CHECK(q_output_shapes(p, NULL, 1, NULL) == -1 && streq(q_error(), "null inputs"));
  CHECK(q_output_shapes(p, in, 1, NULL) == -1 && streq(q_error(), "null shapes"));
  CHECK(q_output_count(NULL) == 0 && streq(q_error(), "null program"));
  CHECK(q_program_device(NULL) == 0 && streq(q_error(), "null program"));
  CHECK(q_compile(NULL, Cpu) == NULL && streq(q_error(), "null component"));
  CHECK(q_code(NULL, Cpu) == NULL && streq(q_error(), "null component"));
  q_program_free(p);
  q_program_free(NULL);
  q_outputs_free(NULL, 0);
}

/* A component that does not validate reports the lowering's message. */
static void test_compile_errors(void) {
  static const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"ij - ij ~ i",
       "LowerError { message: \"expr 0: binary operator `Sub` must be pointwise; output axes must "
       "match the union of input axes\" }"},
      {"-ij ~ i", "LowerError { message: \"expr 0: operator `Sub` is not reducible\" }"},
  };
  for (size_t k = 0; k < COUNT(cases); ++k) {
    QComponent* c = parse(cases[k].text);
    if (c == NULL) continue;
    CHECK(q_compile(c, Cpu) == NULL && streq(q_error(), cases[k].message));
    CHECK(q_code(c, Cpu) == NULL && streq(q_error(), cases[k].message));
    q_component_free(c);
  }
}

/* Cuda requests either work (on a machine that has the toolkit) or fail
 * with a message; they never bring the process down. */
static void test_cuda_requests(void) {
  QComponent* c = parse("ij ~ i");
  if (c == NULL) return;
  char* code = q_code(c, Cuda);
  CHECK(code != NULL || (q_error() != NULL && q_error()[0] != '\0'));
  q_string_free(code);
  QProgram* p = q_compile(c, Cuda);
  CHECK(p != NULL || (q_error() != NULL && q_error()[0] != '\0'));
  if (p != NULL) CHECK(q_program_device(p) == Cuda);
  q_program_free(p);
  float* data = q_alloc(Cuda, 4);
  CHECK(data != NULL || (q_error() != NULL && q_error()[0] != '\0'));
  q_free(Cuda, data);
  q_component_free(c);
}

/* ------------------------------------------------------- tensor memory */

static void test_memory(void) {
  float* empty = q_alloc(Cpu, 0);
  CHECK(empty != NULL);
  q_free(Cpu, empty);
  q_free(Cpu, NULL);

  const size_t too_many[] = {(size_t)1 << 62, SIZE_MAX};
  for (size_t k = 0; k < COUNT(too_many); ++k) {
    CHECK(q_alloc(Cpu, too_many[k]) == NULL && streq(q_error(), "allocation size overflow"));
  }

  float* dst = q_alloc(Cpu, 5);
  CHECK(dst != NULL);
  if (dst != NULL) {
    const float src[5] = {1.5f, -2, 3, 4, 5};
    for (size_t k = 0; k < 5; ++k) dst[k] = -1;
    CHECK(q_copy(Cpu, dst, Cpu, src, 3) == 0);
    CHECK(dst[0] == 1.5f && dst[1] == -2 && dst[2] == 3 && dst[3] == -1 && dst[4] == -1);
    CHECK(q_copy(Cpu, NULL, Cpu, src, 3) == -1 && streq(q_error(), "null copy pointer"));
    CHECK(q_copy(Cpu, dst, Cpu, NULL, 3) == -1 && streq(q_error(), "null copy pointer"));
    /* a count of 0 succeeds whatever the pointers and records nothing */
    q_parse("");
    const char* before = q_error();
    CHECK(q_copy(Cpu, NULL, Cpu, NULL, 0) == 0 && q_copy(Cuda, NULL, Cpu, NULL, 0) == 0);
    CHECK(q_error() == before);
    q_free(Cpu, dst);
  }
}

int main(void) {
  test_expression_table();
  test_combinators();
  test_fused();
  test_exec_into_and_queries();
  test_compile_errors();
  test_cuda_requests();
  test_memory();
  if (failures != 0) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  return 0;
}
