// Working state of the stage-to-kernel lowering, shared by the driver, the
// kernel emitter and the online reduction corrections. Internal to the pass;
// tests reach into it to exercise the correction state machine.
//
// A kernel is emitted from its root stage downwards. Each stage gets one loop
// per Local axis; its Consumer axes are loops of the stage it is fused into.
// Actions a stage cannot place in its own loop nest (an Init or fused
// producer sited at a consumer axis) are hoisted to the consumer with a
// placement before or after that consumer's loop.
//
// A fused reduction whose reduced axis is a loop of its consumer is read
// before it is complete. For a running sum or maximum this is made exact by
// online rescaling: the running value is snapshotted before each update and a
// correction record travels through the consumers that use it to the first
// sum accumulator that can take it, which rescales its partial result by
// old / new (a sum used as a divisor) or e^(old - new) (a maximum that was
// subtracted and exponentiated) before adding the next contribution.
#pragma once

#include <cstddef>
#include <expected>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "ir/graph.h"
#include "ir/kernel_program.h"
#include "ir/stage.h"

namespace compiler::lower::stage_to_kernel_program {

using ir::common::ExtentKind;
using ir::common::Index;
using ir::common::Op;
using ir::graph::Source;
using ir::kernel_program::BufferId;
using ir::stage::AxisId;
using ir::stage::Stage;

template <class T>
using Expected = std::expected<T, std::string>;
using Status = std::expected<void, std::string>;

using KAction = ir::kernel_program::Action<BufferId>;
using KAccess = ir::kernel_program::Access<BufferId>;
using KExpr = ir::kernel_program::ScalarExpr<BufferId>;
using KExtent = ir::common::Extent<BufferId>;

// The loop that iterates one axis of a stage.
struct AxisLoop {
  ExtentKind kind;
  std::size_t loop_id = 0;
  Index index = 0;
};
using AxisMap = std::map<AxisId, AxisLoop>;

// One loop of a stage's own loop nest.
struct LoopInfo {
  AxisId axis = 0;
  ExtentKind kind;
  std::size_t loop_id = 0;
  Index index = 0;
};

// Where hoisted actions go in the consumer: just before its loop over
// consumer axis `axis`, or at the top of that loop's body.
struct Before {
  AxisId axis = 0;
  bool operator==(const Before&) const = default;
};
struct After {
  AxisId axis = 0;
  bool operator==(const After&) const = default;
};
using Placement = std::variant<Before, After>;

// A depth in the current stage's loop nest, or a placement in its consumer.
using Destination = std::variant<std::size_t, Placement>;

struct HoistedBlock {
  Placement placement;
  std::vector<KAction> actions;
  bool operator==(const HoistedBlock&) const = default;
};

// Division: a running sum that its users divide by. Max: a running maximum
// that its users subtract and exponentiate.
enum class CorrectionKind { Division, Max };
// Fresh: just made; Shifted: a maximum that has been subtracted; Ready: the
// value carrying the correction may reach an accumulator.
enum class CorrectionState { Fresh, Shifted, Ready };

// One storage dimension of a running value's buffer: the pattern index it
// covers, and the split level it stores (absent: the whole index).
struct CorrectionDim {
  Index index = 0;
  std::optional<ExtentKind> level;
  bool operator==(const CorrectionDim&) const = default;
};

// One pending correction. `pattern` is the fused reduction's output pattern
// and `dims` describes the storage dimensions of its buffer (which may leave
// out indexes fixed by enclosing consumer loops); both are expressed in the
// index numbering of the stage that currently holds the record and are
// renumbered at each hand-over to a consumer. `loops` are the consumer loops
// over its fused reduction axes. `old_value` is the snapshot buffer (before
// the update), `new_value` the reduction's own buffer.
struct OnlineCorrection {
  std::vector<Index> pattern;
  std::vector<CorrectionDim> dims;
  std::vector<std::size_t> loops;
  BufferId old_value;
  BufferId new_value;
  CorrectionKind kind = CorrectionKind::Division;
  CorrectionState state = CorrectionState::Fresh;
  bool operator==(const OnlineCorrection&) const = default;
};

// Same correction: equal kind, old and new buffers.
bool same_correction(const OnlineCorrection& a, const OnlineCorrection& b);

struct HoistedCorrections {
  Placement placement;
  std::vector<OnlineCorrection> corrections;
  bool operator==(const HoistedCorrections&) const = default;
};

struct EmittedStage {
  std::vector<KAction> actions;
  std::vector<HoistedBlock> hoisted;
  std::vector<HoistedCorrections> hoisted_corrections;
  std::vector<OnlineCorrection> corrections;
};

struct EmittedStageKey {
  Stage stage;
  std::vector<Source> sources;  // stage-node sources replaced by representatives
  std::vector<HoistedBlock> hoisted;
  std::vector<HoistedCorrections> hoisted_corrections;
  std::vector<OnlineCorrection> corrections;
  std::size_t stage_index = 0;
};

// Program-level state of one lowering.
struct Builder {
  const ir::stage::StageProgram& program;
  std::vector<ir::kernel_program::Buffer> buffers;
  std::vector<BufferId> input_buffers;
  std::vector<BufferId> stage_buffers;
  std::vector<std::optional<Source>> sources;  // one per buffer
  std::vector<ir::graph::Node<ir::kernel_program::Kernel>> kernels;

  explicit Builder(const ir::stage::StageProgram& p) : program(p) {}

  Expected<BufferId> source_buffer(const Source& source) const;
  Expected<std::pair<ExtentKind, Index>> stage_axis(const Stage& stage,
                                                    const ir::stage::AxisRef& ref) const;
};

// Free helpers.
Expected<AxisLoop> resolve_stage_axis(const AxisMap& axes, const AxisMap& consumer_axes,
                                      const ir::stage::AxisRef& ref);
Expected<std::vector<ir::stage::AxisRef>> stage_axis_refs_for_index(const Stage& stage, Index x);
std::vector<OnlineCorrection> dedup_online_corrections(const std::vector<OnlineCorrection>& list);
// The correction after stage `stage` used it through operand `position`.
Expected<OnlineCorrection> propagate_online_correction(const Stage& stage, std::size_t position,
                                                       const OnlineCorrection& correction);
Expected<std::vector<OnlineCorrection>> propagate_online_corrections(
    const Stage& stage, std::size_t position, const std::vector<OnlineCorrection>& list);
bool can_apply_online_corrections(const Stage& stage, const std::vector<OnlineCorrection>& list);
// Renumbers the patterns of corrections handed from `producer` to `consumer`
// through consumer operand `position`: producer output index d becomes the
// operand's index d.
Expected<std::vector<OnlineCorrection>> renumber_corrections(const Stage& producer,
                                                             const Stage& consumer,
                                                             std::size_t position,
                                                             std::vector<OnlineCorrection> list);

// The state of one kernel under construction.
class KernelBuilder {
 public:
  KernelBuilder(Builder& builder, std::size_t root) : builder_(builder), root_(root) {}

  Expected<EmittedStage> emit_stage(std::size_t i, const AxisMap& consumer_axes);

  const std::vector<BufferId>& written() const { return written_; }
  const std::vector<BufferId>& touched() const { return touched_; }
  // The stage that stands for `i` after merging of identical fused stages.
  std::size_t representative(std::size_t i) const;

 private:
  using DepthLists = std::vector<std::vector<KAction>>;

  // Per-stage context shared by the correction helpers.
  struct StageContext {
    const Stage& stage;
    std::size_t index;
    BufferId buffer;
    const AxisMap& axes;
    const AxisMap& consumer_axes;
    const std::vector<LoopInfo>& loops;
    DepthLists& depths;
    std::vector<OnlineCorrection>& corrections;
    // Corrections that entered the stage, with the operand they came through.
    std::vector<std::pair<std::size_t, OnlineCorrection>> received{};
  };

  const Stage& stage(std::size_t i) const;
  const std::vector<Source>& stage_sources(std::size_t i) const;
  Expected<BufferId> buffer_of(const Source& source) const;

  Expected<ir::kernel_program::Block<BufferId>> build_loop_block(std::size_t i,
                                                                 const std::vector<LoopInfo>& loops,
                                                                 const DepthLists& depths,
                                                                 const KAction& innermost,
                                                                 std::size_t depth);
  Expected<KExtent> lower_loop_extent(std::size_t i, const LoopInfo& loop);
  Expected<ir::kernel_program::Iter> lower_iter(const ir::stage::LayoutDim& dim,
                                                const AxisMap& axes,
                                                const AxisMap& consumer_axes) const;
  Expected<KAccess> lower_access(BufferId buffer, const std::vector<ir::stage::LayoutDim>& dims,
                                 const AxisMap& axes, const AxisMap& consumer_axes);
  Expected<KAccess> lower_read(const Source& source, const ir::stage::Input& input,
                               const Stage& stage, const AxisMap& axes,
                               const AxisMap& consumer_axes);
  Expected<KAccess> lower_semantic_shape_access(BufferId buffer, const std::vector<Index>& pattern,
                                                const Stage& stage, const AxisMap& axes,
                                                const AxisMap& consumer_axes);
  Expected<std::size_t> layout_depth(const std::vector<ir::stage::LayoutDim>& dims,
                                     const std::vector<LoopInfo>& loops) const;
  void record_write(BufferId buffer);
  void touch(BufferId buffer);
  Expected<Destination> hoist_placement(const Stage& stage, const std::vector<LoopInfo>& loops,
                                        std::size_t side, AxisId axis) const;
  Expected<Destination> site_destination(const Stage& stage, const std::vector<LoopInfo>& loops,
                                         const ir::stage::Site& site) const;
  EmittedStageKey stage_key(std::size_t i) const;
  bool guarded(const Stage& stage, const LoopInfo& loop) const;

  // Online corrections.
  Expected<std::optional<OnlineCorrection>> detect_online_correction(std::size_t i,
                                                                     const AxisMap& axes);
  Status handle_online_corrections_at_stage(StageContext& ctx, std::size_t position,
                                            const std::vector<OnlineCorrection>& list);
  Status apply_online_corrections_at_stage(StageContext& ctx,
                                           const std::vector<OnlineCorrection>& list);
  Expected<std::vector<KAction>> online_correction_scale_block(
      StageContext& ctx, AxisMap axes, const std::vector<LoopInfo>& scale_loops,
      const std::vector<OnlineCorrection>& corrections, std::size_t k);
  Expected<KAction> scale_action(const StageContext& ctx, const KAccess& write,
                                 const OnlineCorrection& correction, const AxisMap& axes);
  // The element of a running value's buffer (`dims` of `correction`) that
  // `stage` addresses under `axes`.
  Expected<KAccess> correction_access(BufferId buffer, const OnlineCorrection& correction,
                                      const Stage& stage, const AxisMap& axes,
                                      const AxisMap& consumer_axes);
  Expected<ir::stage::Layout> semantic_layout(const Stage& stage,
                                              const std::vector<Index>& pattern) const;

  Builder& builder_;
  std::size_t root_;
  std::size_t next_loop_id_ = 0;
  std::vector<BufferId> written_;
  std::vector<BufferId> touched_;
  std::vector<EmittedStageKey> emitted_;
  std::map<std::size_t, std::size_t> merged_;
  std::set<std::tuple<std::size_t, BufferId, BufferId, CorrectionKind>> applied_;
};

}  // namespace compiler::lower::stage_to_kernel_program
