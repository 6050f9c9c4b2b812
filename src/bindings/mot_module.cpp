// kelmora_tools._native: the kelmora command's array-speed loops (MOTChallenge text, the
// assignment solver of MOT evaluation, and the per-sequence metric counts).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "mot/lsap.hpp"
#include "mot/mot_metrics.hpp"
#include "mot/mot_text.hpp"

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

kelmora::mot::BoxRows box_rows(const Ints& frames, const Ints& ids, const Doubles& xyxy, const char* side) {
    const auto n = static_cast<std::size_t>(frames.size());
    if (static_cast<std::size_t>(ids.size()) != n || static_cast<std::size_t>(xyxy.size()) != 4 * n) {
        throw std::invalid_argument(std::string("evaluate_sequence: ") + side + " needs n frames, n ids, (n, 4) boxes");
    }
    return {n, frames.data(), ids.data(), xyxy.data()};
}

void check_ids(const kelmora::mot::BoxRows& rows, std::int64_t count, const char* side) {
    for (std::size_t i = 0; i < rows.n; ++i) {
        if (rows.ids[i] < 0 || rows.ids[i] >= count) {
            throw std::invalid_argument(std::string("evaluate_sequence: ") + side + " ids must lie in 0 .. count - 1");
        }
        if (i > 0 && rows.frames[i] < rows.frames[i - 1]) {
            throw std::invalid_argument(std::string("evaluate_sequence: ") + side + " rows must be sorted by frame");
        }
    }
}

py::dict evaluate_sequence(const Ints& gt_frames, const Ints& gt_ids, const Doubles& gt_xyxy, const Ints& tr_frames,
                           const Ints& tr_ids, const Doubles& tr_xyxy, std::int64_t num_gt_ids,
                           std::int64_t num_tracker_ids, const std::vector<double>& alphas, double threshold,
                           const py::object& progress) {
    const auto gt = box_rows(gt_frames, gt_ids, gt_xyxy, "ground truth");
    const auto tr = box_rows(tr_frames, tr_ids, tr_xyxy, "tracker");
    check_ids(gt, num_gt_ids, "ground truth");
    check_ids(tr, num_tracker_ids, "tracker");
    // Pending signal handlers run between frames (Ctrl-C abandons the evaluation), and the
    // caller's progress function, if any, hears how far it has come.
    auto on_progress = [&progress](std::size_t done, std::size_t total) {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (!progress.is_none()) progress(done, total);
    };
    const kelmora::mot::SequenceCounts c =
        kelmora::mot::evaluate_sequence(gt, tr, num_gt_ids, num_tracker_ids, alphas, threshold, on_progress);
    py::dict out;
    out["HOTA_TP"] = to_array(c.hota_tp);
    out["HOTA_FN"] = to_array(c.hota_fn);
    out["HOTA_FP"] = to_array(c.hota_fp);
    out["AssA_sum"] = to_array(c.ass_a_sum);
    out["AssRe_sum"] = to_array(c.ass_re_sum);
    out["AssPr_sum"] = to_array(c.ass_pr_sum);
    out["LocA_sum"] = to_array(c.loc_a_sum);
    out["CLR_TP"] = c.clr_tp;
    out["CLR_FN"] = c.clr_fn;
    out["CLR_FP"] = c.clr_fp;
    out["IDSW"] = c.idsw;
    out["MT"] = c.mt;
    out["PT"] = c.pt;
    out["ML"] = c.ml;
    out["Frag"] = c.frag;
    out["MOTP_sum"] = c.motp_sum;
    out["IDTP"] = c.idtp;
    out["IDFN"] = c.idfn;
    out["IDFP"] = c.idfp;
    return out;
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = "Array-speed loops of the kelmora command: MOTChallenge text and MOT evaluation counts.";
    m.def("read_plain_rows", &read_plain_rows, py::arg("data"),
          "Rows of plain decimal numbers of a MOTChallenge file: (table, columns, lines, other_lines), or None "
          "when the whole file must be read row by row.");
    m.def("format_results", &format_results, py::arg("frames"), py::arg("ids"), py::arg("xyxy"), py::arg("scores"),
          "MOTChallenge results text of corner boxes, or None when a value is too large or not finite.");
    m.def("linear_sum_assignment", &linear_sum_assignment, py::arg("cost"),
          "The minimum-cost assignment that scipy.optimize.linear_sum_assignment returns: (rows, cols); it refuses "
          "what SciPy refuses, with SciPy's exception and message.");
    m.def("evaluate_sequence", &evaluate_sequence, py::arg("gt_frames"), py::arg("gt_ids"), py::arg("gt_xyxy"),
          py::arg("tracker_frames"), py::arg("tracker_ids"), py::arg("tracker_xyxy"), py::arg("num_gt_ids"),
          py::arg("num_tracker_ids"), py::arg("alphas"), py::arg("threshold"), py::arg("progress") = py::none(),
          "TrackEval's HOTA, CLEAR and Identity counts of one sequence whose both sides hold boxes.");
}
