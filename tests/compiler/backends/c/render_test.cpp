#include "backends/c/render.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "backends/c/expr.h"
#include "backends/c/fmt.h"
#include "backends/c/stmt.h"
#include "support/module_builder.h"

namespace {

using namespace quarn_test::module_builder;
using compiler::backends::c::render;
using compiler::backends::c::render_expr;
using compiler::backends::c::render_place_raw;
using compiler::backends::c::render_stmt;
using compiler::backends::c::TypeMap;
using m::FieldName;
using m::Signature;

constexpr const char* kPreambleText = R"(#include <math.h>
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

)";

m::Expr x() {
  return Id("x");
}
m::Expr a() {
  return Id("a");
}
m::Expr b() {
  return Id("b");
}
m::Expr c() {
  return Id("c");
}
TEST(RenderC, EmptyModuleSeparatesShapesFromExecByFourLineBreaks) {
  EXPECT_EQ(render(empty_module()), std::string(kPreambleText) +
                                        "size_t count(void) {\n  return 0;\n}\n\n"
                                        "void ranks(size_t* ranks) {\n  return;\n}\n\n"
                                        "void shapes(const Tensor* inputs, size_t** shapes) {\n"
                                        "  return;\n}\n\n\n\n"
                                        "void exec(const Tensor* inputs, TensorMut* outputs) {\n"
                                        "  return;\n}\n");
}

TEST(RenderC, TwoKernelModule) {
  const std::string expected = std::string(kPreambleText) + R"(size_t count(void) {
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
  for (size_t i0 = 0; i0 < readonlys[0].shape[0]; ++i0) {
    for (size_t i1 = 0; i1 < readonlys[0].shape[1]; ++i1) {
      writeables[0].data[
        i0 * writeables[0].layout[1] +
        i1
      ] = readonlys[0].data[
        i0 * readonlys[0].layout[1] +
        i1
      ] * readonlys[0].data[
        i0 * readonlys[0].layout[1] +
        i1
      ];
    }
  }
}

void f1(const View* readonlys, ViewMut* writeables) {
  float l0_data[4];
  const size_t l0_layout[] = {
    4
  };
  const size_t* l0_shape = NULL;
  ViewMut l0 = (ViewMut){ .data = l0_data, .shape = NULL, .layout = l0_layout };
  for (size_t i0 = 0; i0 < readonlys[0].shape[0]; ++i0) {
    writeables[0].data[i0] = 0.0f;
    for (size_t i1 = 0; i1 < (readonlys[0].shape[1] + 4 - 1) / 4; ++i1) {
      for (size_t i2 = 0; i2 < 4; ++i2) {
        if (i1 * 4 + i2 < readonlys[0].shape[1]) {
          writeables[0].data[i0] = writeables[0].data[i0] + readonlys[0].data[
            i0 * readonlys[0].layout[1] +
            i1 * 4 +
            i2
          ];
        }
      }
    }
  }
}

void exec(const Tensor* inputs, TensorMut* outputs) {
  const View in0 = as_view(&inputs[0]);
  ViewMut out0 = as_view_mut(&outputs[0]);
  const size_t s0_layout[] = {
    inputs[0].shape[0],
    (inputs[0].shape[1] + 4 - 1) / 4 * 4
  };
  const size_t s0_shape[] = {
    inputs[0].shape[0],
    inputs[0].shape[1]
  };
  ViewMut s0 = alloc_view_mut(2, s0_layout, s0_shape);
  f0(
    (const View[]){
      in0
    },
    (ViewMut[]){
      s0
    }
  );
  f1(
    (const View[]){
      view_mut_as_view(&s0)
    },
    (ViewMut[]){
      out0
    }
  );
  free(s0.data);
  return;
}
)";
  const std::string text = render(row_sums_of_squares_module());
  EXPECT_EQ(text, expected);
  EXPECT_EQ(render(row_sums_of_squares_module()), text);
}

TEST(RenderC, Expressions) {
  struct Case {
    m::Expr expr;
    const char* text;
  };
  const std::vector<Case> cases = {
      // Index arithmetic: parentheses only where C would regroup.
      {Sub(a(), Sub(b(), c())), "a - (b - c)"},
      {Sub(Sub(a(), b()), c()), "a - b - c"},
      {Add(a(), Add(b(), c())), "a + b + c"},
      {Mul(Add(a(), b()), c()), "(a + b) * c"},
      {Mul(a(), Div(b(), c())), "a * (b / c)"},
      {Div(a(), Mul(b(), c())), "a / (b * c)"},
      {Rem(Add(a(), U(1)), Mul(b(), c())), "(a + 1) % (b * c)"},
      {Div(Sub(Add(a(), U(4)), U(1)), U(4)), "(a + 4 - 1) / 4"},
      {Lt(Add(Mul(a(), U(4)), b()), c()), "a * 4 + b < c"},
      {And(Eq(a(), U(0)), And(Eq(b(), U(0)), Eq(c(), U(0)))), "a == 0 && b == 0 && c == 0"},
      {Eq(a(), Lt(b(), c())), "a == b < c"},
      {Lt(a(), Eq(b(), c())), "a < (b == c)"},
      // Float operators.
      {Ap(Op::Add, {Mul(a(), b())}), "a * b"},
      {Ap(Op::Add, {Ap(Op::Mul, {a(), b()})}), "a * b"},
      {Ap(Op::Add, {a(), b(), c()}), "a + b + c"},
      {Ap(Op::Sub, {a(), Ap(Op::Sub, {b(), c()})}), "a - (b - c)"},
      {Ap(Op::Add, {a(), Ap(Op::Add, {b(), c()})}), "a + b + c"},
      {Ap(Op::Mul, {Ap(Op::Add, {a(), b()}), c()}), "(a + b) * c"},
      {Ap(Op::Sub, {F(0), x()}), "0.0f - x"},
      {Ap(Op::Div, {F(1), Ap(Op::Add, {a(), b()})}), "1.0f / (a + b)"},
      {Ap(Op::Div, {a(), Ap(Op::Div, {b(), c()})}), "a / (b / c)"},
      {Ap(Op::Gt, {x(), F(0)}), "x > 0.0f"},
      {Ap(Op::Ge, {a(), b()}), "a >= b"},
      {Ap(Op::Le, {a(), b()}), "a <= b"},
      {Ap(Op::Ne, {Ap(Op::Lt, {a(), b()}), c()}), "a < b != c"},
      {Ap(Op::Or, {Ap(Op::And, {a(), b()}), c()}), "a && b || c"},
      {Ap(Op::And, {a(), Ap(Op::Or, {b(), c()})}), "a && (b || c)"},
      {Ap(Op::Add, {}), "0.0f"},
      {Ap(Op::Max, {a(), b(), c()}), "fmaxf(fmaxf(a, b), c)"},
      {Ap(Op::Min, {F(0), Ap(Op::Add, {a(), b()})}), "fminf(0.0f, a + b)"},
      {Ap(Op::Pow, {F(2.7182817f), x()}), "powf(2.71828175f, x)"},
      {Ap(Op::Max, {}), "0.0f"},
      {Ap(Op::Mul, {Ap(Op::Max, {Ap(Op::Add, {a(), b()})}), c()}), "(a + b) * c"},
      {Ap(Op::Log, {Ap(Op::Add, {a(), b()})}), "logf(a + b)"},
      {Ap(Op::Not, {x()}), "!x"},
      {Ap(Op::Not, {Ap(Op::Gt, {a(), b()})}), "!(a > b)"},
      {Ap(Op::Mul, {Ap(Op::Not, {a()}), b()}), "!a * b"},
      {Ap(Op::Xor, {a(), b()}), "(((a) != 0.0f) != ((b) != 0.0f))"},
      {Ap(Op::Xor, {a(), b(), c()}),
       "((((((a) != 0.0f) != ((b) != 0.0f))) != 0.0f) != ((c) != 0.0f))"},
      {Ap(Op::Xor, {}), "0"},
      {Ap(Op::Xor, {x()}), "x"},
      // Accesses and conversions.
      {Conv(m::Conversion::AsView, At(Id("inputs"), U(0))), "as_view(&inputs[0])"},
      {Conv(m::Conversion::AsViewMut, At(Id("outputs"), U(2))), "as_view_mut(&outputs[2])"},
      {Conv(m::Conversion::ViewMutAsView, Id("s0")), "view_mut_as_view(&s0)"},
      {dim(At(Id("inputs"), U(1)), FieldName::Shape, 2), "inputs[1].shape[2]"},
      {Dot(Id("t"), FieldName::Rank), "t.rank"},
      {At(Dot(Id("l0"), FieldName::Data), U(0)), "l0.data[0]"},
      {At(Id("l0_data"), Add(a(), b())), "l0_data[a + b]"},
      {At(Dot(Id("l0"), FieldName::Shape), Add(a(), b())), "l0.shape[a + b]"},
      {At(Dot(Id("l0"), FieldName::Data), Add(Add(Mul(a(), b()), Mul(b(), c())), c())),
       "l0.data[\n  a * b +\n  b * c +\n  c\n]"},
      {At(Dot(Id("l0"), FieldName::Data), Add(a(), Sub(b(), c()))), "l0.data[\n  a +\n  b - c\n]"},
  };
  for (const Case& c : cases) EXPECT_EQ(render_expr(c.expr), c.text);
}

TEST(RenderC, FloatSpelling) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::pair<float, const char*>> cases = {
      {0.0f, "0.0f"},
      {1.0f, "1.0f"},
      {10.0f, "10.0f"},
      {0.5f, "0.5f"},
      {-2.25f, "-2.25f"},
      {0.1f, "0.1f"},
      {2.7182817f, "2.71828175f"},
      {123456789.0f, "123456792.0f"},
      {inf, "INFINITY"},
      {-inf, "(-INFINITY)"},
      {std::nanf(""), "NAN"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(render_expr(F(value)), text) << value;
}

TEST(RenderC, Places) {
  EXPECT_EQ(render_place_raw(PAt(PAt(PVar("shapes"), U(1)), U(0))), "shapes[1][0]");
  EXPECT_EQ(render_place_raw(PDot(PVar("t"), FieldName::Layout)), "t.layout");
  EXPECT_EQ(render_place_raw(PAt(PDot(PAt(PVar("writeables"), U(0)), FieldName::Data),
                                 Add(Mul(Id("i0"), U(3)), Id("i1")))),
            "writeables[0].data[\n  i0 * 3 +\n  i1\n]");
}

TEST(RenderC, Statements) {
  struct Case {
    m::Stmt stmt;
    const char* text;
  };
  const std::vector<Case> cases = {
      {Let(m::ty::Usize{}, "n", U(3)), "size_t n = 3;"},
      {Let(m::ty::Scalar{}, "v", F(1)), "float v = 1.0f;"},
      {Let(m::ty::Tensor{}, "t", At(Id("inputs"), U(0))), "Tensor t = inputs[0];"},
      {Let(m::ty::TensorMut{}, "t", At(Id("outputs"), U(0))), "TensorMut t = outputs[0];"},
      {Let(m::ty::View{}, "v", Id("w")), "const View v = w;"},
      {Let(m::ty::ViewMut{}, "v", Id("w")), "ViewMut v = w;"},
      {Let(m::ty::Array{m::Type(m::ty::Array{m::Type(m::ty::Usize{})})}, "z", U(0)),
       "size_t z = 0;"},
      {m::Alloc{"s3", {}, {}},
       "const size_t* s3_layout = NULL;\nconst size_t* s3_shape = NULL;\n"
       "ViewMut s3 = alloc_view_mut(0, NULL, NULL);"},
      {m::StackAlloc{"l1", {}, {}},
       "float l1_data[1];\nconst size_t* l1_layout = NULL;\nconst size_t* l1_shape = NULL;\n"
       "ViewMut l1 = (ViewMut){ .data = l1_data, .shape = NULL, .layout = NULL };"},
      {m::StackAlloc{"l2", {Id("n")}, {U(4), U(2)}},
       "float l2_data[8];\nconst size_t l2_layout[] = {\n  4,\n  2\n};\n"
       "const size_t l2_shape[] = {\n  n\n};\n"
       "ViewMut l2 = (ViewMut){ .data = l2_data, .shape = l2_shape, .layout = l2_layout };"},
      {m::Free{"s0"}, "free(s0.data);"},
      {m::Dispatch{"f2", {}, {}}, "f2(\n  (const View[]){\n\n  },\n  (ViewMut[]){\n\n  }\n);"},
      {For("i3", U(2), {}), "for (size_t i3 = 0; i3 < 2; ++i3) {\n\n}"},
      {If(And(Eq(Id("i0"), U(0)), Eq(Id("i1"), U(0))),
          {Assign(PVar("v"), F(-std::numeric_limits<float>::infinity()))}),
       "if (i0 == 0 && i1 == 0) {\n  v = (-INFINITY);\n}"},
      {Ret(Add(U(1), U(2))), "return 1 + 2;"},
      {Ret(), "return;"},
  };
  for (const Case& c : cases) {
    TypeMap types;
    EXPECT_EQ(render_stmt(c.stmt, types), c.text);
  }
}

TEST(RenderC, DispatchConvertsMutableViewsForReading) {
  TypeMap types;
  ASSERT_FALSE(render_stmt(Let(m::ty::View{}, "in0", Id("x")), types).empty());
  ASSERT_FALSE(render_stmt(m::Alloc{"s0", {}, {}}, types).empty());
  ASSERT_FALSE(render_stmt(Let(m::ty::ViewMut{}, "out0", Id("y")), types).empty());
  EXPECT_EQ(render_stmt(m::Dispatch{"f0", {"in0", "s0", "out0"}, {"s0", "out0"}}, types),
            "f0(\n"
            "  (const View[]){\n"
            "    in0,\n"
            "    view_mut_as_view(&s0),\n"
            "    view_mut_as_view(&out0)\n"
            "  },\n"
            "  (ViewMut[]){\n"
            "    s0,\n"
            "    out0\n"
            "  }\n"
            ");");
}

TEST(RenderC, IndentKeepsEmptyLinesEmpty) {
  using compiler::backends::c::fmt::indent;
  EXPECT_EQ(indent(""), "");
  EXPECT_EQ(indent("a\n"), "  a");
  EXPECT_EQ(indent("a\n\n  b"), "  a\n\n    b");
}

TEST(RenderCDeathTest, BrokenPreconditionsAbort) {
  const auto dispatch_in_scope = [](std::vector<m::Stmt> before, m::Dispatch d) {
    m::Module mod = row_sums_of_squares_module();
    before.push_back(std::move(d));
    mod.exec.body.stmts = std::move(before);
    return mod;
  };
  EXPECT_DEATH(render(dispatch_in_scope({}, m::Dispatch{"f0", {"in9"}, {}})),
               "dispatch read in9 is unbound");
  EXPECT_DEATH(
      render(dispatch_in_scope({Let(m::ty::Usize{}, "n", U(0))}, m::Dispatch{"f0", {"n"}, {}})),
      "dispatch read n has type Usize");
  EXPECT_DEATH(render(dispatch_in_scope({}, m::Dispatch{"f0", {}, {"out9"}})),
               "dispatch write out9 is unbound");
  EXPECT_DEATH(
      render(dispatch_in_scope({Let(m::ty::View{}, "v", Id("x"))}, m::Dispatch{"f0", {}, {"v"}})),
      "dispatch write v has type View");
  m::Module mod = row_sums_of_squares_module();
  mod.kernels[1].body.stmts[0] = m::StackAlloc{"l0", {}, {Id("n")}};
  EXPECT_DEATH(render(mod), "stack allocation layout is not static");
}

}  // namespace
