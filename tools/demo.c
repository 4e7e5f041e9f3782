/* The built-in example: a matrix product written as two small programs,
 * an element-wise product into three dimensions chained into a sum over the
 * shared axis. quarn fuses them into one kernel; the example prints the
 * generated C, compiles it with cc, runs it on two small matrices and prints
 * the result. Pass other source text as the only argument to see its code
 * (and its result, for programs of two 2 x 3 / 3 x 2 matrix inputs or one). */
#include <stdio.h>

#include "quarn.h"

static int fail(const char* what) {
  fprintf(stderr, "%s: %s\n", what, q_error());
  return 1;
}

static QComponent* build(int argc, char** argv) {
  if (argc > 1) return q_parse(argv[1]);
  QComponent* product = q_parse("ij * jk ~ ijk");
  QComponent* sum = q_parse("ijk ~ ik");
  QComponent* matmul = product && sum ? q_chain(product, sum) : NULL;
  q_component_free(product);
  q_component_free(sum);
  return matmul;
}

int main(int argc, char** argv) {
  QComponent* component = build(argc, argv);
  if (component == NULL) return fail("parse");

  char* code = q_code(component, Cpu);
  if (code == NULL) return fail("code");
  printf("%s\n", code);
  q_string_free(code);

  QProgram* program = q_compile(component, Cpu);
  q_component_free(component);
  if (program == NULL) return fail("compile");

  const float a[6] = {1, 2, 3, 4, 5, 6};
  const float b[6] = {7, 8, 9, 10, 11, 12};
  const size_t a_shape[2] = {2, 3};
  const size_t b_shape[2] = {3, 2};
  const Tensor inputs[2] = {{a, a_shape, 2}, {b, b_shape, 2}};
  OutputTensors outputs = q_exec(program, inputs, 2);
  if (outputs.tensors == NULL && q_output_count(program) != 0) return fail("exec");

  for (size_t o = 0; o < outputs.count; ++o) {
    const OutputTensor* t = &outputs.tensors[o];
    printf("output %zu, shape [", o);
    for (size_t d = 0; d < t->rank; ++d) printf(d ? ", %zu" : "%zu", t->shape[d]);
    printf("]:");
    for (size_t k = 0; k < t->len; ++k) printf(" %g", t->data[k]);
    printf("\n");
  }
  q_outputs_free(outputs.tensors, outputs.count);
  q_program_free(program);
  return 0;
}
