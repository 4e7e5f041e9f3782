// Online reduction corrections. A fused running sum or running maximum that
// its consumer reads at every step of the reduced axis is snapshotted before
// each update; a correction record follows the value through the pointwise
// stages that use it until a sum accumulator can rescale its partial result
// by old / new or e^(old - new) before adding the next contribution.
#include <fmt/format.h>
#include <algorithm>
#include <utility>

#include "lower/stage_to_kernel_program_builder.h"

namespace compiler::lower::stage_to_kernel_program {

namespace ks = ir::kernel_program;
namespace st = ir::stage;

namespace {

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected(std::move(message));
}

bool contains(const std::vector<Index>& indexes, Index x) {
  return std::find(indexes.begin(), indexes.end(), x) != indexes.end();
}

std::optional<std::size_t> loop_position(const std::vector<LoopInfo>& loops, std::size_t loop_id) {
  for (std::size_t p = 0; p < loops.size(); ++p) {
    if (loops[p].loop_id == loop_id) return p;
  }
  return std::nullopt;
}

KExpr read(KAccess access) {
  return KExpr{KExpr::Read{std::move(access)}};
}

// The accumulator rescales everything it has summed so far by one factor f
// (old / new, or e^(old - new)). That reproduces the meaning only when every
// contribution is proportional to the corrected value, so each stage between
// the corrected value and the accumulator must scale its result by exactly
// the factor its corrected operand was scaled by: a product with another
// value, a quotient whose numerator is the corrected value, a copy or a
// negation. Anything else (a sum with an uncorrected value, log, a
// comparison, max/min, a corrected divisor) is not proportional, and a
// program that needs it is rejected rather than computed wrongly. A value
// that carries the same correction into both operands of a product or a
// quotient is rejected by the emitter.
bool passes_ready_correction(const Stage& stage, std::size_t position) {
  const std::size_t arity = stage.inputs.size();
  switch (stage.op) {
    case Op::Mul:  // a product, or a copy
      return true;
    case Op::Div:  // a quotient with this numerator; the one-operand form is 1 / x
      return arity == 2 && position == 0;
    case Op::Add:  // one operand: a copy
    case Op::Sub:  // one operand: a negation
    case Op::And:
    case Op::Or:
    case Op::Xor:
      return arity == 1;
    case Op::Max:
    case Op::Min:
    case Op::Pow:
    case Op::Log:
    case Op::Gt:
    case Op::Ge:
    case Op::Lt:
    case Op::Le:
    case Op::Eq:
    case Op::Ne:
    case Op::Not:
      return false;
  }
  return false;
}

}  // namespace

bool same_correction(const OnlineCorrection& a, const OnlineCorrection& b) {
  return a.kind == b.kind && a.old_value == b.old_value && a.new_value == b.new_value;
}

std::vector<OnlineCorrection> dedup_online_corrections(const std::vector<OnlineCorrection>& list) {
  std::vector<OnlineCorrection> out;
  for (const OnlineCorrection& c : list) {
    const bool seen = std::any_of(out.begin(), out.end(),
                                  [&](const OnlineCorrection& o) { return same_correction(o, c); });
    if (!seen) out.push_back(c);
  }
  return out;
}

Expected<OnlineCorrection> propagate_online_correction(const Stage& stage, std::size_t position,
                                                       const OnlineCorrection& correction) {
  OnlineCorrection out = correction;
  switch (correction.kind) {
    case CorrectionKind::Division:
      switch (correction.state) {
        case CorrectionState::Fresh:
          if (position != 0 && stage.op == Op::Div) {
            out.state = CorrectionState::Ready;
            return out;
          }
          return fail("online reduction correction requires a division use before accumulation");
        case CorrectionState::Shifted:
          return fail("division correction reached invalid shifted state");
        case CorrectionState::Ready:
          if (!passes_ready_correction(stage, position))
            return fail(fmt::format("online reduction correction cannot pass operator `{}`",
                                    ir::common::op_name(stage.op)));
          return out;
      }
      break;
    case CorrectionKind::Max:
      switch (correction.state) {
        case CorrectionState::Fresh:
          if (position != 0 && stage.op == Op::Sub) {
            out.state = CorrectionState::Shifted;
            return out;
          }
          return fail("online max correction requires a subtraction use before exponentiation");
        case CorrectionState::Shifted:
          // Only the one-operand form of Pow is e^x; a^b would not turn the
          // subtracted maximum into a factor.
          if (stage.op == Op::Pow && stage.inputs.size() == 1) {
            out.state = CorrectionState::Ready;
            return out;
          }
          return fail("online max correction requires exponentiation before accumulation");
        case CorrectionState::Ready:
          if (!passes_ready_correction(stage, position))
            return fail(fmt::format("online reduction correction cannot pass operator `{}`",
                                    ir::common::op_name(stage.op)));
          return out;
      }
      break;
  }
  return out;
}

Expected<std::vector<OnlineCorrection>> propagate_online_corrections(
    const Stage& stage, std::size_t position, const std::vector<OnlineCorrection>& list) {
  if (list.empty()) return list;
  if (stage.output.init) return fail("online reduction correction reached unsupported accumulator");
  std::vector<OnlineCorrection> out;
  for (const OnlineCorrection& c : list) {
    auto next = propagate_online_correction(stage, position, c);
    if (!next) return std::unexpected(next.error());
    out.push_back(std::move(*next));
  }
  return out;
}

bool can_apply_online_corrections(const Stage& stage, const std::vector<OnlineCorrection>& list) {
  if (stage.op != Op::Add || !stage.output.init) return false;
  return std::all_of(list.begin(), list.end(), [&](const OnlineCorrection& c) {
    if (c.state != CorrectionState::Ready) return false;
    return std::all_of(c.pattern.begin(), c.pattern.end(),
                       [&](Index x) { return contains(stage.output.indexes, x); });
  });
}

Expected<std::vector<OnlineCorrection>> renumber_corrections(const Stage& producer,
                                                             const Stage& consumer,
                                                             std::size_t position,
                                                             std::vector<OnlineCorrection> list) {
  if (list.empty()) return list;
  const auto& from = producer.output.indexes;
  const auto& to = consumer.inputs.at(position).indexes;
  auto map = [&](Index x) -> Expected<Index> {
    auto it = std::find(from.begin(), from.end(), x);
    const auto d = static_cast<std::size_t>(it - from.begin());
    if (it == from.end() || d >= to.size())
      return fail(
          fmt::format("online reduction correction index {} does not reach its consumer", x));
    return to[d];
  };
  for (OnlineCorrection& c : list) {
    for (Index& x : c.pattern) {
      auto y = map(x);
      if (!y) return std::unexpected(y.error());
      x = *y;
    }
    for (CorrectionDim& dim : c.dims) {
      auto y = map(dim.index);
      if (!y) return std::unexpected(y.error());
      dim.index = *y;
    }
  }
  return list;
}

Expected<std::optional<OnlineCorrection>> KernelBuilder::detect_online_correction(
    std::size_t i, const AxisMap& axes) {
  const Stage& s = stage(i);
  std::vector<std::size_t> loops;
  for (st::AxisId a = 0; a < s.axes.size(); ++a) {
    if (std::holds_alternative<st::Local>(s.axes[a])) continue;
    if (contains(s.output.indexes, st::axis_index(s.axes[a]))) continue;
    loops.push_back(axes.at(a).loop_id);
  }
  if (loops.empty()) return std::nullopt;

  CorrectionKind kind = CorrectionKind::Division;
  if (s.op == Op::Add) {
    kind = CorrectionKind::Division;
  } else if (s.op == Op::Max) {
    kind = CorrectionKind::Max;
  } else {
    return fail(fmt::format(
        "stage {} requires online reduction lowering: fused reduction axis is consumed before "
        "completion",
        i));
  }

  const BufferId source = builder_.stage_buffers[i];
  if (source.value >= builder_.buffers.size())
    return fail(fmt::format("snapshot source buffer {} does not exist", source.value));
  // The running value's storage dimensions, by the pattern index they cover;
  // dimensions fixed by enclosing consumer loops are not stored.
  std::vector<CorrectionDim> dims;
  for (const st::LayoutDim& dim : s.output.layout.dims) {
    if (const auto* semantic = std::get_if<st::SemanticDim>(&dim)) {
      dims.push_back({semantic->index, std::nullopt});
      continue;
    }
    auto axis = builder_.stage_axis(s, std::get<st::SingleDim>(dim).axis);
    if (!axis) return std::unexpected(axis.error());
    std::optional<ExtentKind> level;
    if (!std::holds_alternative<ir::common::Semantic>(axis->first)) level = axis->first;
    dims.push_back({axis->second, std::move(level)});
  }

  const ks::Buffer& original = builder_.buffers[source.value];
  const BufferId snapshot{builder_.buffers.size()};
  builder_.buffers.push_back(ks::Buffer{original.shape, original.layout,
                                        ks::BufferKind::Intermediate, ks::Storage::Global});
  builder_.sources.push_back(std::nullopt);
  return OnlineCorrection{
      s.output.indexes,      std::move(dims), std::move(loops), snapshot, source, kind,
      CorrectionState::Fresh};
}

Expected<KAccess> KernelBuilder::correction_access(BufferId buffer,
                                                   const OnlineCorrection& correction,
                                                   const Stage& s, const AxisMap& axes,
                                                   const AxisMap& consumer_axes) {
  touch(buffer);
  KAccess access{{}, buffer};
  for (const CorrectionDim& dim : correction.dims) {
    if (!dim.level) {
      auto refs = stage_axis_refs_for_index(s, dim.index);
      if (!refs) return std::unexpected(refs.error());
      auto iter = lower_iter(st::SemanticDim{dim.index, std::move(*refs)}, axes, consumer_axes);
      if (!iter) return std::unexpected(iter.error());
      access.indexes.push_back(std::move(*iter));
      continue;
    }
    // One split level of the index: the stage's axis at that level.
    std::optional<st::AxisRef> ref;
    for (st::AxisId a = 0; a < s.axes.size() && !ref; ++a) {
      const st::Axis& axis = s.axes[a];
      if (st::axis_index(axis) != dim.index || st::axis_extent(axis) != *dim.level) continue;
      ref = st::LocalRef{a};
      if (const auto* consumer = std::get_if<st::Consumer>(&axis))
        ref = st::ConsumerRef{consumer->axis};
      if (const auto* pruned = std::get_if<st::Pruned>(&axis)) ref = st::LocalRef{pruned->by};
    }
    if (!ref) return fail(fmt::format("stage has no axes for correction index {}", dim.index));
    auto iter = lower_iter(st::SingleDim{*ref}, axes, consumer_axes);
    if (!iter) return std::unexpected(iter.error());
    access.indexes.push_back(std::move(*iter));
  }
  return access;
}

Status KernelBuilder::handle_online_corrections_at_stage(
    StageContext& ctx, std::size_t position, const std::vector<OnlineCorrection>& list) {
  const std::vector<OnlineCorrection> corrections = dedup_online_corrections(list);
  if (corrections.empty()) return {};
  for (const OnlineCorrection& c : corrections) ctx.received.emplace_back(position, c);
  if (can_apply_online_corrections(ctx.stage, corrections))
    return apply_online_corrections_at_stage(ctx, corrections);
  auto propagated = propagate_online_corrections(ctx.stage, position, corrections);
  if (!propagated) return std::unexpected(propagated.error());
  for (OnlineCorrection& c : *propagated) ctx.corrections.push_back(std::move(c));
  return {};
}

Status KernelBuilder::apply_online_corrections_at_stage(StageContext& ctx,
                                                        const std::vector<OnlineCorrection>& list) {
  const std::vector<OnlineCorrection> corrections = dedup_online_corrections(list);
  if (corrections.empty()) return {};
  for (const OnlineCorrection& c : corrections) {
    if (c.state != CorrectionState::Ready)
      return fail("online reduction correction reached accumulator before correction use");
  }

  // The rescale goes where every loop its element and the running values
  // depend on is open.
  std::size_t depth = 0;
  for (const OnlineCorrection& c : corrections) {
    auto layout = semantic_layout(ctx.stage, c.pattern);
    if (!layout) return std::unexpected(layout.error());
    auto d = layout_depth(layout->dims, ctx.loops);
    if (!d) return std::unexpected(d.error());
    depth = std::max(depth, *d);
    for (std::size_t id : c.loops) {
      if (auto p = loop_position(ctx.loops, id)) depth = std::max(depth, *p + 1);
    }
  }

  std::vector<OnlineCorrection> to_apply;
  for (const OnlineCorrection& c : corrections) {
    if (applied_.insert({ctx.index, c.old_value, c.new_value, c.kind}).second)
      to_apply.push_back(c);
  }
  const bool root = ctx.index == root_;
  // The accumulator's consumer reads it after the accumulator's own loops
  // have finished; a correction whose running loops are all among them is
  // complete by then and goes no further. One over a loop that encloses the
  // accumulator still changes while the consumer reads, so it is handed on.
  auto hand_on = [&] {
    if (root) return;
    for (const OnlineCorrection& c : corrections) {
      const bool open_outside = std::any_of(c.loops.begin(), c.loops.end(), [&](std::size_t id) {
        return !loop_position(ctx.loops, id).has_value();
      });
      if (open_outside) ctx.corrections.push_back(c);
    }
  };
  if (to_apply.empty()) {
    hand_on();
    return {};
  }

  // The axes the accumulator's element and the running values depend on.
  std::set<st::AxisId> axis_set;
  auto add_refs = [&](const std::vector<st::LayoutDim>& dims) {
    for (const st::LayoutDim& dim : dims) {
      if (const auto* single = std::get_if<st::SingleDim>(&dim)) {
        if (const auto* local = std::get_if<st::LocalRef>(&single->axis))
          axis_set.insert(local->axis);
        continue;
      }
      for (const st::AxisRef& ref : std::get<st::SemanticDim>(dim).axes) {
        if (const auto* local = std::get_if<st::LocalRef>(&ref)) axis_set.insert(local->axis);
      }
    }
  };
  add_refs(ctx.stage.output.layout.dims);
  for (const OnlineCorrection& c : to_apply) {
    auto layout = semantic_layout(ctx.stage, c.pattern);
    if (!layout) return std::unexpected(layout.error());
    add_refs(layout->dims);
  }
  std::vector<LoopInfo> scale_loops;
  for (std::size_t p = depth; p < ctx.loops.size(); ++p) {
    if (axis_set.contains(ctx.loops[p].axis)) scale_loops.push_back(ctx.loops[p]);
  }

  auto actions = online_correction_scale_block(ctx, ctx.axes, scale_loops, to_apply, 0);
  if (!actions) return std::unexpected(actions.error());
  for (KAction& action : *actions) ctx.depths[depth].push_back(std::move(action));
  hand_on();
  return {};
}

Expected<std::vector<KAction>> KernelBuilder::online_correction_scale_block(
    StageContext& ctx, AxisMap axes, const std::vector<LoopInfo>& scale_loops,
    const std::vector<OnlineCorrection>& corrections, std::size_t k) {
  if (k == scale_loops.size()) {
    auto write = lower_access(ctx.buffer, ctx.stage.output.layout.dims, axes, ctx.consumer_axes);
    if (!write) return std::unexpected(write.error());
    std::vector<KAction> actions;
    for (const OnlineCorrection& c : corrections) {
      auto action = scale_action(ctx, *write, c, axes);
      if (!action) return std::unexpected(action.error());
      actions.push_back(std::move(*action));
    }
    return actions;
  }
  const LoopInfo& loop = scale_loops[k];
  const std::size_t id = next_loop_id_++;
  axes[loop.axis] = AxisLoop{loop.kind, id, loop.index};
  auto body = online_correction_scale_block(ctx, axes, scale_loops, corrections, k + 1);
  if (!body) return std::unexpected(body.error());
  axes[loop.axis] = AxisLoop{loop.kind, loop.loop_id, loop.index};
  auto extent = lower_loop_extent(ctx.index, loop);
  if (!extent) return std::unexpected(extent.error());
  return std::vector<KAction>{KAction{
      KAction::Loop{ks::Block<BufferId>{std::move(*body)}, std::move(*extent), id,
                    contains(ctx.stage.output.indexes, loop.index), guarded(ctx.stage, loop)}}};
}

Expected<KAction> KernelBuilder::scale_action(const StageContext& ctx, const KAccess& write,
                                              const OnlineCorrection& correction,
                                              const AxisMap& axes) {
  auto old_value =
      correction_access(correction.old_value, correction, ctx.stage, axes, ctx.consumer_axes);
  if (!old_value) return std::unexpected(old_value.error());
  auto new_value =
      correction_access(correction.new_value, correction, ctx.stage, axes, ctx.consumer_axes);
  if (!new_value) return std::unexpected(new_value.error());
  KExpr factor;
  switch (correction.kind) {
    case CorrectionKind::Max:
      factor = KExpr{KExpr::Unary{Op::Pow, KExpr{KExpr::Binary{Op::Sub, read(std::move(*old_value)),
                                                               read(std::move(*new_value))}}}};
      break;
    case CorrectionKind::Division:
      factor =
          KExpr{KExpr::Binary{Op::Div, read(std::move(*old_value)), read(std::move(*new_value))}};
      break;
  }
  return KAction{KAction::Scale{write, std::move(factor)}};
}

}  // namespace compiler::lower::stage_to_kernel_program
