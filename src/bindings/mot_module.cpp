// kelmora_tools._native: the kelmora command's array-speed loops (MOTChallenge text, the
// assignment solver of MOT evaluation, and the per-sequence metric counts).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kelmora/tracker_fields.hpp"
#include "mot/lsap.hpp"
#include "mot/mot_metrics.hpp"
#include "mot/mot_text.hpp"
#include "mot/preprocess.hpp"

namespace py = pybind11;

namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Ints = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

template <typename T>
py::array_t<T> to_array(const std::vector<T>& v) {
    py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

// An array over the vector's own buffer, which the array keeps alive: no copy of large tables.
template <typename T>
py::array_t<T> adopt(std::vector<T>&& v, std::vector<py::ssize_t> shape) {
    auto* owned = new std::vector<T>(std::move(v));
    py::capsule free_when_done(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array_t<T>(shape, owned->data(), free_when_done);
}

py::object read_plain_rows(const py::bytes& data) {
    const std::string_view text = data;
    kelmora::mot::PlainRows rows = kelmora::mot::read_plain_rows(text.data(), text.size());
    if (rows.whole_file_elsewhere) return py::none();
    const auto n = static_cast<py::ssize_t>(rows.lines.size());
    return py::make_tuple(adopt(std::move(rows.values), {n, static_cast<py::ssize_t>(kelmora::mot::kMaxColumns)}),
                          adopt(std::move(rows.columns), {n}), adopt(std::move(rows.lines), {n}),
                          to_array(rows.other_lines));
}

py::object read_mot_rows(const py::bytes& data, const std::string& kind, double max_frame) {
    using kelmora::mot::FileKind;
    const FileKind file_kind = kind == "det"       ? FileKind::kDetections
                               : kind == "gt"      ? FileKind::kGroundTruth
                               : kind == "results" ? FileKind::kResults
                                                   : throw std::invalid_argument("read_mot_rows: unknown kind " + kind);
    if (!(max_frame >= 1 && max_frame <= 4611686018427387904.0)) {
        throw std::invalid_argument("read_mot_rows: max_frame must lie in 1 .. 2**62");
    }
    const std::string_view text = data;
    kelmora::mot::MotRows rows = kelmora::mot::read_mot_rows(text.data(), text.size(), file_kind, max_frame);
    if (rows.whole_file_elsewhere) return py::none();
    const auto n = static_cast<py::ssize_t>(rows.lines.size());
    return py::make_tuple(adopt(std::move(rows.frames), {n}), adopt(std::move(rows.ids), {n}),
                          adopt(std::move(rows.xyxy), {n, 4}), adopt(std::move(rows.conf), {n}),
                          adopt(std::move(rows.class_ids), {n}), adopt(std::move(rows.lines), {n}),
                          to_array(rows.other_lines), rows.first_fault, rows.sorted);
}

py::object format_results(const Ints& frames, const Ints& ids, const Doubles& xyxy, const Doubles& scores) {
    const auto n = static_cast<std::size_t>(frames.size());
    if (static_cast<std::size_t>(ids.size()) != n || static_cast<std::size_t>(scores.size()) != n ||
        static_cast<std::size_t>(xyxy.size()) != 4 * n) {
        throw std::invalid_argument("format_results: expected n frames, ids and scores and (n, 4) boxes");
    }
    std::string out;
    if (!kelmora::mot::write_results_rows(n, frames.data(), ids.data(), xyxy.data(), scores.data(), out)) {
        return py::none();
    }
    return py::str(out);
}

// SciPy's function, refusals included: the cost converts as SciPy converts it (safe casts only, so
// complex and object arrays are refused with TypeError), and every ValueError has SciPy's text.
py::tuple linear_sum_assignment(const py::array_t<double, py::array::c_style>& cost) {
    if (cost.ndim() != 2) {
        throw std::invalid_argument("expected a matrix (2-D array), got a " + std::to_string(cost.ndim()) + " array");
    }
    const auto nr = static_cast<std::size_t>(cost.shape(0)), nc = static_cast<std::size_t>(cost.shape(1));
    std::vector<std::int64_t> rows(std::min(nr, nc)), cols(std::min(nr, nc));
    kelmora::mot::LsapWorkspace work;
    using kelmora::mot::LsapStatus;
    const LsapStatus status = kelmora::mot::solve_lsap(nr, nc, cost.data(), rows.data(), cols.data(), work);
    if (status == LsapStatus::kInvalid) throw std::invalid_argument("matrix contains invalid numeric entries");
    if (status == LsapStatus::kInfeasible) throw std::invalid_argument("cost matrix is infeasible");
    return py::make_tuple(to_array(rows), to_array(cols));
}

kelmora::mot::BoxRows box_rows(const Ints& frames, const Ints& ids, const Doubles& xyxy, const char* function,
                               const char* side) {
    const auto n = static_cast<std::size_t>(frames.size());
    if (static_cast<std::size_t>(ids.size()) != n || static_cast<std::size_t>(xyxy.size()) != 4 * n) {
        throw std::invalid_argument(std::string(function) + ": " + side + " needs n frames, n ids, (n, 4) boxes");
    }
    return {n, frames.data(), ids.data(), xyxy.data()};
}

void check_sorted(const kelmora::mot::BoxRows& rows, const char* function, const char* side) {
    for (std::size_t i = 1; i < rows.n; ++i) {
        if (rows.frames[i] < rows.frames[i - 1]) {
            throw std::invalid_argument(std::string(function) + ": " + side + " rows must be sorted by frame");
        }
    }
}

py::object field_value(std::int64_t v) { return py::int_(v); }
py::object field_value(double v) { return py::float_(v); }
py::object field_value(const std::vector<double>& v) { return to_array(v); }

// Each metric's counts as {name: value}, from its field table.
#define KELMORA_PUT_FIELD(role, kind, listed, name, member) KELMORA_PUT_FIELD_##role(name, member)
#define KELMORA_PUT_FIELD_kCounted(name, member) out[name] = field_value(counts.member);
#define KELMORA_PUT_FIELD_kInternal(name, member) out[name] = field_value(counts.member);
#define KELMORA_PUT_FIELD_kDerived(name, member)
#define KELMORA_DEFINE_FIELD_DICT(metric, table, record)      \
    py::dict field_dict(const kelmora::mot::record& counts) { \
        py::dict out;                                         \
        table(KELMORA_PUT_FIELD) return out;                  \
    }
KELMORA_METRICS(KELMORA_DEFINE_FIELD_DICT)

using Flags = py::array_t<bool, py::array::c_style | py::array::forcecast>;

// The flags of `keep` (None: every row), one per row.
const char* keep_flags(const py::object& keep, std::size_t n, const char* side, std::optional<Flags>& holder) {
    if (keep.is_none()) return nullptr;
    holder = py::cast<Flags>(keep);
    if (static_cast<std::size_t>(holder->size()) != n) {
        throw std::invalid_argument(std::string("evaluate_sequence: ") + side + "_keep needs one flag per row");
    }
    static_assert(sizeof(bool) == sizeof(char), "flags are read as bytes");
    return reinterpret_cast<const char*>(holder->data());
}

py::dict evaluate_sequence(const Ints& gt_frames, const Ints& gt_ids, const Doubles& gt_xyxy, const py::object& gt_keep,
                           const Ints& tr_frames, const Ints& tr_ids, const Doubles& tr_xyxy, const py::object& tr_keep,
                           const std::vector<double>& alphas, double threshold, const py::object& progress) {
    const auto gt_all = box_rows(gt_frames, gt_ids, gt_xyxy, "evaluate_sequence", "ground truth");
    const auto tr_all = box_rows(tr_frames, tr_ids, tr_xyxy, "evaluate_sequence", "tracker");
    check_sorted(gt_all, "evaluate_sequence", "ground truth");
    check_sorted(tr_all, "evaluate_sequence", "tracker");
    if (!std::is_sorted(alphas.begin(), alphas.end())) {
        throw std::invalid_argument("evaluate_sequence: alphas must be ascending");
    }
    std::optional<Flags> gt_flags, tr_flags;
    const kelmora::mot::ScoredRows gt =
        kelmora::mot::scored_rows(gt_all, keep_flags(gt_keep, gt_all.n, "gt", gt_flags));
    const kelmora::mot::ScoredRows tr =
        kelmora::mot::scored_rows(tr_all, keep_flags(tr_keep, tr_all.n, "tracker", tr_flags));
    // Pending signal handlers run between frames (Ctrl-C abandons the evaluation), and the
    // caller's progress function, if any, hears how far it has come.
    auto on_progress = [&progress](std::size_t done, std::size_t total) {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (!progress.is_none()) progress(done, total);
    };
    const kelmora::mot::SequenceCounts c =
        kelmora::mot::evaluate_sequence(gt.view(), tr.view(), gt.num_ids, tr.num_ids, alphas, threshold, on_progress);
    py::dict out;
    out["HOTA"] = field_dict(c.hota);
    out["CLEAR"] = field_dict(c.clear);
    out["Identity"] = field_dict(c.identity);
    out["Count"] = field_dict(c.count);
    return out;
}

py::array_t<bool> distractor_matches(const Ints& gt_frames, const Doubles& gt_xyxy,
                                     const py::array_t<bool, py::array::c_style | py::array::forcecast>& gt_distractor,
                                     const Ints& tr_frames, const Doubles& tr_xyxy) {
    const auto gt = box_rows(gt_frames, gt_frames, gt_xyxy, "distractor_matches", "ground truth");
    const auto tr = box_rows(tr_frames, tr_frames, tr_xyxy, "distractor_matches", "tracker");
    if (static_cast<std::size_t>(gt_distractor.size()) != gt.n) {
        throw std::invalid_argument("distractor_matches: gt_distractor needs one flag per ground-truth row");
    }
    check_sorted(gt, "distractor_matches", "ground truth");
    check_sorted(tr, "distractor_matches", "tracker");
    static_assert(sizeof(bool) == sizeof(char), "flags are read as bytes");
    const std::vector<char> removed =
        kelmora::mot::distractor_matches(gt, reinterpret_cast<const char*>(gt_distractor.data()), tr);
    py::array_t<bool> out(static_cast<py::ssize_t>(removed.size()));
    std::copy(removed.begin(), removed.end(), out.mutable_data());
    return out;
}

// The rows (i, j), i < j, of the first (frame, id) that rows sorted by frame repeat, in order of
// frame and then id: the first two rows that hold it. (-1, -1) when none is repeated.
py::tuple repeated_id(const Ints& frames, const Ints& ids) {
    const auto n = static_cast<std::size_t>(frames.size());
    if (static_cast<std::size_t>(ids.size()) != n)
        throw std::invalid_argument("repeated_id: expected n frames and ids");
    const std::int64_t* f = frames.data();
    const std::int64_t* id = ids.data();
    std::vector<std::pair<std::int64_t, std::size_t>> group;
    for (std::size_t a = 0; a < n;) {
        std::size_t b = a + 1;
        while (b < n && f[b] == f[a]) ++b;
        if (b - a > 1) {
            group.clear();
            for (std::size_t i = a; i < b; ++i) group.emplace_back(id[i], i);
            std::sort(group.begin(), group.end());
            for (std::size_t k = 1; k < group.size(); ++k) {
                if (group[k].first == group[k - 1].first) {
                    return py::make_tuple(static_cast<std::int64_t>(group[k - 1].second),
                                          static_cast<std::int64_t>(group[k].second));
                }
            }
        }
        a = b;
    }
    return py::make_tuple(-1, -1);
}

// The tracker's settings as the tools see them, from the table the tracker's record and its Python
// class are generated from: ((name, type, default), ...) in the order of TrackerConfig's Python
// keywords (the record's order with the kLast fields moved to the end).
py::object python_default(double v) { return py::float_(v); }
py::object python_default(std::int32_t v) { return py::int_(v); }
py::object python_default(bool v) { return py::bool_(v); }
const char* python_type(double) { return "float"; }
const char* python_type(std::int32_t) { return "int"; }
const char* python_type(bool) { return "bool"; }

py::tuple tracker_fields() {
    py::list in_order, last;
#define KELMORA_TRACKER_FIELD_ROW(type, name, def, access, keyword)                    \
    (kelmora::KeywordPlace::keyword == kelmora::KeywordPlace::kLast ? last : in_order) \
        .append(py::make_tuple(#name, python_type(static_cast<type>(def)), python_default(static_cast<type>(def))));
    KELMORA_TRACKER_CONFIG_FIELDS(KELMORA_TRACKER_FIELD_ROW)
#undef KELMORA_TRACKER_FIELD_ROW
    for (const auto& row : last) in_order.append(row);
    return py::tuple(in_order);
}

// kFloatArray -> "float_array": an enumerator of the field tables as the Python field lists name it.
std::string snake_name(const char* enumerator) {
    std::string out;
    for (const char* c = enumerator + 1; *c != '\0'; ++c) {
        if (*c >= 'A' && *c <= 'Z') {
            if (!out.empty()) out += '_';
            out += static_cast<char>(*c - 'A' + 'a');
        } else {
            out += *c;
        }
    }
    return out;
}

// The field tables as ((metric, ((name, role, kind, listed), ...)), ...), for the Python field lists.
#define KELMORA_FIELD_ROW(role, kind, listed, name, member) \
    rows.append(py::make_tuple(name, snake_name(#role), snake_name(#kind), snake_name(#listed)));
#define KELMORA_METRIC_ROW(metric, table, record)                                     \
    {                                                                                 \
        py::list rows;                                                                \
        table(KELMORA_FIELD_ROW) out.append(py::make_tuple(metric, py::tuple(rows))); \
    }
py::tuple metric_fields() {
    py::list out;
    KELMORA_METRICS(KELMORA_METRIC_ROW)
    return py::tuple(out);
}

// Has glibc's allocator keep the memory the process frees for its next allocations: large blocks
// come from the heap instead of being mapped and unmapped one by one, and the heap is not trimmed,
// so that a command working through sequence after sequence does not fault the same pages in
// again for each. Returns whether the allocator took the settings.
bool retain_freed_memory() {
#if defined(__GLIBC__)
    constexpr int kMmapThreshold = 1 << 30;  // bytes: blocks below it come from the heap
    constexpr int kTrimThreshold = 1 << 30;  // bytes of free heap top kept before trimming
    return mallopt(M_MMAP_THRESHOLD, kMmapThreshold) == 1 && mallopt(M_TRIM_THRESHOLD, kTrimThreshold) == 1;
#else
    return false;
#endif
}

// Has the kernel send `signum` to this process when its parent ends (strictly: when the thread
// that created it ends), whatever ends it; cleared in the process's own children. Returns whether
// the kernel took the setting (Linux only).
bool set_parent_death_signal(int signum) {
#if defined(__linux__)
    return prctl(PR_SET_PDEATHSIG, static_cast<unsigned long>(signum)) == 0;
#else
    (void)signum;
    return false;
#endif
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = "Array-speed loops of the kelmora command: MOTChallenge text and MOT evaluation counts.";
    m.def("read_plain_rows", &read_plain_rows, py::arg("data"),
          "Rows of plain decimal numbers of a MOTChallenge file: (table, columns, lines, other_lines), or None "
          "when the whole file must be read row by row.");
    m.def("read_mot_rows", &read_mot_rows, py::arg("data"), py::arg("kind"), py::arg("max_frame"),
          "The rows of read_plain_rows as the columns of a MOTChallenge file of `kind` (det, gt or results): "
          "(frames, ids, xyxy, conf, class_ids, lines, other_lines, first_fault, sorted), or None when the whole "
          "file must be read row by row.");
    m.def("format_results", &format_results, py::arg("frames"), py::arg("ids"), py::arg("xyxy"), py::arg("scores"),
          "MOTChallenge results text of corner boxes, or None when a value is too large or not finite.");
    m.def("linear_sum_assignment", &linear_sum_assignment, py::arg("cost"),
          "The minimum-cost assignment that scipy.optimize.linear_sum_assignment returns: (rows, cols); it refuses "
          "what SciPy refuses, with SciPy's exception and message.");
    m.def("evaluate_sequence", &evaluate_sequence, py::arg("gt_frames"), py::arg("gt_ids"), py::arg("gt_xyxy"),
          py::arg("gt_keep"), py::arg("tracker_frames"), py::arg("tracker_ids"), py::arg("tracker_xyxy"),
          py::arg("tracker_keep"), py::arg("alphas"), py::arg("threshold"), py::arg("progress") = py::none(),
          "TrackEval's HOTA, CLEAR, Identity and Count counts of one sequence, {metric: {field: value}}, over the "
          "rows each keep mask keeps (None: all), sorted by frame; ids are relabelled in order of value.");
    m.def("distractor_matches", &distractor_matches, py::arg("gt_frames"), py::arg("gt_xyxy"), py::arg("gt_distractor"),
          py::arg("tracker_frames"), py::arg("tracker_xyxy"),
          "The tracker rows that TrackEval's MOTChallenge preprocessing removes: those its per-frame matching "
          "pairs with a ground-truth row of a distractor class.");
    m.attr("METRIC_FIELDS") = metric_fields();
    m.attr("TRACKER_FIELDS") = tracker_fields();
    m.def("repeated_id", &repeated_id, py::arg("frames"), py::arg("ids"),
          "The rows (i, j) of the first (frame, id) that rows sorted by frame hold twice, by frame and then id; "
          "(-1, -1) when none is.");
    m.def("retain_freed_memory", &retain_freed_memory,
          "Has the C allocator keep freed memory for the process's next allocations instead of returning it to "
          "the system (glibc only); returns whether it took the settings.");
    m.def("set_parent_death_signal", &set_parent_death_signal, py::arg("signum"),
          "Has the kernel send `signum` to this process when its parent ends, whatever ends it (Linux only); "
          "returns whether it took the setting.");
}
