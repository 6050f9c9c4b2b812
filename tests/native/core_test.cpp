// Links the native core without Python and checks a few exact results.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "assignment/assignment_internal.hpp"
#include "common/cpu_features.hpp"
#include "kelmora/assignment.hpp"
#include "kelmora/geometry.hpp"
#include "kelmora/interrupt.hpp"
#include "kelmora/tracker.hpp"

namespace {

int failures = 0;
int passes = 0;

void expect_equal(const char* what, double got, double want) {
    if (got == want) {
        ++passes;
    } else {
        ++failures;
        std::printf("FAIL %s: got %.17g, want %.17g\n", what, got, want);
    }
}

void expect_true(const char* what, bool ok) {
    if (ok) {
        ++passes;
    } else {
        ++failures;
        std::printf("FAIL %s\n", what);
    }
}

// Runs `solve` and returns its output, or the message of the runtime_error it threw.
template <typename Solve>
std::string outcome(Solve solve) {
    try {
        return solve();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
}

std::string joined(const std::vector<std::int64_t>& values) {
    std::string out;
    for (const std::int64_t v : values) out += std::to_string(v) + ",";
    return out;
}

// The scans of both solvers give the same pairs, or the same failure, at every width.
void check_scan_widths() {
    using kelmora::detail::Lanes;
    std::vector<Lanes> widths{Lanes::kOne, Lanes::kTwo};
    if (kelmora::detail::widest_lanes() == Lanes::kFour) widths.push_back(Lanes::kFour);
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    auto unit = [&next] { return static_cast<double>(next() >> 11) * 0x1.0p-53; };
    const double kTenths[6] = {0.1, 0.2, 0.3, 0.6, 0.7, 1.1};
    constexpr int kTrials = 1000;
    int agreeing = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        const std::size_t n = 1 + next() % 13;
        const std::size_t m = n + next() % 11;  // the cores take n <= m
        std::vector<double> cost(n * m);
        // Sums of three values from a pool of three: real-arithmetic ties that rounding
        // breaks, so any change in the order of operations shows up in the pairs.
        const double pool[3] = {unit(), unit(), unit()};
        std::vector<double> row_part(n), col_part(m);
        for (double& r : row_part) r = pool[next() % 3];
        for (double& c : col_part) c = pool[next() % 3];
        for (std::size_t k = 0; k < n * m; ++k) {
            double& c = cost[k];
            switch (trial % 5) {
                case 0: c = static_cast<double>(next() % 4); break;
                case 1: c = kTenths[next() % 6]; break;
                case 2: c = unit(); break;
                case 3: c = (pool[next() % 3] + row_part[k / m]) + col_part[k % m]; break;
                default: c = (next() % 2 ? 1.7e308 : -1.7e308) * (0.5 + static_cast<double>(next() % 8) / 16); break;
            }
        }
        std::string first[2];
        for (std::size_t w = 0; w < widths.size(); ++w) {
            const std::string hungarian = outcome([&] {
                std::vector<std::int64_t> col_to_row(m);
                kelmora::detail::SolverWorkspace work;
                kelmora::detail::hungarian_core(cost.data(), n, m, col_to_row.data(), widths[w], work);
                return joined(col_to_row);
            });
            const std::string jv = outcome([&] {
                std::vector<std::int64_t> x(n, -1), y(m, -1);
                kelmora::detail::SolverWorkspace work;
                kelmora::detail::lapjv_core(cost.data(), n, m, x.data(), y.data(), widths[w], work);
                return joined(x) + ";" + joined(y);
            });
            if (w == 0) {
                first[0] = hungarian;
                first[1] = jv;
            } else if (hungarian != first[0] || jv != first[1]) {
                std::printf("FAIL scan width %zu differs on trial %d (%zu x %zu)\n", w, trial, n, m);
                ++failures;
                return;
            }
        }
        ++agreeing;
    }
    expect_true("scan widths agree on random matrices", agreeing == kTrials);
}

void check_assignment_edges() {
    std::vector<std::int64_t> col_to_row(1, 7);
    expect_true("hungarian core, m = 0", outcome([&] {
                                             kelmora::linear_assignment_core(nullptr, 1, 0, col_to_row.data());
                                             return std::string();
                                         }) == "linear_assignment: no free column; n > m?");
    std::vector<std::int64_t> x, y;
    expect_true("lapjv core, m = 0", outcome([&] {
                                         kelmora::lapjv(nullptr, 2, 0, x, y);
                                         return std::string();
                                     }) == "lapjv: no augmenting path");
    kelmora::lapjv(nullptr, 0, 0, x, y);
    expect_true("lapjv core, 0 x 0", x.empty() && y.empty());
    const double wide[6] = {0, 0, 0, 0, 1, 0};
    const kelmora::AssignmentResult r = kelmora::linear_assignment(wide, 2, 3);
    expect_true("2 x 3 ties", joined(r.rows) == "0,1," && joined(r.cols) == "1,0,");
    const kelmora::AssociationResult a = kelmora::associate(nullptr, 0, 3, 0.5);
    expect_true("associate, no rows", a.match_rows.empty() && joined(a.unmatched_cols) == "0,1,2,");
}

struct Interrupted {};

// An interrupt check that asks to stop at its first call.
void stop_now() { throw Interrupted{}; }

std::string states_of(const kelmora::ByteTracker& tracker) {
    const kelmora::TrackStates s = tracker.track_states();
    return std::to_string(tracker.frame_index()) + "|" + joined(s.ids) + "|" + joined(s.states) + "|" + joined(s.hits) +
           "|" + joined(s.ages) + "|" + joined(s.time_since_update);
}

// A planned frame changes nothing until it is committed; a discarded one changes nothing at all.
void check_two_step_update() {
    kelmora::TrackerConfig config;
    config.n_init = 1;
    kelmora::ByteTracker tracker{config};
    const double boxes[8] = {0, 0, 10, 20, 100, 0, 110, 20};
    const double scores[2] = {0.9, 0.9};
    const kelmora::FrameArrays frame{boxes, 2, scores, 2};
    tracker.update(frame);
    const std::string before = states_of(tracker);
    const std::vector<kelmora::TrackOutput>& planned = tracker.prepare_update(frame);
    expect_true("plan reports both tracks",
                planned.size() == 2 && planned[0].track_id == 1 && planned[1].track_id == 2);
    expect_true("plan pending", tracker.update_pending());
    expect_true("plan changes nothing", states_of(tracker) == before);
    tracker.discard_update();
    expect_true("discard changes nothing", !tracker.update_pending() && states_of(tracker) == before);
    tracker.commit_update();  // nothing pending: no effect
    expect_true("commit without a plan changes nothing", states_of(tracker) == before);
    tracker.prepare_update(frame);
    tracker.commit_update();
    expect_true("commit applies the plan", tracker.frame_index() == 1 && tracker.track_states().hits[0] == 2);
}

// Whatever the installed check throws abandons the computation and leaves a tracker unchanged.
void check_interrupt_hook() {
    std::vector<double> cost(400 * 400, 1.0);
    kelmora::set_interrupt_check(&stop_now);
    bool stopped = false;
    try {
        kelmora::linear_assignment(cost.data(), 400, 400);
    } catch (const Interrupted&) {
        stopped = true;
    }
    expect_true("solver answers the interrupt check", stopped);

    kelmora::TrackerConfig config;
    config.n_init = 1;
    kelmora::set_interrupt_check(nullptr);
    kelmora::ByteTracker tracker{config};
    std::vector<double> boxes;
    for (int i = 0; i < 300; ++i) {
        const double x = 15.0 * i;
        boxes.insert(boxes.end(), {x, 0.0, x + 10.0, 20.0});
    }
    const std::vector<double> scores(300, 0.9);
    const kelmora::FrameArrays frame{boxes.data(), 300, scores.data(), 300};
    tracker.update(frame);
    tracker.update(frame);
    const std::string before = states_of(tracker);
    kelmora::set_interrupt_check(&stop_now);
    stopped = false;
    try {
        tracker.update(frame);
    } catch (const Interrupted&) {
        stopped = true;
    }
    kelmora::set_interrupt_check(nullptr);
    expect_true("frame update answers the interrupt check", stopped);
    expect_true("interrupted frame changes nothing", states_of(tracker) == before);
    tracker.update(frame);
    expect_true("next frame runs", tracker.frame_index() == 2 && tracker.track_states().hits[0] == 3);
}

// Every report and every track's counters over a random scene: boxes moving on a coarse grid
// (ties), clutter, missed detections and class ids, tracked with `config`.
std::string track_scene(const kelmora::TrackerConfig& config, std::uint64_t seed) {
    std::uint64_t state = seed * 0x9E3779B97F4A7C15u + 1;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<double>(state >> 11) * 0x1.0p-53;
    };
    kelmora::ByteTracker tracker{config};
    const int objects = 40;
    std::vector<double> start(2 * objects), step(2 * objects), size(2 * objects);
    for (int o = 0; o < objects; ++o) {
        for (int k = 0; k < 2; ++k) {
            start[2 * o + k] = next() * 600.0;
            step[2 * o + k] = (next() - 0.5) * 8.0;
            size[2 * o + k] = 10.0 + next() * 50.0;
        }
    }
    std::string log;
    for (int frame = 0; frame < 80; ++frame) {
        std::vector<double> boxes, scores, classes;
        for (int o = 0; o < objects; ++o) {
            if (next() < 0.15) continue;
            const double x = std::floor((start[2 * o] + step[2 * o] * frame) / 4.0) * 4.0;
            const double y = std::floor((start[2 * o + 1] + step[2 * o + 1] * frame) / 4.0) * 4.0;
            boxes.insert(boxes.end(), {x, y, x + size[2 * o], y + size[2 * o + 1]});
            scores.push_back(std::floor(next() * 10.0) / 10.0);
            classes.push_back(static_cast<double>(o % 3));
        }
        for (int c = 0; c < 3; ++c) {
            const double x = next() * 600.0, y = next() * 600.0;
            boxes.insert(boxes.end(), {x, y, x + 30.0, y + 30.0});
            scores.push_back(next());
            classes.push_back(-1.0);
        }
        kelmora::FrameArrays arrays;
        arrays.boxes = boxes.data();
        arrays.n = scores.size();
        arrays.scores = scores.data();
        arrays.score_count = scores.size();
        arrays.class_ids = classes.data();
        arrays.class_id_count = classes.size();
        for (const kelmora::TrackOutput& row : tracker.update(arrays)) {
            log += std::to_string(row.track_id) + ":";
            for (const double v : row.xyxy) log += std::to_string(v) + ",";
        }
        log += states_of(tracker) + ";";
    }
    return log;
}

// The tracker gives the same bits whichever vector width the processor lets its kernels use.
void check_kernel_widths_agree() {
    const kelmora::detail::CpuFeatures detected = kelmora::detail::detect_cpu_features();
    std::vector<kelmora::TrackerConfig> configs(4);
    configs[1].use_giou = true;
    configs[2].use_lapjv = true;
    configs[2].w_unc = 0.5;
    configs[3].match_iou_thresh = 0.0;
    configs[3].use_mahalanobis_gating = false;
    for (std::size_t c = 0; c < configs.size(); ++c) {
        kelmora::detail::restrict_cpu_features(detected);
        const std::string widest = track_scene(configs[c], c + 1);
        kelmora::detail::restrict_cpu_features(kelmora::detail::CpuFeatures{});
        const std::string narrowest = track_scene(configs[c], c + 1);
        kelmora::detail::restrict_cpu_features(detected);
        expect_true("the tracker's bits do not depend on the vector width", widest == narrowest);
        expect_true("the scene reports tracks", widest.find(':') != std::string::npos);
    }
}
}  // namespace

int main() {
    const double a[4] = {0, 0, 2, 2};
    const double b[4] = {1, 1, 3, 3};
    double out = 0.0;
    kelmora::iou_matrix_kernel(a, 1, b, 1, &out);
    expect_equal("iou of offset squares", out, 1.0 / 7.0);
    kelmora::giou_matrix_kernel(a, 1, b, 1, &out);
    expect_equal("giou of offset squares", out, 1.0 / 7.0 - 2.0 / 9.0);

    const double xyah[4] = {50, 40, 0.5, 20};
    double xyxy[4];
    kelmora::xyah_to_xyxy_rows(xyah, 1, xyxy);
    expect_equal("xyah x1", xyxy[0], 45);
    expect_equal("xyah y2", xyxy[3], 50);

    const double flat[4] = {0, 5, 4, 3};
    double converted[4];
    kelmora::xyxy_to_xyah_rows(flat, 1, converted);
    expect_equal("aspect of a reversed box", converted[2], 4.0 / 1e-7);
    expect_equal("height of a reversed box", converted[3], -2.0);

    check_scan_widths();
    check_assignment_edges();
    // Id exhaustion: the last id is issued, then the tracker refuses to wrap and stays unchanged.
    kelmora::ByteTracker tracker{kelmora::TrackerConfig{}};
    tracker.set_next_id(2147483647);
    const double boxes[8] = {0, 0, 10, 20, 100, 0, 110, 20};
    const double scores[2] = {0.9, 0.9};
    kelmora::FrameArrays one{boxes, 1, scores, 1};
    tracker.update(one);
    expect_true("last id issued",
                tracker.track_states().ids.size() == 1 && tracker.track_states().ids[0] == 2147483647);
    kelmora::FrameArrays two{boxes, 2, scores, 2};
    std::string message;
    try {
        tracker.update(two);
    } catch (const std::runtime_error& e) {
        message = e.what();
    }
    expect_true("id exhaustion refused", message.rfind("update: track ids are exhausted", 0) == 0);
    expect_true("tracker unchanged after refusal",
                tracker.frame_index() == 0 && tracker.track_states().ids.size() == 1);
    tracker.reset();
    tracker.update(two);
    expect_true("ids restart after reset", tracker.track_states().ids[0] == 1 && tracker.track_states().ids[1] == 2);

    check_two_step_update();
    check_interrupt_hook();
    check_kernel_widths_agree();

    std::printf("native core: %d passed, %d failed\n", passes, failures);
    return failures == 0 ? 0 : 1;
}
