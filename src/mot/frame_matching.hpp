// The overlaps of a sequence's boxes frame by frame, and the matching of one frame, as TrackEval
// computes them: the part every metric and the benchmark preprocessing share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "mot/lsap.hpp"

namespace kelmora::mot {

// np.finfo(float).eps, TrackEval's margin in every threshold test.
inline constexpr double kEps = 2.220446049250313e-16;

// Boxes of one side of a sequence (ground truth or tracker), sorted by frame.
struct BoxRows {
    std::size_t n = 0;
    const std::int64_t* frames = nullptr;  // any increasing numbering; equal frames are one time step
    const std::int64_t* ids = nullptr;     // 0 .. number of ids - 1, unique within a frame
    const double* xyxy = nullptr;          // n x 4 corner boxes
};

// One time step: the rows of each side in it, [g0, g1) and [t0, t1).
struct TimeStep {
    std::size_t g0, g1, t0, t1;
};

// The time steps that hold rows of either side, in frame order.
std::vector<TimeStep> time_steps(const BoxRows& gt, const BoxRows& tracker);

// A pair of boxes of one frame that overlap: its place in the frame's g x r matrix (row-major),
// the slot of its pair of ids (see PairSlots; -1 until known) and its similarity.
struct Overlap {
    std::uint32_t at;
    std::int32_t slot;
    double sim;
};

// TrackEval's box IoU of corner boxes a and b: the intersection is zeroed where either area or
// the union is at most eps, and such a union becomes 1.
double box_iou(const double* a, const double* b);

// The boxes of one side of a frame in order of x1, with the widest box's width: what overlap
// searches scan (see candidates).
struct XOrder {
    std::vector<std::uint32_t> by_x1;
    double widest = 0.0;
    bool bounded = false;  // the widths are finite: candidates can skip the boxes far to the left
};

// Sorts the n boxes of `boxes` (n x 4 corners) by x1.
void order_by_x1(const double* boxes, std::size_t n, XOrder& out);

// The range of `order` holding every box that can overlap `a` in x: from the first whose x1 is
// within the widest box of a.x1 (no box starting further left reaches a.x1); scan it up to the
// first box whose x1 is not below a.x2.
std::vector<std::uint32_t>::const_iterator candidates(const double* boxes, const XOrder& order, const double* a);

// Appends the pairs of a frame's g ground-truth and r tracker boxes whose IoU is positive, in
// row-major order; every other pair's IoU is +0.0. `order` is working memory (the tracker boxes'
// order by x1).
void frame_overlaps(const double* g_boxes, std::size_t g, const double* t_boxes, std::size_t r, XOrder& order,
                    std::vector<Overlap>& out);

// The (ground-truth id, tracker id) pairs that ever overlap, each with a slot 0, 1, ...: an open
// addressing table from the pair's key to its slot.
struct PairSlots {
    std::vector<std::uint64_t> keys;  // kEmptyKey where free
    std::vector<std::int32_t> slots;
    std::size_t count = 0;
    std::vector<std::int32_t> gt_of, tracker_of;  // per slot
};

// The slot of the pair (g, t), created when new.
std::int32_t slot_of(PairSlots& table, std::int64_t g, std::int64_t t, std::int64_t num_tracker_ids);

// Every overlap of a sequence, frame by frame, and how often each id occurs: what the metrics
// accumulate from.
struct SequenceOverlaps {
    std::vector<TimeStep> steps;
    std::vector<Overlap> overlaps;           // in frame and row-major order, slots set
    std::vector<std::size_t> first_overlap;  // per step, and one past the last
    PairSlots pairs;
    std::vector<double> gt_count, tracker_count;  // rows per id
};

// Called every kCheckEvery frames with the frames done (of all the loops over a sequence's
// frames); may throw to abandon the work.
using StepCheck = std::function<void(std::size_t done)>;

// Collects the overlaps of a sequence whose ids are 0 .. num_*_ids - 1, over its `steps`
// (time_steps).
// Throws: std::length_error when a frame has more than 2^32 pairs of boxes.
SequenceOverlaps collect_overlaps(const BoxRows& gt, const BoxRows& tr, std::vector<TimeStep> steps,
                                  std::int64_t num_gt_ids, std::int64_t num_tracker_ids, const StepCheck& check);

// Working memory of match_frame, kept between frames.
struct MatchScratch {
    std::vector<std::size_t> parent, order, group_rows, group_cols, degree;
    std::vector<std::pair<std::size_t, std::size_t>> keyed, chosen;
    std::vector<double> cost, group_cost;
    std::vector<std::int64_t> rows, cols, group_row_of, group_col_of;
    std::vector<std::int32_t> overlap_at;
};

// Which solver pairs a match keeps beyond the positive pairs: HOTA keeps any pair the solver
// makes that overlaps at all (its thresholds test the similarity afterwards); CLEAR and the
// benchmark preprocessing keep only pairs whose score exceeds eps.
enum class KeepPairs { kOverlapping, kScoreAboveEps };

// The pairs that scipy.optimize.linear_sum_assignment matches on a frame's g x r matrix of negated
// scores, where the frame's overlaps list[0, n) have `score` (0 where `edge` is false) and every
// other pair scores 0: writes indices into `list` to `matched`, in the solver's row order.
//
// Pairs in groups that share no row or column with another group's positive pairs are matched
// group by group when that provably gives the whole solve's answer; the whole frame is solved
// otherwise (ties, and groups too large to check).
void match_frame(const Overlap* list, std::size_t n, const char* edge, const double* score, std::size_t g,
                 std::size_t r, KeepPairs keep, MatchScratch& scratch, LsapWorkspace& work,
                 std::vector<std::size_t>& matched);

// The first part of match_frame alone: true with `matched` when the groups of `list`'s positive
// pairs decide the whole solve's answer, false when only the whole frame's solve can tell. `list`
// may hold just some of the frame's groups (all their pairs): the answer holds for those.
bool match_groups(const Overlap* list, std::size_t n, const char* edge, const double* score, std::size_t g,
                  std::size_t r, MatchScratch& scratch, LsapWorkspace& work, std::vector<std::size_t>& matched);

// How often the overlap collection and the metrics' frame loops call their checks.
inline constexpr std::size_t kCheckEvery = 64;

}  // namespace kelmora::mot
