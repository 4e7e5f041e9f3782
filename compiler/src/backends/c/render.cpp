#include "backends/c/render.h"

#include <fmt/format.h>

#include "backends/c/stmt.h"

namespace compiler::backends::c {

// A caller's tensor is viewed with storage extents equal to its shape; an
// intermediate owns a malloc'ed block of the product of its storage extents;
// a view never owns its shape or layout arrays.
const std::string_view kPreamble =
    "#include <math.h>\n"
    "#include <stddef.h>\n"
    "#include <stdint.h>\n"
    "#include <stdlib.h>\n"
    "\n"
    "typedef struct { const float* data; const size_t* shape; const size_t rank; } Tensor;\n"
    "typedef struct { float* data; const size_t* shape; const size_t rank; } TensorMut;\n"
    "typedef struct { const float* data; const size_t* shape; const size_t* layout; } View;\n"
    "typedef struct { float* data; const size_t* shape; const size_t* layout; } ViewMut;\n"
    "\n"
    "static inline ViewMut alloc_view_mut(size_t ndims, const size_t* layout, const size_t* "
    "shape) {\n"
    "  size_t n = 1;\n"
    "  for (size_t i = 0; i < ndims; ++i) n *= layout[i];\n"
    "  float* data = (float*)malloc(n * sizeof(float));\n"
    "  return (ViewMut){ .data = data, .shape = shape, .layout = layout };\n"
    "}\n"
    "\n"
    "static inline View as_view(const Tensor* t) {\n"
    "  return (View){ .data = t->data, .shape = t->shape, .layout = t->shape };\n"
    "}\n"
    "\n"
    "static inline ViewMut as_view_mut(const TensorMut* t) {\n"
    "  return (ViewMut){ .data = t->data, .shape = t->shape, .layout = t->shape };\n"
    "}\n"
    "\n"
    "static inline View view_mut_as_view(const ViewMut* t) {\n"
    "  return (View){ .data = t->data, .shape = t->shape, .layout = t->layout };\n"
    "}\n"
    "\n";

std::string render(const ir::module::Module& module) {
  std::string text(kPreamble);
  text += render_function(module.count);
  text += "\n\n";
  text += render_function(module.ranks);
  text += "\n\n";
  text += render_function(module.shapes);
  text += "\n\n";
  for (std::size_t k = 0; k < module.kernels.size(); ++k) {
    if (k > 0) text += "\n\n";
    text += render_function(module.kernels[k]);
  }
  text += "\n\n";
  text += render_function(module.exec);
  text += "\n";
  return text;
}

}  // namespace compiler::backends::c
