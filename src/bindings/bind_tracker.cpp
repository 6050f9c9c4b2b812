// Python bindings of TrackerConfig and ByteTracker.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "array_boundary.hpp"
#include "bindings.hpp"
#include "kelmora/tracker.hpp"

namespace kelmora::bindings {
namespace {

// The binding's view of one row of KELMORA_TRACKER_CONFIG_FIELDS.
struct FieldRow {
    const char* name;
    FieldAccess access;
    KeywordPlace keyword;
};

// The rows and the members they name, both in declaration order.
#define KELMORA_FIELD_ROW(type, name, value, access, keyword) \
    FieldRow{#name, FieldAccess::access, KeywordPlace::keyword},
constexpr FieldRow kFieldRows[] = {KELMORA_TRACKER_CONFIG_FIELDS(KELMORA_FIELD_ROW)};
#undef KELMORA_FIELD_ROW
#define KELMORA_FIELD_MEMBER(type, name, value, access, keyword) &TrackerConfig::name,
constexpr std::tuple kFieldMembers{KELMORA_TRACKER_CONFIG_FIELDS(KELMORA_FIELD_MEMBER)};
#undef KELMORA_FIELD_MEMBER

constexpr std::size_t kFieldCount = std::size(kFieldRows);
static_assert(std::tuple_size_v<decltype(kFieldMembers)> == kFieldCount);

template <typename Member>
struct MemberType;
template <typename T>
struct MemberType<T TrackerConfig::*> {
    using type = T;
};
// The type of the field declared at `index`.
template <std::size_t index>
using FieldType = typename MemberType<std::tuple_element_t<index, std::remove_const_t<decltype(kFieldMembers)>>>::type;

// The declaration index of the field at each keyword position of the constructor: the kInOrder
// fields in declaration order, then the kLast fields in declaration order.
constexpr std::array<std::size_t, kFieldCount> keyword_order() {
    std::array<std::size_t, kFieldCount> order{};
    std::size_t position = 0;
    for (const KeywordPlace place : {KeywordPlace::kInOrder, KeywordPlace::kLast}) {
        for (std::size_t i = 0; i < kFieldCount; ++i) {
            if (kFieldRows[i].keyword == place) order[position++] = i;
        }
    }
    return order;
}
constexpr std::array<std::size_t, kFieldCount> kKeywordOrder = keyword_order();

// The constructor: one typed argument per field in keyword order, each defaulting to the native
// record's default. It fills a record, validates it, and only then is the object created.
template <std::size_t... position>
void def_constructor(py::class_<TrackerConfig>& cls, std::index_sequence<position...>) {
    const TrackerConfig d;
    cls.def(
        py::init([](FieldType<kKeywordOrder[position]>... values) {
            TrackerConfig c;
            ((c.*std::get<kKeywordOrder[position]>(kFieldMembers) = values), ...);
            c.validate();
            return c;
        }),
        (py::arg(kFieldRows[kKeywordOrder[position]].name) = d.*std::get<kKeywordOrder[position]>(kFieldMembers))...);
}

// A read-only property for the field at `index` when its row asks for one.
template <std::size_t index>
void def_property(py::class_<TrackerConfig>& cls) {
    if constexpr (kFieldRows[index].access == FieldAccess::kReadOnly) {
        cls.def_readonly(kFieldRows[index].name, std::get<index>(kFieldMembers));
    }
}

// The properties in declaration order.
template <std::size_t... index>
void def_properties(py::class_<TrackerConfig>& cls, std::index_sequence<index...>) {
    (def_property<index>(cls), ...);
}

// NumPy's own conversion, so that an object NumPy refuses raises NumPy's exception unchanged.
FloatArray to_float_array(const py::object& value) {
    static const char* const kNumpy = "numpy";
    py::object converted = py::module_::import(kNumpy).attr("asarray")(value, "float64", py::arg("order") = "C");
    return py::reinterpret_borrow<FloatArray>(converted);
}

using UpdateResult = std::tuple<Int64Array, FloatArray, FloatArray, Int64Array>;
using StatesResult = std::tuple<Int64Array, Int64Array, Int64Array, Int64Array, Int64Array>;

UpdateResult update(ByteTracker& tracker, const FloatArray& boxes, const FloatArray& scores,
                    const py::object& class_ids, const py::object& features) {
    if (boxes.ndim() != 2 || boxes.shape(1) != 4) throw std::invalid_argument("update: boxes must be (N, 4)");
    // The sizes are checked by the tracker's own rules, each right after the conversion it
    // depends on, so that errors come in the order the tracker checks them.
    FrameArrays frame;
    frame.n = static_cast<std::size_t>(boxes.shape(0));
    frame.boxes = boxes.data();
    frame.scores = scores.data();
    frame.score_count = element_count(scores);
    check_score_count(frame);
    FloatArray class_array;
    if (!class_ids.is_none()) {
        class_array = to_float_array(class_ids);
        frame.class_ids = class_array.data();
        frame.class_id_count = element_count(class_array);
        check_class_id_count(frame);
    }
    FloatArray feature_array;
    if (!features.is_none()) {
        feature_array = to_float_array(features);
        const bool matrix = feature_array.ndim() == 2;
        frame.features = feature_array.data();
        frame.features_given = true;
        frame.feature_rows = matrix ? static_cast<std::size_t>(feature_array.shape(0)) : frame.n + 1;
        frame.feature_dim = matrix ? static_cast<std::size_t>(feature_array.shape(1)) : 0;
        check_feature_shape(frame);
    }

    // The result arrays are allocated after the frame is planned and before it is applied, so
    // that a MemoryError there leaves the tracker unchanged too.
    const std::vector<TrackOutput>& rows = tracker.prepare_update(frame);
    const auto k = static_cast<py::ssize_t>(rows.size());
    Int64Array ids;
    FloatArray xyxy;
    FloatArray out_scores;
    Int64Array out_classes;
    try {
        ids = Int64Array(k);
        xyxy = make_float_array({k, 4});
        out_scores = make_float_array({k});
        out_classes = Int64Array(k);
    } catch (...) {
        tracker.discard_update();
        throw;
    }
    // Code run by the allocations (a finaliser, say) could have used this tracker meanwhile.
    if (!tracker.update_pending() || rows.size() != static_cast<std::size_t>(k)) {
        throw std::runtime_error("update: the tracker was used while this update was in progress");
    }
    std::int64_t* id_data = ids.mutable_data();
    double* box_data = xyxy.mutable_data();
    double* score_data = out_scores.mutable_data();
    std::int64_t* class_data = out_classes.mutable_data();
    for (std::size_t r = 0; r < rows.size(); ++r) {
        id_data[r] = rows[r].track_id;
        std::copy(rows[r].xyxy.begin(), rows[r].xyxy.end(), box_data + 4 * r);
        score_data[r] = rows[r].score;
        class_data[r] = rows[r].class_id;
    }
    tracker.commit_update();
    return {ids, xyxy, out_scores, out_classes};
}

}  // namespace

void bind_tracker_config(py::module_& m) {
    py::class_<TrackerConfig> cls(m, "TrackerConfig");
    def_constructor(cls, std::make_index_sequence<kFieldCount>());
    def_properties(cls, std::make_index_sequence<kFieldCount>());
}

void bind_byte_tracker(py::module_& m) {
    py::class_<ByteTracker>(m, "ByteTracker")
        // Taken by pointer so that None reaches the body as a missing object, refused with a
        // RuntimeError with an empty message; any other wrong type stays a TypeError.
        .def(py::init([](const TrackerConfig* config) {
                 if (config == nullptr) throw std::runtime_error("");
                 return std::make_unique<ByteTracker>(*config);
             }),
             // Shown as "TrackerConfig()" in the signature instead of the object's address.
             py::arg_v("config", TrackerConfig(), "TrackerConfig()"))
        .def("reset", &ByteTracker::reset)
        .def_property_readonly("frame_index", &ByteTracker::frame_index)
        .def("update", &update, py::arg("boxes"), py::arg("scores"), py::arg("class_ids") = py::none(),
             py::arg("features") = py::none(), "Advance one frame. Returns (track_ids, xyxy, scores, class_ids).")
        .def(
            "track_states",
            [](const ByteTracker& tracker) {
                const TrackStates s = tracker.track_states();
                return StatesResult{make_int64_array(s.ids), make_int64_array(s.states), make_int64_array(s.hits),
                                    make_int64_array(s.ages), make_int64_array(s.time_since_update)};
            },
            "Return (ids, states, hits, ages, time_since_update) in track order.");
}

}  // namespace kelmora::bindings
