// The fields of the evaluation metrics in one table per metric, from which the count records, the
// binding's dictionaries and the Python field lists are generated.
#pragma once

#include <cstdint>
#include <vector>

// One row per field, in the order of the metric's fields in TrackEval:
//   X(role, kind, listed, name, member)
// role    kCounted: accumulated over the frames natively and reported under `name`;
//         kInternal: accumulated natively for fields derived from it, reported under `name`,
//                    not itself a field of the metric;
//         kDerived: computed from the others by the metric's formulas in Python (`member` unused).
// kind    TrackEval's kind of the field: kInteger, kFloat, kIntegerArray or kFloatArray (one value
//         per localisation threshold alpha). Natively, integers are int64, floats doubles and
//         arrays vectors of doubles (TrackEval keeps its integer arrays as floats too).
// listed  kSummary for a field of TrackEval's summary file, kDetailed for one of its detailed file
//         only.
// A new field is one row here, and for a derived field its formula in Python.
// clang-format off
#define KELMORA_HOTA_FIELDS(X)                                          \
    X(kDerived,  kFloatArray,   kSummary,  "HOTA",        _)            \
    X(kDerived,  kFloatArray,   kSummary,  "DetA",        _)            \
    X(kDerived,  kFloatArray,   kSummary,  "AssA",        _)            \
    X(kDerived,  kFloatArray,   kSummary,  "DetRe",       _)            \
    X(kDerived,  kFloatArray,   kSummary,  "DetPr",       _)            \
    X(kDerived,  kFloatArray,   kSummary,  "AssRe",       _)            \
    X(kDerived,  kFloatArray,   kSummary,  "AssPr",       _)            \
    X(kDerived,  kFloatArray,   kSummary,  "LocA",        _)            \
    X(kDerived,  kFloatArray,   kSummary,  "OWTA",        _)            \
    X(kCounted,  kIntegerArray, kDetailed, "HOTA_TP",     hota_tp)      \
    X(kCounted,  kIntegerArray, kDetailed, "HOTA_FN",     hota_fn)      \
    X(kCounted,  kIntegerArray, kDetailed, "HOTA_FP",     hota_fp)      \
    X(kDerived,  kFloat,        kSummary,  "HOTA(0)",     _)            \
    X(kDerived,  kFloat,        kSummary,  "LocA(0)",     _)            \
    X(kDerived,  kFloat,        kSummary,  "HOTALocA(0)", _)            \
    X(kInternal, kFloatArray,   kDetailed, "AssA_sum",    ass_a_sum)    \
    X(kInternal, kFloatArray,   kDetailed, "AssRe_sum",   ass_re_sum)   \
    X(kInternal, kFloatArray,   kDetailed, "AssPr_sum",   ass_pr_sum)   \
    X(kInternal, kFloatArray,   kDetailed, "LocA_sum",    loc_a_sum)

#define KELMORA_CLEAR_FIELDS(X)                                         \
    X(kDerived,  kFloat,        kSummary,  "MOTA",         _)           \
    X(kDerived,  kFloat,        kSummary,  "MOTP",         _)           \
    X(kDerived,  kFloat,        kSummary,  "MODA",         _)           \
    X(kDerived,  kFloat,        kSummary,  "CLR_Re",       _)           \
    X(kDerived,  kFloat,        kSummary,  "CLR_Pr",       _)           \
    X(kDerived,  kFloat,        kSummary,  "MTR",          _)           \
    X(kDerived,  kFloat,        kSummary,  "PTR",          _)           \
    X(kDerived,  kFloat,        kSummary,  "MLR",          _)           \
    X(kDerived,  kFloat,        kSummary,  "sMOTA",        _)           \
    X(kDerived,  kFloat,        kDetailed, "CLR_F1",       _)           \
    X(kDerived,  kFloat,        kDetailed, "FP_per_frame", _)           \
    X(kDerived,  kFloat,        kDetailed, "MOTAL",        _)           \
    X(kCounted,  kFloat,        kDetailed, "MOTP_sum",     motp_sum)    \
    X(kCounted,  kInteger,      kSummary,  "CLR_TP",       clr_tp)      \
    X(kCounted,  kInteger,      kSummary,  "CLR_FN",       clr_fn)      \
    X(kCounted,  kInteger,      kSummary,  "CLR_FP",       clr_fp)      \
    X(kCounted,  kInteger,      kSummary,  "IDSW",         idsw)        \
    X(kCounted,  kInteger,      kSummary,  "MT",           mt)          \
    X(kCounted,  kInteger,      kSummary,  "PT",           pt)          \
    X(kCounted,  kInteger,      kSummary,  "ML",           ml)          \
    X(kCounted,  kInteger,      kSummary,  "Frag",         frag)        \
    X(kDerived,  kInteger,      kDetailed, "CLR_Frames",   _)

#define KELMORA_IDENTITY_FIELDS(X)                                      \
    X(kDerived,  kFloat,        kSummary,  "IDF1",         _)           \
    X(kDerived,  kFloat,        kSummary,  "IDR",          _)           \
    X(kDerived,  kFloat,        kSummary,  "IDP",          _)           \
    X(kCounted,  kInteger,      kSummary,  "IDTP",         idtp)        \
    X(kCounted,  kInteger,      kSummary,  "IDFN",         idfn)        \
    X(kCounted,  kInteger,      kSummary,  "IDFP",         idfp)

#define KELMORA_COUNT_FIELDS(X)                                         \
    X(kCounted,  kInteger,      kSummary,  "Dets",         dets)        \
    X(kCounted,  kInteger,      kSummary,  "GT_Dets",      gt_dets)     \
    X(kCounted,  kInteger,      kSummary,  "IDs",          ids)         \
    X(kCounted,  kInteger,      kSummary,  "GT_IDs",       gt_ids)

// The metrics in TrackEval's order of evaluation (Count last, as its Evaluator adds it):
//   M(Name, table, record)
#define KELMORA_METRICS(M)                                              \
    M("HOTA",     KELMORA_HOTA_FIELDS,     HotaCounts)                  \
    M("CLEAR",    KELMORA_CLEAR_FIELDS,    ClearCounts)                 \
    M("Identity", KELMORA_IDENTITY_FIELDS, IdentityCounts)              \
    M("Count",    KELMORA_COUNT_FIELDS,    CountCounts)
// clang-format on

// A record member for each counted and internal row; nothing for a derived one.
#define KELMORA_FIELD_MEMBER(role, kind, listed, name, member) KELMORA_FIELD_MEMBER_##role(kind, member)
#define KELMORA_FIELD_MEMBER_kCounted(kind, member) KELMORA_FIELD_TYPE_##kind member{};
#define KELMORA_FIELD_MEMBER_kInternal(kind, member) KELMORA_FIELD_TYPE_##kind member{};
#define KELMORA_FIELD_MEMBER_kDerived(kind, member)
#define KELMORA_FIELD_TYPE_kInteger std::int64_t
#define KELMORA_FIELD_TYPE_kFloat double
#define KELMORA_FIELD_TYPE_kIntegerArray std::vector<double>
#define KELMORA_FIELD_TYPE_kFloatArray std::vector<double>

namespace kelmora::mot {

// What one metric accumulates over the frames of a sequence: its counted and internal fields.
struct HotaCounts {
    KELMORA_HOTA_FIELDS(KELMORA_FIELD_MEMBER)
};
struct ClearCounts {
    KELMORA_CLEAR_FIELDS(KELMORA_FIELD_MEMBER)
};
struct IdentityCounts {
    KELMORA_IDENTITY_FIELDS(KELMORA_FIELD_MEMBER)
};
struct CountCounts {
    KELMORA_COUNT_FIELDS(KELMORA_FIELD_MEMBER)
};

}  // namespace kelmora::mot
