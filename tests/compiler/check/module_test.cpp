#include "check/module.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/module_builder.h"

namespace {

using namespace quarn_test::module_builder;
using compiler::check::module::validate_module;
using m::FieldName;
using m::Signature;

m::Expr data_at(m::Expr buffer, m::Expr index) {
  return At(Dot(std::move(buffer), FieldName::Data), std::move(index));
}
m::Place data_place(m::Place buffer, m::Expr index) {
  return PAt(PDot(std::move(buffer), FieldName::Data), std::move(index));
}
m::Expr param(const char* array, std::size_t j) {
  return At(Id(array), U(j));
}

// Two kernels over one intermediate: f0 copies the input into s0, f1
// doubles s0 into the output.
m::Module sample_module() {
  const m::Expr n = At(Dot(At(Id("inputs"), U(0)), FieldName::Shape), U(0));
  const m::Expr extent = At(Dot(param("readonlys", 0), FieldName::Shape), U(0));
  return m::Module{
      .count = Function("count", Signature::Count, {Ret(U(1))}),
      .ranks = Function("ranks", Signature::Ranks, {Assign(PAt(PVar("ranks"), U(0)), U(1)), Ret()}),
      .shapes = Function("shapes", Signature::Shapes,
                         {Assign(PAt(PAt(PVar("shapes"), U(0)), U(0)), n), Ret()}),
      .exec = Function(
          "exec", Signature::Exec,
          {Let(m::ty::View{}, "in0", Conv(m::Conversion::AsView, At(Id("inputs"), U(0)))),
           Let(m::ty::ViewMut{}, "out0", Conv(m::Conversion::AsViewMut, At(Id("outputs"), U(0)))),
           m::Alloc{"s0", {n}, {n}}, m::Dispatch{"f0", {"in0"}, {"s0"}},
           m::Dispatch{"f1", {"s0"}, {"out0"}}, m::Free{"s0"}, Ret()}),
      .kernels = {Function("f0", Signature::Kernel,
                           {m::StackAlloc{"l0", {}, {U(4)}},
                            For("i0", extent,
                                {Assign(data_place(PAt(PVar("writeables"), U(0)), Id("i0")),
                                        data_at(param("readonlys", 0), Id("i0")))})}),
                  Function("f1", Signature::Kernel,
                           {For("i0", extent,
                                {Assign(data_place(PAt(PVar("writeables"), U(0)), Id("i0")),
                                        Ap(Op::Mul,
                                           {data_at(param("readonlys", 0), Id("i0")), F(2)}))})})},
  };
}

std::vector<m::Stmt>& kernel_body(m::Module& mod, std::size_t k) {
  return mod.kernels[k].body.stmts;
}
std::vector<m::Stmt>& loop_body(m::Stmt& stmt) {
  return std::get<m::For>(stmt.node).body.stmts;
}

struct Case {
  const char* name;
  std::function<void(m::Module&)> change;
  const char* error;  // nullptr: valid
};

TEST(ValidateModule, Cases) {
  const std::vector<Case> cases = {
      {"sample is valid", [](m::Module&) {}, nullptr},
      {"empty module is valid", [](m::Module& mod) { mod = empty_module(); }, nullptr},
      // Signatures are checked before names.
      {"exec with kernel signature",
       [](m::Module& mod) {
         mod.exec.signature = Signature::Kernel;
         mod.kernels[0].name = "count";
       },
       "exec has signature Kernel"},
      {"count with exec signature", [](m::Module& mod) { mod.count.signature = Signature::Exec; },
       "count has signature Exec"},
      {"kernel with ranks signature",
       [](m::Module& mod) { mod.kernels[1].signature = Signature::Ranks; },
       "kernel 1 has signature Ranks"},
      {"kernel named like a fixed function", [](m::Module& mod) { mod.kernels[0].name = "count"; },
       "function count is repeated"},
      {"two kernels with one name", [](m::Module& mod) { mod.kernels[1].name = "f0"; },
       "function f0 is repeated"},
      {"let reuses the loop variable",
       [](m::Module& mod) {
         loop_body(kernel_body(mod, 0)[1]).push_back(Let(m::ty::Usize{}, "i0", U(0)));
       },
       "function f0 ident i0 is repeated"},
      {"loop variable shadows a local",
       [](m::Module& mod) { std::get<m::For>(kernel_body(mod, 0)[1].node).var = "l0"; },
       "function f0 ident l0 is repeated"},
      {"let shadows a parameter",
       [](m::Module& mod) {
         mod.exec.body.stmts.insert(mod.exec.body.stmts.begin(),
                                    Let(m::ty::Usize{}, "outputs", U(0)));
       },
       "function exec ident outputs is repeated"},
      {"same local in sibling loops",
       [](m::Module& mod) {
         auto& body = kernel_body(mod, 1);
         loop_body(body[0]).push_back(Let(m::ty::Scalar{}, "t", F(1)));
         body.push_back(For("i1", U(3), {Let(m::ty::Scalar{}, "t", F(2))}));
       },
       nullptr},
      {"loop local does not leak",
       [](m::Module& mod) {
         auto& body = kernel_body(mod, 1);
         loop_body(body[0]).push_back(Let(m::ty::Scalar{}, "t", F(1)));
         body.push_back(Assign(PVar("t"), F(0)));
       },
       "function f1 references unbound ident t"},
      {"if local does not leak",
       [](m::Module& mod) {
         auto& body = kernel_body(mod, 1);
         body.push_back(If(Lt(U(0), U(1)), {Let(m::ty::Usize{}, "t", U(1))}));
         body.push_back(Let(m::ty::Usize{}, "u", Id("t")));
       },
       "function f1 references unbound ident t"},
      {"if condition is checked",
       [](m::Module& mod) { kernel_body(mod, 1).push_back(If(Eq(Id("i0"), U(0)), {})); },
       "function f1 references unbound ident i0"},
      {"let value is checked before binding",
       [](m::Module& mod) { kernel_body(mod, 1).push_back(Let(m::ty::Usize{}, "x", Id("x"))); },
       "function f1 references unbound ident x"},
      {"assign checks the place before the value",
       [](m::Module& mod) { kernel_body(mod, 1).push_back(Assign(PVar("p"), Id("v"))); },
       "function f1 references unbound ident p"},
      {"index place checks its index",
       [](m::Module& mod) {
         kernel_body(mod, 1).push_back(Assign(PAt(PVar("writeables"), Id("k")), U(0)));
       },
       "function f1 references unbound ident k"},
      {"expression operands left to right",
       [](m::Module& mod) {
         kernel_body(mod, 1).push_back(
             Assign(PVar("readonlys"), Ap(Op::Add, {F(1), Div(Id("a"), Id("b"))})));
       },
       "function f1 references unbound ident a"},
      {"ranks returns no value", [](m::Module& mod) { mod.ranks.body.stmts.push_back(Ret()); },
       nullptr},
      {"ranks returns a value", [](m::Module& mod) { mod.ranks.body.stmts.back() = Ret(U(1)); },
       "function ranks void function returns a value"},
      {"count returns nothing", [](m::Module& mod) { mod.count.body.stmts = {Ret()}; },
       "function count count returns without value"},
      {"count return value is checked",
       [](m::Module& mod) { mod.count.body.stmts = {Ret(Id("n"))}; },
       "function count references unbound ident n"},
      {"dispatch of a non-kernel function",
       [](m::Module& mod) { std::get<m::Dispatch>(mod.exec.body.stmts[3].node).kernel = "count"; },
       "function exec dispatch references nonexistent kernel count"},
      {"dispatch of an unbound writeable",
       [](m::Module& mod) {
         std::get<m::Dispatch>(mod.exec.body.stmts[3].node).writeables = {"s0", "s1"};
       },
       "function exec references unbound ident s1"},
      {"dispatch checks readonlys first",
       [](m::Module& mod) {
         std::get<m::Dispatch>(mod.exec.body.stmts[3].node) = m::Dispatch{"f0", {"r"}, {"w"}};
       },
       "function exec references unbound ident r"},
      {"dispatch in a kernel",
       [](m::Module& mod) {
         kernel_body(mod, 1).push_back(m::Dispatch{"f0", {}, {}});
       },
       "function f1 dispatch appears outside exec"},
      {"alloc in a kernel",
       [](m::Module& mod) {
         kernel_body(mod, 0).push_back(m::Alloc{"t", {}, {}});
       },
       "function f0 alloc appears outside exec"},
      {"free in shapes",
       [](m::Module& mod) {
         mod.shapes.body.stmts.insert(mod.shapes.body.stmts.begin(), m::Free{"x"});
       },
       "function shapes free appears outside exec"},
      {"stack alloc in exec",
       [](m::Module& mod) {
         mod.exec.body.stmts.push_back(m::StackAlloc{"t", {}, {}});
       },
       "function exec stack alloc appears outside kernel"},
      {"alloc checks shape before layout",
       [](m::Module& mod) {
         mod.exec.body.stmts.push_back(m::Alloc{"s1", {Id("a")}, {Id("b")}});
       },
       "function exec references unbound ident a"},
      {"free of an unbound buffer",
       [](m::Module& mod) { mod.exec.body.stmts.push_back(m::Free{"s7"}); },
       "function exec references unbound ident s7"},
      {"free does not unbind",
       [](m::Module& mod) {
         mod.exec.body.stmts.push_back(m::Alloc{"s0", {}, {}});
       },
       "function exec ident s0 is repeated"},
  };
  for (const Case& c : cases) {
    m::Module mod = sample_module();
    c.change(mod);
    const m::Module before = mod;
    const auto result = validate_module(mod);
    EXPECT_EQ(mod, before) << c.name;
    if (c.error == nullptr) {
      EXPECT_TRUE(result.has_value()) << c.name << ": " << result.error().message;
    } else {
      ASSERT_FALSE(result.has_value()) << c.name;
      EXPECT_EQ(result.error().message, c.error) << c.name;
    }
  }
}

}  // namespace
