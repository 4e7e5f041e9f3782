/* A matrix product with quarn, using only the public header.
 *
 * The product C = A B is written as two small programs: an element-wise
 * product over three axes, ij * jk ~ ijk, and a sum over the shared axis,
 * ijk ~ ik. Chaining them gives one component; the schedules ask for the
 * product to be computed inside the sum's loop over j, so the compiled code
 * never stores the three-dimensional intermediate. The example compiles the
 * component for the CPU, runs it on two small matrices, checks the result
 * against a plain loop and prints it. Every failure is reported with the
 * library's own message from q_error. */
#include <math.h>
#include <stdio.h>

#include "quarn.h"

#define ROWS 2
#define INNER 3
#define COLS 4

static int report(const char* step) {
  fprintf(stderr, "%s failed: %s\n", step, q_error());
  return 1;
}

/* The product as one component: each element of ij * jk ~ ijk is computed
 * where the sum over j needs it. */
static QComponent* matmul_component(void) {
  QComponent* product = q_parse("ij * jk ~ ijk | | i k j");
  QComponent* sum = q_parse("ijk ~ ik | | i k j 0");
  QComponent* matmul = product != NULL && sum != NULL ? q_chain(product, sum) : NULL;
  /* q_chain copies its arguments: the parts are still ours to release. */
  q_component_free(product);
  q_component_free(sum);
  return matmul;
}

int main(void) {
  QComponent* matmul = matmul_component();
  if (matmul == NULL) return report("building the component");

  QProgram* program = q_compile(matmul, Cpu);
  q_component_free(matmul);
  if (program == NULL) return report("compiling");

  const float a[ROWS * INNER] = {1, 2, 3, 4, 5, 6};
  const float b[INNER * COLS] = {1, 0, -1, 2, 0.5f, 1, 0, -2, 3, -1, 2, 1};
  const size_t a_shape[2] = {ROWS, INNER};
  const size_t b_shape[2] = {INNER, COLS};
  const Tensor inputs[2] = {{a, a_shape, 2}, {b, b_shape, 2}};

  OutputTensors outputs = q_exec(program, inputs, 2);
  if (outputs.tensors == NULL) {
    q_program_free(program);
    return report("executing");
  }

  const OutputTensor* c = &outputs.tensors[0];
  int status = 0;
  if (outputs.count != 1 || c->rank != 2 || c->shape[0] != ROWS || c->shape[1] != COLS) {
    fprintf(stderr, "unexpected output layout\n");
    status = 1;
  }
  for (size_t i = 0; status == 0 && i < ROWS; ++i) {
    printf("[");
    for (size_t k = 0; k < COLS; ++k) {
      float want = 0;
      for (size_t j = 0; j < INNER; ++j) want += a[i * INNER + j] * b[j * COLS + k];
      float got = c->data[i * COLS + k];
      printf(k == 0 ? "%g" : ", %g", got);
      if (fabsf(got - want) > 1e-5f * fmaxf(1.0f, fabsf(want))) status = 1;
    }
    printf("]\n");
  }
  if (status != 0) fprintf(stderr, "the result differs from the plain loop\n");

  q_outputs_free(outputs.tensors, outputs.count);
  q_program_free(program);
  return status;
}
