#include "lower/exec_plan_to_module.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "check/exec_plan.h"
#include "check/module.h"

namespace compiler::lower::exec_plan_to_module {

namespace {

namespace ep = ir::exec_plan;
namespace m = ir::module;
using ir::common::Op;
using ir::common::Base;
using ir::common::ExtentKind;
using ir::common::Semantic;
using ir::common::Split;
using ep::KernelRef;
using ep::ShapeDim;

template <class T>
using Result = std::expected<T, LowerError>;

std::unexpected<LowerError> fail(std::string message) {
  return std::unexpected(LowerError{std::move(message)});
}

// ------------------------------------------------------ expression helpers

m::Expr usize(std::size_t value) { return m::expr::Usize{value}; }
m::Expr ident(std::string name) { return m::expr::Ident{std::move(name)}; }
m::Expr index(m::Expr base, m::Expr at) { return m::expr::Index{std::move(base), std::move(at)}; }
m::Expr field(m::Expr base, m::FieldName name) { return m::expr::Field{std::move(base), name}; }
m::Expr add(m::Expr lhs, m::Expr rhs) { return m::expr::Add{std::move(lhs), std::move(rhs)}; }
m::Expr mul(m::Expr lhs, m::Expr rhs) { return m::expr::Mul{std::move(lhs), std::move(rhs)}; }
m::Expr apply(Op op, std::vector<m::Expr> args) { return m::expr::Apply{op, std::move(args)}; }
m::Expr flt(float value) { return m::expr::Float{value}; }

m::Place var(std::string name) { return m::place::Var{std::move(name)}; }
m::Place place_index(m::Place base, m::Expr at) {
  return m::place::Index{std::move(base), std::move(at)};
}

// The expression that reads `place`.
m::Expr place_expr(const m::Place& place) {
  struct Visitor {
    m::Expr operator()(const m::place::Var& p) const { return ident(p.name); }
    m::Expr operator()(const m::place::Index& p) const {
      return index(place_expr(*p.base), p.index);
    }
    m::Expr operator()(const m::place::Field& p) const {
      return field(place_expr(*p.base), p.field);
    }
  };
  return std::visit(Visitor{}, place.node);
}

// E transformed by `kind`: E itself, ceil(E / P) as (E + P - 1) / P, or the
// split level's constant factor.
m::Expr extent_expr(m::Expr full, const ExtentKind& kind) {
  struct Visitor {
    m::Expr& full;
    m::Expr operator()(const Semantic&) const { return std::move(full); }
    m::Expr operator()(const Split& s) const { return usize(s.factor); }
    m::Expr operator()(const Base& b) const {
      std::size_t product = 1;
      for (std::size_t f : b.factors) product *= f;
      if (product == 1) return std::move(full);
      m::Expr sum = m::expr::Sub{add(std::move(full), usize(product)), usize(1)};
      return m::expr::Div{std::move(sum), usize(product)};
    }
  };
  return std::visit(Visitor{full}, kind);
}

// sum over i of terms[i] * product(factors[i..]), left to right.
m::Expr reconstruct_index(std::vector<m::Expr> terms, const std::vector<std::size_t>& factors) {
  if (terms.empty()) return usize(0);
  std::optional<m::Expr> sum;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    m::Expr term = std::move(terms[i]);
    if (i < factors.size()) {
      std::size_t product = 1;
      for (std::size_t k = i; k < factors.size(); ++k) product *= factors[k];
      if (product != 1) term = mul(std::move(term), usize(product));
    }
    sum = sum ? add(std::move(*sum), std::move(term)) : std::move(term);
  }
  return std::move(*sum);
}

// One operator over its operands; the one place where the one-operand forms
// of the operators are spelled out.
m::Expr scalar_op_expr(Op op, std::vector<m::Expr> operands) {
  if (operands.size() != 1) return apply(op, std::move(operands));
  m::Expr x = std::move(operands.front());
  switch (op) {
    case Op::Add:
    case Op::Mul:
    case Op::And:
    case Op::Or:
    case Op::Xor: return x;
    case Op::Div: return apply(Op::Div, {flt(1.0f), std::move(x)});
    case Op::Sub: return apply(Op::Sub, {flt(0.0f), std::move(x)});
    case Op::Max: return apply(Op::Max, {flt(0.0f), std::move(x)});
    case Op::Min: return apply(Op::Min, {flt(0.0f), std::move(x)});
    case Op::Pow: return apply(Op::Pow, {flt(2.7182817f), std::move(x)});
    case Op::Log:
    case Op::Not: return apply(op, {std::move(x)});
    case Op::Gt:
    case Op::Ge:
    case Op::Lt:
    case Op::Le:
    case Op::Eq:
    case Op::Ne: return apply(op, {std::move(x), flt(0.0f)});
  }
  std::abort();
}

std::optional<float> reduction_identity(Op op) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  switch (op) {
    case Op::Add: return 0.0f;
    case Op::Mul: return 1.0f;
    case Op::Max: return -inf;
    case Op::Min: return inf;
    case Op::And: return 1.0f;
    case Op::Or: return 0.0f;
    case Op::Xor: return 0.0f;
    default: return std::nullopt;
  }
}

// inputs[input].shape[dim], as the exec and shapes functions read it.
m::Expr exec_input_dim(std::size_t input, std::size_t dim) {
  return index(field(index(ident("inputs"), usize(input)), m::FieldName::Shape), usize(dim));
}

std::string buffer_name(const ep::ExecRef& ref) {
  struct Visitor {
    std::string operator()(const ep::ExecRef::Input& r) const { return fmt::format("in{}", r.index); }
    std::string operator()(const ep::ExecRef::Intermediate& r) const {
      return fmt::format("s{}", r.index);
    }
    std::string operator()(const ep::ExecRef::Output& r) const {
      return fmt::format("out{}", r.index);
    }
  };
  return std::visit(Visitor{}, ref.value);
}

// ----------------------------------------------------------------- kernels

struct LoopInfo {
  std::string name;
  KernelRef source;
  std::size_t dim = 0;
  ExtentKind kind;
};

struct DimEntry {
  std::size_t position = 0;
  KernelRef ref;
  ShapeDim shape_dim;
};

bool is_base(const ExtentKind& kind) { return std::holds_alternative<Base>(kind); }

// Lowers one bound kernel into the body of its function.
class KernelLowerer {
 public:
  KernelLowerer(const ep::ExecPlan& plan, const ep::BoundKernel& kernel)
      : plan_(plan), kernel_(kernel) {}

  Result<m::Block> lower(std::size_t k) {
    collect_initialized(kernel_.actions);
    const ep::Dispatch* dispatch = first_dispatch(k);
    if (dispatch == nullptr) return fail(fmt::format("kernel {} is never dispatched", k));
    if (auto ok = extend_param_semantic_dims(*dispatch); !ok) return std::unexpected(ok.error());
    for (std::size_t l = 0; l < kernel_.locals.size(); ++l) {
      for (std::size_t p = 0; p < kernel_.locals[l].shape.dims.size(); ++p)
        dim_table_.push_back({p, ep::local_ref(l), kernel_.locals[l].shape.dims[p]});
    }

    m::Block block;
    for (std::size_t l = 0; l < kernel_.locals.size(); ++l) {
      auto local = lower_local(l);
      if (!local) return std::unexpected(local.error());
      block.stmts.push_back(std::move(*local));
    }
    auto body = lower_execution_group(0);
    if (!body) return std::unexpected(body.error());
    for (m::Stmt& stmt : *body) block.stmts.push_back(std::move(stmt));
    return block;
  }

 private:
  using Stmts = std::vector<m::Stmt>;

  void collect_initialized(const std::vector<ep::Action<KernelRef>>& actions) {
    for (const auto& action : actions) {
      if (const auto* init = std::get_if<ep::Action<KernelRef>::Init>(&action.value)) {
        if (!is_initialized(init->write.buffer)) initialized_.push_back(init->write.buffer);
      } else if (const auto* loop = std::get_if<ep::Action<KernelRef>::Loop>(&action.value)) {
        collect_initialized(loop->body.actions);
      }
    }
  }

  bool is_initialized(const KernelRef& ref) const {
    return std::find(initialized_.begin(), initialized_.end(), ref) != initialized_.end();
  }

  const ep::Dispatch* first_dispatch(std::size_t k) const {
    for (const ep::Step& step : plan_.exec.steps) {
      const auto* d = std::get_if<ep::Dispatch>(&step.value);
      if (d != nullptr && d->kernel == k) return d;
    }
    return nullptr;
  }

  const ep::Buffer* global_buffer(const ep::ExecRef& ref) const {
    struct Visitor {
      const ep::Buffers& b;
      const ep::Buffer* operator()(const ep::ExecRef::Input& r) const {
        return r.index < b.inputs.size() ? &b.inputs[r.index] : nullptr;
      }
      const ep::Buffer* operator()(const ep::ExecRef::Intermediate& r) const {
        return r.index < b.intermediates.size() ? &b.intermediates[r.index] : nullptr;
      }
      const ep::Buffer* operator()(const ep::ExecRef::Output& r) const {
        return r.index < b.outputs.size() ? &b.outputs[r.index] : nullptr;
      }
    };
    return std::visit(Visitor{plan_.buffers}, ref.value);
  }

  // Records which program-input dimension each parameter dimension carries,
  // readonly parameters first, then writeable ones.
  Result<void> extend_param_semantic_dims(const ep::Dispatch& dispatch) {
    const std::pair<const std::vector<ep::ExecRef>*, ep::Arg> classes[] = {
        {&dispatch.reads, ep::Arg::Readonly}, {&dispatch.writes, ep::Arg::Writeable}};
    for (const auto& [refs, arg] : classes) {
      for (std::size_t j = 0; j < refs->size(); ++j) {
        const ep::Buffer* buffer = global_buffer((*refs)[j]);
        if (buffer == nullptr) return fail("dispatch references nonexistent buffer");
        for (std::size_t p = 0; p < buffer->shape.dims.size(); ++p)
          dim_table_.push_back({p, KernelRef{ep::Param{arg, j}}, buffer->shape.dims[p]});
      }
    }
    return {};
  }

  static m::Expr buffer_expr(const KernelRef& ref) {
    if (const auto* local = std::get_if<ep::Local>(&ref.value))
      return ident(fmt::format("l{}", local->index));
    const auto& param = std::get<ep::Param>(ref.value);
    return index(ident(param.arg == ep::Arg::Readonly ? "readonlys" : "writeables"),
                 usize(param.ind));
  }

  static m::Place buffer_place(const KernelRef& ref) {
    if (const auto* local = std::get_if<ep::Local>(&ref.value))
      return var(fmt::format("l{}", local->index));
    const auto& param = std::get<ep::Param>(ref.value);
    return place_index(var(param.arg == ep::Arg::Readonly ? "readonlys" : "writeables"),
                       usize(param.ind));
  }

  static m::Expr buffer_dim(const KernelRef& ref, std::size_t dim) {
    return index(field(buffer_expr(ref), m::FieldName::Shape), usize(dim));
  }

  // The kernel-side expression of a program-input dimension: read from the
  // shape of the first parameter or local known to carry it.
  Result<m::Expr> input_dim(std::size_t input, std::size_t dim) const {
    for (const DimEntry& entry : dim_table_) {
      if (entry.shape_dim == ShapeDim{input, dim})
        return index(field(buffer_expr(entry.ref), m::FieldName::Shape), usize(entry.position));
    }
    return fail(fmt::format("input {} dim {} is not available in kernel", input, dim));
  }

  Result<m::Stmt> lower_local(std::size_t l) {
    const ep::LocalBuffer& local = kernel_.locals[l];
    m::StackAlloc alloc{fmt::format("l{}", l), {}, {}};
    for (const ShapeDim& d : local.shape.dims) {
      auto e = input_dim(d.input, d.dim);
      if (!e) return std::unexpected(e.error());
      alloc.shape.push_back(std::move(*e));
    }
    for (std::size_t p = 0; p < local.layout.size(); ++p) {
      const auto& extent = local.layout[p];
      auto full = input_dim(extent.source.value, extent.dim);
      if (!full) return std::unexpected(full.error());
      m::Expr e = extent_expr(std::move(*full), extent.kind);
      if (!std::holds_alternative<m::expr::Usize>(e.node))
        return fail(fmt::format("local {} layout dim {} is not static", l, p));
      alloc.layout.push_back(std::move(e));
    }
    return m::Stmt(std::move(alloc));
  }

  void push_loop(std::size_t id, const KernelRef& source, std::size_t dim, const ExtentKind& kind) {
    loops_[id] = LoopInfo{fmt::format("i{}", id), source, dim, kind};
    scope_.push_back(id);
  }

  void pop_loop(std::size_t id) {
    scope_.pop_back();
    loops_.erase(id);
  }

  const DimEntry* dim_entry(const KernelRef& ref, std::size_t position) const {
    for (const DimEntry& entry : dim_table_) {
      if (entry.ref == ref && entry.position == position) return &entry;
    }
    return nullptr;
  }

  // The index a guarded dimension iterates, rebuilt from every loop over the
  // same program-input dimension that encloses it. The walk goes outward from
  // the innermost loop; it ends at the base loop once every split level of
  // that base is in hand, and otherwise goes on past the base for the levels
  // a schedule nested outside it.
  Result<m::Expr> reconstruct_extent_index(const KernelRef& source, std::size_t dim) const {
    std::optional<ShapeDim> identity;
    if (const DimEntry* entry = dim_entry(source, dim)) identity = entry->shape_dim;
    auto matches = [&](const LoopInfo& info) {
      if (info.source == source && info.dim == dim) return true;
      if (!identity) return false;
      const DimEntry* entry = dim_entry(info.source, info.dim);
      return entry != nullptr && entry->shape_dim == *identity;
    };

    std::vector<const LoopInfo*> collected;
    auto has_level = [&](std::size_t level) {
      return std::any_of(collected.begin(), collected.end(), [&](const LoopInfo* info) {
        const auto* s = std::get_if<Split>(&info->kind);
        return s != nullptr && s->level == level;
      });
    };
    // Split levels 1..missing of the base still to be found; set once the
    // base has been reached.
    std::optional<std::size_t> levels;
    auto complete = [&] {
      for (std::size_t level = 1; level <= *levels; ++level)
        if (!has_level(level)) return false;
      return true;
    };
    for (auto it = scope_.rbegin(); it != scope_.rend(); ++it) {
      auto found = loops_.find(*it);
      if (found == loops_.end()) return fail(fmt::format("loop {} is not in scope", *it));
      const LoopInfo& info = found->second;
      if (!matches(info)) continue;
      if (!levels) {
        collected.push_back(&info);
        if (!is_base(info.kind)) continue;
        levels = std::get<Base>(info.kind).factors.size();
        if (complete()) break;
        continue;
      }
      if (is_base(info.kind)) break;
      const auto* split = std::get_if<Split>(&info.kind);
      if (split == nullptr || split->level > *levels || has_level(split->level)) continue;
      collected.push_back(&info);
      if (complete()) break;
    }
    if (collected.empty()) {
      for (const auto& [id, info] : loops_) {
        if (matches(info)) collected.push_back(&info);
      }
    }
    std::reverse(collected.begin(), collected.end());
    auto rank = [](const LoopInfo* info) -> std::pair<int, std::size_t> {
      if (const auto* s = std::get_if<Split>(&info->kind)) return {1, s->level};
      return {0, 0};
    };
    std::stable_sort(collected.begin(), collected.end(),
                     [&](const LoopInfo* a, const LoopInfo* b) { return rank(a) < rank(b); });

    std::vector<std::size_t> factors;
    const LoopInfo* base = nullptr;
    for (const LoopInfo* info : collected) {
      if (is_base(info->kind)) {
        base = info;
        break;
      }
    }
    if (base != nullptr) {
      factors = std::get<Base>(base->kind).factors;
    } else {
      for (const LoopInfo* info : collected) {
        if (const auto* s = std::get_if<Split>(&info->kind)) factors.push_back(s->factor);
      }
      const std::size_t keep = collected.empty() ? 0 : collected.size() - 1;
      if (factors.size() > keep) factors.erase(factors.begin(), factors.end() - keep);
    }
    std::vector<m::Expr> terms;
    for (const LoopInfo* info : collected) terms.push_back(ident(info->name));
    return reconstruct_index(std::move(terms), factors);
  }

  // Wraps `body` into the bounds check of a guarded dimension or loop.
  Result<Stmts> guard(Stmts body, const KernelRef& source, std::size_t dim) const {
    auto reconstructed = reconstruct_extent_index(source, dim);
    if (!reconstructed) return std::unexpected(reconstructed.error());
    m::Expr cond = m::expr::Lt{std::move(*reconstructed), buffer_dim(source, dim)};
    Stmts wrapped;
    wrapped.push_back(m::If{m::Block{std::move(body)}, std::move(cond)});
    return wrapped;
  }

  template <class LowerBody>
  Result<Stmts> counted_loop(std::size_t id, const ep::Extent<KernelRef>& extent, bool guarded,
                             LowerBody lower_body) {
    push_loop(id, extent.source, extent.dim, extent.kind);
    auto body = lower_body();
    if (body && guarded) body = guard(std::move(*body), extent.source, extent.dim);
    pop_loop(id);
    if (!body) return std::unexpected(body.error());
    Stmts out;
    out.push_back(m::For{fmt::format("i{}", id), m::Block{std::move(*body)},
                         extent_expr(buffer_dim(extent.source, extent.dim), extent.kind)});
    return out;
  }

  Result<Stmts> lower_execution_group(std::size_t depth) {
    if (depth == kernel_.execution.group.size()) return lower_execution_lane(0);
    const ep::ExecutionDim& d = kernel_.execution.group[depth];
    return counted_loop(d.loop_id, d.extent, d.guard,
                        [&] { return lower_execution_group(depth + 1); });
  }

  Result<Stmts> lower_execution_lane(std::size_t depth) {
    if (depth == kernel_.execution.lane.size()) return lower_actions(kernel_.actions);
    const ep::ExecutionDim& d = kernel_.execution.lane[depth];
    return counted_loop(d.loop_id, d.extent, d.guard,
                        [&] { return lower_execution_lane(depth + 1); });
  }

  Result<Stmts> lower_actions(const std::vector<ep::Action<KernelRef>>& actions) {
    Stmts out;
    for (const auto& action : actions) {
      auto stmts = lower_action(action);
      if (!stmts) return std::unexpected(stmts.error());
      for (m::Stmt& s : *stmts) out.push_back(std::move(s));
    }
    return out;
  }

  Result<m::Expr> lower_iter(const ep::Iter& iter) const {
    if (const auto* loop = std::get_if<ep::Iter::Loop>(&iter.value)) {
      auto found = loops_.find(loop->id);
      if (found == loops_.end()) return fail(fmt::format("loop {} is not in scope", loop->id));
      return ident(found->second.name);
    }
    const auto& rec = std::get<ep::Iter::Reconstructed>(iter.value);
    std::vector<m::Expr> terms;
    for (std::size_t id : rec.loops) {
      auto found = loops_.find(id);
      if (found == loops_.end()) return fail(fmt::format("loop {} is not in scope", id));
      terms.push_back(ident(found->second.name));
    }
    return reconstruct_index(std::move(terms), rec.factors);
  }

  // Row-major offset over the storage extents the buffer's view carries.
  Result<m::Expr> flat_index(const m::Expr& buffer, const std::vector<ep::Iter>& indexes) const {
    const std::size_t n = indexes.size();
    if (n == 0) return usize(0);
    auto layout = [&](std::size_t k) {
      return index(field(buffer, m::FieldName::Layout), usize(k));
    };
    std::optional<m::Expr> sum;
    for (std::size_t p = 0; p < n; ++p) {
      auto x = lower_iter(indexes[p]);
      if (!x) return std::unexpected(x.error());
      m::Expr term = std::move(*x);
      if (p + 1 < n) {
        m::Expr product = layout(p + 1);
        for (std::size_t k = p + 2; k < n; ++k) product = mul(std::move(product), layout(k));
        term = mul(std::move(term), std::move(product));
      }
      sum = sum ? add(std::move(*sum), std::move(term)) : std::move(term);
    }
    return std::move(*sum);
  }

  Result<m::Expr> lower_read(const ep::Access<KernelRef>& access) const {
    const m::Expr buffer = buffer_expr(access.buffer);
    auto flat = flat_index(buffer, access.indexes);
    if (!flat) return std::unexpected(flat.error());
    return index(field(buffer, m::FieldName::Data), std::move(*flat));
  }

  Result<m::Place> lower_write(const ep::Access<KernelRef>& access) const {
    auto flat = flat_index(buffer_expr(access.buffer), access.indexes);
    if (!flat) return std::unexpected(flat.error());
    return place_index(m::place::Field{buffer_place(access.buffer), m::FieldName::Data},
                       std::move(*flat));
  }

  Result<m::Expr> lower_scale_expr(const ep::ScalarExpr<KernelRef>& e) const {
    using SE = ep::ScalarExpr<KernelRef>;
    if (const auto* read = std::get_if<SE::Read>(&e.value)) return lower_read(read->access);
    if (const auto* unary = std::get_if<SE::Unary>(&e.value)) {
      auto operand = lower_scale_expr(*unary->operand);
      if (!operand) return operand;
      std::vector<m::Expr> args;
      args.push_back(std::move(*operand));
      return scalar_op_expr(unary->op, std::move(args));
    }
    const auto& binary = std::get<SE::Binary>(e.value);
    auto lhs = lower_scale_expr(*binary.lhs);
    if (!lhs) return lhs;
    auto rhs = lower_scale_expr(*binary.rhs);
    if (!rhs) return rhs;
    std::vector<m::Expr> args;
    args.push_back(std::move(*lhs));
    args.push_back(std::move(*rhs));
    return scalar_op_expr(binary.op, std::move(args));
  }

  Result<Stmts> lower_action(const ep::Action<KernelRef>& action) {
    using A = ep::Action<KernelRef>;
    Stmts out;
    if (const auto* loop = std::get_if<A::Loop>(&action.value)) {
      return counted_loop(loop->id, loop->extent, loop->guard,
                          [&] { return lower_actions(loop->body.actions); });
    }
    if (const auto* init = std::get_if<A::Init>(&action.value)) {
      auto place = lower_write(init->write);
      if (!place) return std::unexpected(place.error());
      auto identity = reduction_identity(init->op);
      if (!identity)
        return fail(fmt::format("op {} has no reduction identity", ir::common::op_name(init->op)));
      m::Stmt assign = m::Assign{flt(*identity), std::move(*place)};
      if (init->zero_check.empty()) {
        out.push_back(std::move(assign));
        return out;
      }
      std::optional<m::Expr> cond;
      for (std::size_t id : init->zero_check) {
        auto found = loops_.find(id);
        if (found == loops_.end()) return fail(fmt::format("zero check references loop {}", id));
        m::Expr eq = m::expr::Eq{ident(found->second.name), usize(0)};
        cond = cond ? m::Expr(m::expr::And{std::move(*cond), std::move(eq)}) : std::move(eq);
      }
      Stmts body;
      body.push_back(std::move(assign));
      out.push_back(m::If{m::Block{std::move(body)}, std::move(*cond)});
      return out;
    }
    if (const auto* compute = std::get_if<A::Compute>(&action.value)) {
      auto place = lower_write(compute->write);
      if (!place) return std::unexpected(place.error());
      std::vector<m::Expr> operands;
      if (is_initialized(compute->write.buffer)) operands.push_back(place_expr(*place));
      for (const auto& read : compute->reads) {
        auto e = lower_read(read);
        if (!e) return std::unexpected(e.error());
        operands.push_back(std::move(*e));
      }
      out.push_back(m::Assign{scalar_op_expr(compute->op, std::move(operands)), std::move(*place)});
      return out;
    }
    if (const auto* snapshot = std::get_if<A::Snapshot>(&action.value)) {
      auto place = lower_write(snapshot->write);
      if (!place) return std::unexpected(place.error());
      auto value = lower_read(snapshot->read);
      if (!value) return std::unexpected(value.error());
      out.push_back(m::Assign{std::move(*value), std::move(*place)});
      return out;
    }
    const auto& scale = std::get<A::Scale>(action.value);
    auto place = lower_write(scale.write);
    if (!place) return std::unexpected(place.error());
    auto factor = lower_scale_expr(scale.factor);
    if (!factor) return std::unexpected(factor.error());
    m::Expr current = place_expr(*place);
    out.push_back(m::Assign{mul(std::move(current), std::move(*factor)), std::move(*place)});
    return out;
  }

  const ep::ExecPlan& plan_;
  const ep::BoundKernel& kernel_;
  std::vector<DimEntry> dim_table_;
  std::map<std::size_t, LoopInfo> loops_;
  std::vector<std::size_t> scope_;
  std::vector<KernelRef> initialized_;
};

// ------------------------------------------------------------ entry points

m::Fn lower_count(const ep::ExecPlan& plan) {
  m::Block body;
  body.stmts.push_back(m::Return{usize(plan.count)});
  return m::Fn{"count", std::move(body), m::Signature::Count};
}

m::Fn lower_ranks(const ep::ExecPlan& plan) {
  m::Block body;
  for (std::size_t i = 0; i < plan.ranks.size(); ++i)
    body.stmts.push_back(m::Assign{usize(plan.ranks[i]), place_index(var("ranks"), usize(i))});
  body.stmts.push_back(m::Return{});
  return m::Fn{"ranks", std::move(body), m::Signature::Ranks};
}

m::Fn lower_shapes(const ep::ExecPlan& plan) {
  m::Block body;
  for (std::size_t o = 0; o < plan.shapes.size(); ++o) {
    const auto& dims = plan.shapes[o].dims;
    for (std::size_t j = 0; j < dims.size(); ++j) {
      body.stmts.push_back(m::Assign{exec_input_dim(dims[j].input, dims[j].dim),
                                     place_index(place_index(var("shapes"), usize(o)), usize(j))});
    }
  }
  body.stmts.push_back(m::Return{});
  return m::Fn{"shapes", std::move(body), m::Signature::Shapes};
}

m::Fn lower_exec(const ep::ExecPlan& plan) {
  m::Block body;
  for (std::size_t i = 0; i < plan.buffers.inputs.size(); ++i) {
    body.stmts.push_back(m::Let{m::ty::View{}, fmt::format("in{}", i),
                                m::expr::Convert{m::Conversion::AsView,
                                                 index(ident("inputs"), usize(i))}});
  }
  for (std::size_t o = 0; o < plan.buffers.outputs.size(); ++o) {
    body.stmts.push_back(m::Let{m::ty::ViewMut{}, fmt::format("out{}", o),
                                m::expr::Convert{m::Conversion::AsViewMut,
                                                 index(ident("outputs"), usize(o))}});
  }
  for (const ep::Step& step : plan.exec.steps) {
    if (const auto* alloc = std::get_if<ep::Step::Alloc>(&step.value)) {
      const ep::Buffer& buffer = plan.buffers.intermediates[alloc->intermediate];
      m::Alloc stmt{fmt::format("s{}", alloc->intermediate), {}, {}};
      for (const ShapeDim& d : buffer.shape.dims) stmt.shape.push_back(exec_input_dim(d.input, d.dim));
      for (const auto& extent : buffer.layout)
        stmt.layout.push_back(extent_expr(exec_input_dim(extent.source.value, extent.dim), extent.kind));
      body.stmts.push_back(std::move(stmt));
    } else if (const auto* dispatch = std::get_if<ep::Dispatch>(&step.value)) {
      m::Dispatch stmt{fmt::format("f{}", dispatch->kernel), {}, {}};
      for (const auto& r : dispatch->reads) stmt.readonlys.push_back(buffer_name(r));
      for (const auto& w : dispatch->writes) stmt.writeables.push_back(buffer_name(w));
      body.stmts.push_back(std::move(stmt));
    } else {
      const auto& free = std::get<ep::Step::Free>(step.value);
      body.stmts.push_back(m::Free{fmt::format("s{}", free.intermediate)});
    }
  }
  body.stmts.push_back(m::Return{});
  return m::Fn{"exec", std::move(body), m::Signature::Exec};
}

}  // namespace

LowerResult<m::Module> lower_exec_plan_to_module(const ep::ExecPlan& plan) {
  if (auto ok = check::exec_plan::validate_exec_plan(plan); !ok) return fail(ok.error());

  m::Module module{lower_count(plan), lower_ranks(plan), lower_shapes(plan), lower_exec(plan), {}};
  for (std::size_t k = 0; k < plan.kernels.size(); ++k) {
    auto body = KernelLowerer(plan, plan.kernels[k]).lower(k);
    if (!body) return std::unexpected(body.error());
    module.kernels.push_back(m::Fn{fmt::format("f{}", k), std::move(*body), m::Signature::Kernel});
  }

  if (auto ok = check::module::validate_module(module); !ok) return std::unexpected(ok.error());
  return module;
}

}  // namespace compiler::lower::exec_plan_to_module
