// Kernel emission: turns a root stage and every stage fused into it through
// compute sites into one kernel body. Each stage owns one list of actions per
// depth of its loop nest (depth 0 before all its loops, depth d at the top of
// the body of its d-th loop); Inits, snapshots, fused producers and rescaling
// blocks are placed into these lists, and the stage's own Compute goes into
// the innermost body. Whatever belongs to a loop the stage does not own is
// hoisted to its consumer.
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

std::optional<std::size_t> position_of(const std::vector<Index>& indexes, Index x) {
  auto it = std::find(indexes.begin(), indexes.end(), x);
  if (it == indexes.end()) return std::nullopt;
  return static_cast<std::size_t>(it - indexes.begin());
}

std::optional<std::size_t> loop_position(const std::vector<LoopInfo>& loops, AxisId axis) {
  for (std::size_t p = 0; p < loops.size(); ++p) {
    if (loops[p].axis == axis) return p;
  }
  return std::nullopt;
}

// The split level of a loop kind: its level for Split, 0 otherwise.
std::size_t split_level(const ExtentKind& kind) {
  if (const auto* split = std::get_if<ir::common::Split>(&kind)) return split->level;
  return 0;
}

}  // namespace

Expected<AxisLoop> resolve_stage_axis(const AxisMap& axes, const AxisMap& consumer_axes,
                                      const st::AxisRef& ref) {
  if (const auto* local = std::get_if<st::LocalRef>(&ref)) {
    auto it = axes.find(local->axis);
    if (it == axes.end()) return fail(fmt::format("axis {} is not available", local->axis));
    return it->second;
  }
  const auto& consumer = std::get<st::ConsumerRef>(ref);
  auto it = consumer_axes.find(consumer.axis);
  if (it == consumer_axes.end())
    return fail(fmt::format("consumer axis {} is not available", consumer.axis));
  return it->second;
}

Expected<std::vector<st::AxisRef>> stage_axis_refs_for_index(const Stage& stage, Index x) {
  struct Entry {
    st::AxisRef ref;
    std::size_t rank;  // 0 for a non-split kind, else 1 + level
  };
  std::vector<Entry> entries;
  for (AxisId a = 0; a < stage.axes.size(); ++a) {
    const st::Axis& axis = stage.axes[a];
    if (st::axis_index(axis) != x) continue;
    st::AxisRef ref = st::LocalRef{a};
    if (const auto* consumer = std::get_if<st::Consumer>(&axis))
      ref = st::ConsumerRef{consumer->axis};
    if (const auto* pruned = std::get_if<st::Pruned>(&axis)) ref = st::LocalRef{pruned->by};
    const ExtentKind& kind = st::axis_extent(axis);
    const std::size_t rank =
        std::holds_alternative<ir::common::Split>(kind) ? 1 + split_level(kind) : 0;
    entries.push_back({ref, rank});
  }
  if (entries.empty()) return fail(fmt::format("stage has no axes for correction index {}", x));
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.rank < b.rank; });
  std::vector<st::AxisRef> refs;
  for (const Entry& e : entries) refs.push_back(e.ref);
  return refs;
}

const Stage& KernelBuilder::stage(std::size_t i) const {
  return builder_.program.graph.nodes[i].value;
}

const std::vector<Source>& KernelBuilder::stage_sources(std::size_t i) const {
  return builder_.program.graph.nodes[i].inputs;
}

std::size_t KernelBuilder::representative(std::size_t i) const {
  for (;;) {
    auto it = merged_.find(i);
    if (it == merged_.end() || it->second == i) return i;
    i = it->second;
  }
}

Expected<BufferId> KernelBuilder::buffer_of(const Source& source) const {
  if (const auto* node = std::get_if<ir::graph::NodeSource>(&source))
    return builder_.source_buffer(ir::graph::NodeSource{representative(node->node), node->output});
  return builder_.source_buffer(source);
}

void KernelBuilder::touch(BufferId buffer) {
  if (std::find(touched_.begin(), touched_.end(), buffer) == touched_.end())
    touched_.push_back(buffer);
}

void KernelBuilder::record_write(BufferId buffer) {
  if (std::find(written_.begin(), written_.end(), buffer) == written_.end())
    written_.push_back(buffer);
  touch(buffer);
}

EmittedStageKey KernelBuilder::stage_key(std::size_t i) const {
  EmittedStageKey key{stage(i), stage_sources(i), {}, {}, {}, i};
  for (Source& source : key.sources) {
    if (auto* node = std::get_if<ir::graph::NodeSource>(&source))
      node->node = representative(node->node);
  }
  return key;
}

// A split index is bounds-checked once, on the innermost-nested of its loops
// (the last of its local axes, since loops nest in axis order): only there
// are all of its levels in scope, whatever order the schedule put them in.
bool KernelBuilder::guarded(const Stage& s, const LoopInfo& loop) const {
  if (std::holds_alternative<ir::common::Semantic>(loop.kind)) return false;
  for (AxisId a = loop.axis + 1; a < s.axes.size(); ++a) {
    const auto* local = std::get_if<st::Local>(&s.axes[a]);
    if (local != nullptr && local->index == loop.index) return false;
  }
  return true;
}

Expected<ks::Block<BufferId>> KernelBuilder::build_loop_block(std::size_t i,
                                                              const std::vector<LoopInfo>& loops,
                                                              const DepthLists& depths,
                                                              const KAction& innermost,
                                                              std::size_t depth) {
  ks::Block<BufferId> block{depths[depth]};
  if (depth == loops.size()) {
    block.actions.push_back(innermost);
    return block;
  }
  const LoopInfo& loop = loops[depth];
  auto body = build_loop_block(i, loops, depths, innermost, depth + 1);
  if (!body) return std::unexpected(body.error());
  auto extent = lower_loop_extent(i, loop);
  if (!extent) return std::unexpected(extent.error());
  const Stage& s = stage(i);
  block.actions.push_back(
      KAction{KAction::Loop{std::move(*body), std::move(*extent), loop.loop_id,
                            contains(s.output.indexes, loop.index), guarded(s, loop)}});
  return block;
}

Expected<KExtent> KernelBuilder::lower_loop_extent(std::size_t i, const LoopInfo& loop) {
  const Stage& s = stage(i);
  const std::vector<Source>& sources = stage_sources(i);
  std::optional<std::pair<BufferId, std::size_t>> found;
  for (std::size_t j = 0; j < s.inputs.size() && !found; ++j) {
    auto dim = position_of(s.inputs[j].indexes, loop.index);
    if (!dim) continue;
    if (j >= sources.size())
      return fail(fmt::format("index {} has no semantic extent source", loop.index));
    auto buffer = buffer_of(sources[j]);
    if (!buffer) return std::unexpected(buffer.error());
    found = {*buffer, *dim};
  }
  if (!found) {
    auto dim = position_of(s.output.indexes, loop.index);
    if (!dim) return fail(fmt::format("index {} has no semantic extent source", loop.index));
    found = {builder_.stage_buffers[i], *dim};
  }
  touch(found->first);
  if (loop.axis >= s.axes.size() || !std::holds_alternative<st::Local>(s.axes[loop.axis]))
    return fail(fmt::format("axis {} is not live", loop.axis));
  return KExtent{found->first, found->second, st::axis_extent(s.axes[loop.axis])};
}

Expected<ks::Iter> KernelBuilder::lower_iter(const st::LayoutDim& dim, const AxisMap& axes,
                                             const AxisMap& consumer_axes) const {
  if (const auto* single = std::get_if<st::SingleDim>(&dim)) {
    auto loop = resolve_stage_axis(axes, consumer_axes, single->axis);
    if (!loop) return std::unexpected(loop.error());
    return ks::Iter{ks::Iter::Loop{loop->loop_id}};
  }
  const auto& semantic = std::get<st::SemanticDim>(dim);
  std::vector<AxisLoop> resolved;
  for (const st::AxisRef& ref : semantic.axes) {
    auto loop = resolve_stage_axis(axes, consumer_axes, ref);
    if (!loop) return std::unexpected(loop.error());
    resolved.push_back(std::move(*loop));
  }
  ks::Iter::Reconstructed rec;
  for (const AxisLoop& loop : resolved) rec.loops.push_back(loop.loop_id);
  auto base = std::find_if(resolved.begin(), resolved.end(), [](const AxisLoop& loop) {
    return std::holds_alternative<ir::common::Base>(loop.kind);
  });
  if (base != resolved.end()) {
    rec.factors = std::get<ir::common::Base>(base->kind).factors;
  } else {
    for (const AxisLoop& loop : resolved) {
      if (const auto* split = std::get_if<ir::common::Split>(&loop.kind))
        rec.factors.push_back(split->factor);
    }
  }
  const std::size_t keep = rec.loops.empty() ? 0 : rec.loops.size() - 1;
  if (rec.factors.size() > keep)
    rec.factors.erase(rec.factors.begin(), rec.factors.end() - static_cast<std::ptrdiff_t>(keep));
  return ks::Iter{std::move(rec)};
}

Expected<KAccess> KernelBuilder::lower_access(BufferId buffer,
                                              const std::vector<st::LayoutDim>& dims,
                                              const AxisMap& axes, const AxisMap& consumer_axes) {
  touch(buffer);
  KAccess access{{}, buffer};
  for (const st::LayoutDim& dim : dims) {
    auto iter = lower_iter(dim, axes, consumer_axes);
    if (!iter) return std::unexpected(iter.error());
    access.indexes.push_back(std::move(*iter));
  }
  return access;
}

Expected<st::Layout> KernelBuilder::semantic_layout(const Stage& s,
                                                    const std::vector<Index>& pattern) const {
  st::Layout layout;
  for (Index x : pattern) {
    auto refs = stage_axis_refs_for_index(s, x);
    if (!refs) return std::unexpected(refs.error());
    layout.dims.push_back(st::SemanticDim{x, std::move(*refs)});
  }
  return layout;
}

Expected<KAccess> KernelBuilder::lower_read(const Source& source, const st::Input& input,
                                            const Stage& s, const AxisMap& axes,
                                            const AxisMap& consumer_axes) {
  auto buffer = buffer_of(source);
  if (!buffer) return std::unexpected(buffer.error());
  const auto* node = std::get_if<ir::graph::NodeSource>(&source);
  if (node == nullptr || !input.compute)
    return lower_access(*buffer, input.layout.dims, axes, consumer_axes);
  // A fused producer: address it by the full indexes of the operand when its
  // output is stored semantically. The operand's pattern is the producer's
  // output pattern in this stage's index numbering.
  auto layout = semantic_layout(s, input.indexes);
  if (!layout) return std::unexpected(layout.error());
  const Stage& producer = stage(representative(node->node));
  const bool producer_semantic = std::any_of(
      producer.output.layout.dims.begin(), producer.output.layout.dims.end(),
      [](const st::LayoutDim& d) { return std::holds_alternative<st::SemanticDim>(d); });
  bool resolvable = true;
  for (const st::LayoutDim& dim : layout->dims) {
    for (const st::AxisRef& ref : std::get<st::SemanticDim>(dim).axes) {
      if (!resolve_stage_axis(axes, consumer_axes, ref)) resolvable = false;
    }
  }
  if (!producer_semantic || !resolvable)
    return lower_access(*buffer, input.layout.dims, axes, consumer_axes);
  return lower_access(*buffer, layout->dims, axes, consumer_axes);
}

Expected<KAccess> KernelBuilder::lower_semantic_shape_access(BufferId buffer,
                                                             const std::vector<Index>& pattern,
                                                             const Stage& s, const AxisMap& axes,
                                                             const AxisMap& consumer_axes) {
  auto layout = semantic_layout(s, pattern);
  if (!layout) return std::unexpected(layout.error());
  touch(buffer);
  return lower_access(buffer, layout->dims, axes, consumer_axes);
}

Expected<std::size_t> KernelBuilder::layout_depth(const std::vector<st::LayoutDim>& dims,
                                                  const std::vector<LoopInfo>& loops) const {
  std::size_t depth = 0;
  auto visit = [&](const st::AxisRef& ref) -> Status {
    const auto* local = std::get_if<st::LocalRef>(&ref);
    if (local == nullptr) return {};
    auto p = loop_position(loops, local->axis);
    if (!p) return fail(fmt::format("axis {} is not local", local->axis));
    depth = std::max(depth, *p + 1);
    return {};
  };
  for (const st::LayoutDim& dim : dims) {
    if (const auto* single = std::get_if<st::SingleDim>(&dim)) {
      if (auto r = visit(single->axis); !r) return std::unexpected(r.error());
      continue;
    }
    for (const st::AxisRef& ref : std::get<st::SemanticDim>(dim).axes) {
      if (auto r = visit(ref); !r) return std::unexpected(r.error());
    }
  }
  return depth;
}

Expected<Destination> KernelBuilder::hoist_placement(const Stage& s,
                                                     const std::vector<LoopInfo>& loops,
                                                     std::size_t side, AxisId a) const {
  if (a >= s.axes.size()) return fail(fmt::format("site references nonexistent axis {}", a));
  AxisId target = a;
  if (const auto* pruned = std::get_if<st::Pruned>(&s.axes[a])) {
    target = pruned->by;
    if (target >= s.axes.size())
      return fail(fmt::format("site references nonexistent axis {}", target));
  }
  if (const auto* consumer = std::get_if<st::Consumer>(&s.axes[target])) {
    if (side == 0) return Destination{Placement{Before{consumer->axis}}};
    return Destination{Placement{After{consumer->axis}}};
  }
  auto p = loop_position(loops, target);
  if (!p) return fail(fmt::format("site references nonlocal axis {}", a));
  return Destination{*p + side};
}

Expected<Destination> KernelBuilder::site_destination(const Stage& s,
                                                      const std::vector<LoopInfo>& loops,
                                                      const st::Site& site) const {
  if (const auto* at = std::get_if<st::At>(&site)) return hoist_placement(s, loops, 1, at->axis);
  for (const st::Axis& axis : s.axes) {
    if (std::holds_alternative<st::Pruned>(axis)) continue;
    if (const auto* consumer = std::get_if<st::Consumer>(&axis))
      return Destination{Placement{Before{consumer->axis}}};
    break;
  }
  return Destination{std::size_t{0}};
}

Expected<EmittedStage> KernelBuilder::emit_stage(std::size_t i, const AxisMap& consumer_axes) {
  const Stage& s = stage(i);
  const std::vector<Source>& sources = stage_sources(i);
  const BufferId buffer = builder_.stage_buffers[i];

  // 1. Loops and axis map.
  AxisMap axes;
  std::vector<LoopInfo> loops;
  for (AxisId a = 0; a < s.axes.size(); ++a) {
    const st::Axis& axis = s.axes[a];
    if (const auto* local = std::get_if<st::Local>(&axis)) {
      const std::size_t id = next_loop_id_++;
      loops.push_back(LoopInfo{a, local->extent, id, local->index});
      axes[a] = AxisLoop{local->extent, id, local->index};
      continue;
    }
    const AxisId c = std::holds_alternative<st::Consumer>(axis) ? std::get<st::Consumer>(axis).axis
                                                                : std::get<st::Pruned>(axis).by;
    auto it = consumer_axes.find(c);
    if (it == consumer_axes.end()) return fail(fmt::format("consumer axis {} is not available", c));
    axes[a] = it->second;
  }

  // 2. A stage identical to one already emitted in this kernel is not
  // emitted again; its consumers read the first one's buffer.
  EmittedStageKey key = stage_key(i);
  if (i != root_) {
    for (const EmittedStageKey& record : emitted_) {
      if (!(record.stage == s) || record.sources != key.sources) continue;
      const bool all_local = std::all_of(s.axes.begin(), s.axes.end(), [](const st::Axis& axis) {
        return std::holds_alternative<st::Local>(axis);
      });
      if (record.stage_index != i && !all_local && !s.output.layout.dims.empty())
        return fail(
            fmt::format("shared non-root compute-at placement for stage {} is not supported", i));
      merged_[i] = record.stage_index;
      EmittedStage result{{}, {}, record.hoisted_corrections, record.corrections};
      for (const HoistedBlock& block : record.hoisted)
        result.hoisted.push_back({block.placement, {}});
      return result;
    }
  }

  // 3. Depth lists and outgoing state.
  DepthLists depths(loops.size() + 1);
  std::vector<HoistedBlock> hoisted;
  std::vector<HoistedCorrections> hoisted_corrections;
  std::vector<OnlineCorrection> corrections;
  StageContext ctx{s, i, buffer, axes, consumer_axes, loops, depths, corrections};

  // 4. A fused reduction read before it is complete.
  std::optional<OnlineCorrection> pending;
  if (i != root_ && s.output.init) {
    auto detected = detect_online_correction(i, axes);
    if (!detected) return std::unexpected(detected.error());
    pending = std::move(*detected);
  }

  // 5. Init placement.
  if (s.output.init) {
    auto write = lower_access(buffer, s.output.layout.dims, axes, consumer_axes);
    if (!write) return std::unexpected(write.error());
    auto dest = site_destination(s, loops, *s.output.init);
    if (!dest) return std::unexpected(dest.error());
    if (const auto* placement = std::get_if<Placement>(&*dest)) {
      hoisted.push_back({*placement, {KAction{KAction::Init{std::move(*write), {}, s.op}}}});
    } else {
      const std::size_t d = std::get<std::size_t>(*dest);
      for (std::size_t p = d; p < loops.size(); ++p) {
        if (contains(s.output.indexes, loops[p].index))
          return fail(fmt::format("init site is outside output loop {}", loops[p].index));
      }
      std::vector<std::size_t> zero_check;
      for (AxisId a = 0; a < s.axes.size(); ++a) {
        if (contains(s.output.indexes, st::axis_index(s.axes[a]))) continue;
        if (std::holds_alternative<st::Local>(s.axes[a])) {
          auto p = loop_position(loops, a);
          if (!p || *p >= d) continue;
        }
        const std::size_t id = axes.at(a).loop_id;
        if (std::find(zero_check.begin(), zero_check.end(), id) == zero_check.end())
          zero_check.push_back(id);
      }
      depths[d].push_back(KAction{KAction::Init{std::move(*write), std::move(zero_check), s.op}});
    }
  }

  // 6. Snapshot of the running value before this pass updates it.
  if (pending) {
    auto layout = semantic_layout(s, pending->pattern);
    if (!layout) return std::unexpected(layout.error());
    auto depth = layout_depth(layout->dims, loops);
    if (!depth) return std::unexpected(depth.error());
    record_write(pending->old_value);
    auto write = correction_access(pending->old_value, *pending, s, axes, consumer_axes);
    if (!write) return std::unexpected(write.error());
    auto read = correction_access(pending->new_value, *pending, s, axes, consumer_axes);
    if (!read) return std::unexpected(read.error());
    depths[*depth].push_back(KAction{KAction::Snapshot{std::move(*write), std::move(*read)}});
  }

  // 7. Operands: fused producers are emitted and placed.
  for (std::size_t j = 0; j < s.inputs.size() && j < sources.size(); ++j) {
    const st::Input& input = s.inputs[j];
    const Source& source = sources[j];
    const auto* node = std::get_if<ir::graph::NodeSource>(&source);
    if (!input.compute) {
      if (node == nullptr || node->output != 0) continue;
      const std::size_t rep = representative(node->node);
      auto record = std::find_if(emitted_.begin(), emitted_.end(),
                                 [&](const EmittedStageKey& k) { return k.stage_index == rep; });
      if (record == emitted_.end()) continue;
      auto list = renumber_corrections(record->stage, s, j, record->corrections);
      if (!list) return std::unexpected(list.error());
      if (auto r = handle_online_corrections_at_stage(ctx, j, *list); !r)
        return std::unexpected(r.error());
      continue;
    }
    if (node == nullptr || node->output != 0)
      return fail(fmt::format("stage {} input {} has compute site without stage producer", i, j));
    const std::size_t p = node->node;
    auto emitted = emit_stage(p, axes);
    if (!emitted) return std::unexpected(emitted.error());
    const Stage& producer = stage(p);

    for (HoistedBlock& block : emitted->hoisted) {
      const bool before = std::holds_alternative<Before>(block.placement);
      const AxisId axis =
          before ? std::get<Before>(block.placement).axis : std::get<After>(block.placement).axis;
      auto dest = hoist_placement(s, loops, before ? 0 : 1, axis);
      if (!dest) return std::unexpected(dest.error());
      if (const auto* placement = std::get_if<Placement>(&*dest)) {
        hoisted.push_back({*placement, std::move(block.actions)});
        continue;
      }
      auto& list = depths[std::get<std::size_t>(*dest)];
      for (KAction& action : block.actions) list.push_back(std::move(action));
    }

    for (const HoistedCorrections& h : emitted->hoisted_corrections) {
      const bool before = std::holds_alternative<Before>(h.placement);
      const AxisId axis =
          before ? std::get<Before>(h.placement).axis : std::get<After>(h.placement).axis;
      auto dest = hoist_placement(s, loops, before ? 0 : 1, axis);
      if (!dest) return std::unexpected(dest.error());
      auto list = renumber_corrections(producer, s, j, h.corrections);
      if (!list) return std::unexpected(list.error());
      for (const OnlineCorrection& c : *list) ctx.received.emplace_back(j, c);
      if (can_apply_online_corrections(s, *list)) {
        if (auto r = apply_online_corrections_at_stage(ctx, *list); !r)
          return std::unexpected(r.error());
        continue;
      }
      auto propagated = propagate_online_corrections(s, 0, *list);
      if (!propagated) return std::unexpected(propagated.error());
      if (const auto* placement = std::get_if<Placement>(&*dest)) {
        hoisted_corrections.push_back({*placement, std::move(*propagated)});
        continue;
      }
      if (!propagated->empty())
        return fail("online correction was hoisted to a non-accumulator stage");
    }

    auto list = renumber_corrections(producer, s, j, emitted->corrections);
    if (!list) return std::unexpected(list.error());
    auto dest = site_destination(s, loops, *input.compute);
    if (!dest) return std::unexpected(dest.error());
    if (const auto* placement = std::get_if<Placement>(&*dest)) {
      if (can_apply_online_corrections(s, *list)) {
        if (auto r = handle_online_corrections_at_stage(ctx, j, *list); !r)
          return std::unexpected(r.error());
        hoisted.push_back({*placement, std::move(emitted->actions)});
        continue;
      }
      hoisted.push_back({*placement, std::move(emitted->actions)});
      auto propagated = propagate_online_corrections(s, j, *list);
      if (!propagated) return std::unexpected(propagated.error());
      hoisted_corrections.push_back({*placement, std::move(*propagated)});
      continue;
    }
    auto& target = depths[std::get<std::size_t>(*dest)];
    for (KAction& action : emitted->actions) target.push_back(std::move(action));
    if (auto r = handle_online_corrections_at_stage(ctx, j, *list); !r)
      return std::unexpected(r.error());
  }

  // A product or quotient of two values carrying the same correction scales
  // by its square or not at all; one rescale of the accumulator cannot fix
  // that.
  if (!s.output.init && (s.op == Op::Mul || s.op == Op::Div)) {
    for (const auto& [p1, c1] : ctx.received) {
      for (const auto& [p2, c2] : ctx.received) {
        if (p1 != p2 && same_correction(c1, c2))
          return fail(fmt::format("online reduction correction reaches both operands of `{}`",
                                  ir::common::op_name(s.op)));
      }
    }
  }

  // 8. The running value's correction goes to the consumer.
  if (pending) corrections.push_back(std::move(*pending));

  // 9. Remember the stage for merging.
  if (i != root_) {
    key.hoisted = hoisted;
    key.hoisted_corrections = hoisted_corrections;
    key.corrections = corrections;
    emitted_.push_back(std::move(key));
  }

  // 10. The stage's own statement.
  record_write(buffer);
  std::vector<KAccess> reads;
  for (std::size_t j = 0; j < s.inputs.size() && j < sources.size(); ++j) {
    auto read = lower_read(sources[j], s.inputs[j], s, axes, consumer_axes);
    if (!read) return std::unexpected(read.error());
    reads.push_back(std::move(*read));
  }
  auto write = lower_access(buffer, s.output.layout.dims, axes, consumer_axes);
  if (!write) return std::unexpected(write.error());

  // 11. The loop nest.
  const KAction compute{KAction::Compute{std::move(*write), std::move(reads), s.op}};
  auto block = build_loop_block(i, loops, depths, compute, 0);
  if (!block) return std::unexpected(block.error());
  return EmittedStage{std::move(block->actions), std::move(hoisted), std::move(hoisted_corrections),
                      std::move(corrections)};
}

}  // namespace compiler::lower::stage_to_kernel_program
