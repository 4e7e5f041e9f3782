#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

typedef struct { const float* data; const size_t* shape; const size_t rank; } Tensor;
typedef struct { float* data; const size_t* shape; const size_t rank; } TensorMut;
typedef struct { const float* data; const size_t* shape; const size_t* layout; } View;
typedef struct { float* data; const size_t* shape; const size_t* layout; } ViewMut;

static inline ViewMut alloc_view_mut(size_t ndims, const size_t* layout, const size_t* shape) {
  size_t n = 1;
  for (size_t i = 0; i < ndims; ++i) n *= layout[i];
  float* data = (float*)malloc(n * sizeof(float));
  return (ViewMut){ .data = data, .shape = shape, .layout = layout };
}

static inline View as_view(const Tensor* t) {
  return (View){ .data = t->data, .shape = t->shape, .layout = t->shape };
}

static inline ViewMut as_view_mut(const TensorMut* t) {
  return (ViewMut){ .data = t->data, .shape = t->shape, .layout = t->shape };
}

static inline View view_mut_as_view(const ViewMut* t) {
  return (View){ .data = t->data, .shape = t->shape, .layout = t->layout };
}

size_t count(void) {
  return 1;
}

void ranks(size_t* ranks) {
  ranks[0] = 1;
  return;
}

void shapes(const Tensor* inputs, size_t** shapes) {
  shapes[0][0] = inputs[0].shape[0];
  return;
}

void f0(const View* readonlys, ViewMut* writeables) {
  float l0_data[1];
  const size_t* l0_layout = NULL;
  const size_t l0_shape[] = {
    readonlys[0].shape[0]
  };
  ViewMut l0 = (ViewMut){ .data = l0_data, .shape = l0_shape, .layout = NULL };
  float l1_data[1];
  const size_t* l1_layout = NULL;
  const size_t l1_shape[] = {
    readonlys[0].shape[0]
  };
  ViewMut l1 = (ViewMut){ .data = l1_data, .shape = l1_shape, .layout = NULL };
  float l2_data[1];
  const size_t* l2_layout = NULL;
  const size_t l2_shape[] = {
    readonlys[0].shape[0],
    readonlys[0].shape[1]
  };
  ViewMut l2 = (ViewMut){ .data = l2_data, .shape = l2_shape, .layout = NULL };
  float l3_data[1];
  const size_t* l3_layout = NULL;
  const size_t l3_shape[] = {
    readonlys[0].shape[0],
    readonlys[0].shape[1]
  };
  ViewMut l3 = (ViewMut){ .data = l3_data, .shape = l3_shape, .layout = NULL };
  for (size_t i0 = 0; i0 < l3.shape[0]; ++i0) {
    writeables[0].data[i0] = 0.0f;
    l1.data[0] = (-INFINITY);
    for (size_t i1 = 0; i1 < l3.shape[1]; ++i1) {
      l0.data[0] = l1.data[0];
      l1.data[0] = fmaxf(l1.data[0], readonlys[0].data[
        i0 * readonlys[0].layout[1] +
        i1
      ]);
      l2.data[0] = readonlys[0].data[
        i0 * readonlys[0].layout[1] +
        i1
      ] - l1.data[0];
      writeables[0].data[i0] = writeables[0].data[i0] * powf(2.71828175f, l0.data[0] - l1.data[0]);
      l3.data[0] = powf(2.71828175f, l2.data[0]);
      writeables[0].data[i0] = writeables[0].data[i0] + l3.data[0];
    }
  }
}

void exec(const Tensor* inputs, TensorMut* outputs) {
  const View in0 = as_view(&inputs[0]);
  ViewMut out0 = as_view_mut(&outputs[0]);
  f0(
    (const View[]){
      in0
    },
    (ViewMut[]){
      out0
    }
  );
  return;
}
