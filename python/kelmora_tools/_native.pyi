"""
Array-speed loops of the kelmora command: MOTChallenge text and MOT evaluation counts.
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['METRIC_FIELDS', 'TRACKER_FIELDS', 'distractor_matches', 'evaluate_sequence', 'format_results', 'linear_sum_assignment', 'read_mot_rows', 'read_plain_rows', 'repeated_id', 'retain_freed_memory', 'set_parent_death_signal']
def distractor_matches(gt_frames: typing.Annotated[numpy.typing.ArrayLike, numpy.int64], gt_xyxy: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], gt_distractor: typing.Annotated[numpy.typing.ArrayLike, numpy.bool], tracker_frames: typing.Annotated[numpy.typing.ArrayLike, numpy.int64], tracker_xyxy: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> numpy.typing.NDArray[numpy.bool]:
    """
    The tracker rows that TrackEval's MOTChallenge preprocessing removes: those its per-frame matching pairs with a ground-truth row of a distractor class.
    """
def evaluate_sequence(gt_frames: typing.Annotated[numpy.typing.ArrayLike, numpy.int64], gt_ids: typing.Annotated[numpy.typing.ArrayLike, numpy.int64], gt_xyxy: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], gt_keep: typing.Any, tracker_frames: typing.Annotated[numpy.typing.ArrayLike, numpy.int64], tracker_ids: typing.Annotated[numpy.typing.ArrayLike, numpy.int64], tracker_xyxy: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], tracker_keep: typing.Any, alphas: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], threshold: typing.SupportsFloat | typing.SupportsIndex, progress: typing.Any = None) -> dict:
    """
    TrackEval's HOTA, CLEAR, Identity and Count counts of one sequence, {metric: {field: value}}, over the rows each keep mask keeps (None: all), sorted by frame; ids are relabelled in order of value.
    """
def format_results(frames: typing.Annotated[numpy.typing.ArrayLike, numpy.int64], ids: typing.Annotated[numpy.typing.ArrayLike, numpy.int64], xyxy: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], scores: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> typing.Any:
    """
    MOTChallenge results text of corner boxes, or None when a value is too large or not finite.
    """
def linear_sum_assignment(cost: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> tuple:
    """
    The minimum-cost assignment that scipy.optimize.linear_sum_assignment returns: (rows, cols); it refuses what SciPy refuses, with SciPy's exception and message.
    """
def read_mot_rows(data: bytes, kind: str, max_frame: typing.SupportsFloat | typing.SupportsIndex) -> typing.Any:
    """
    The rows of read_plain_rows as the columns of a MOTChallenge file of `kind` (det, gt or results): (frames, ids, xyxy, conf, class_ids, lines, other_lines, first_fault, sorted), or None when the whole file must be read row by row.
    """
def read_plain_rows(data: bytes) -> typing.Any:
    """
    Rows of plain decimal numbers of a MOTChallenge file: (table, columns, lines, other_lines), or None when the whole file must be read row by row.
    """
def repeated_id(frames: typing.Annotated[numpy.typing.ArrayLike, numpy.int64], ids: typing.Annotated[numpy.typing.ArrayLike, numpy.int64]) -> tuple:
    """
    The rows (i, j) of the first (frame, id) that rows sorted by frame hold twice, by frame and then id; (-1, -1) when none is.
    """
def retain_freed_memory() -> bool:
    """
    Has the C allocator keep freed memory for the process's next allocations instead of returning it to the system (glibc only); returns whether it took the settings.
    """
def set_parent_death_signal(signum: typing.SupportsInt | typing.SupportsIndex) -> bool:
    """
    Has the kernel send `signum` to this process when its parent ends, whatever ends it (Linux only); returns whether it took the setting.
    """
METRIC_FIELDS: tuple = (('HOTA', (('HOTA', 'derived', 'float_array', 'summary'), ('DetA', 'derived', 'float_array', 'summary'), ('AssA', 'derived', 'float_array', 'summary'), ('DetRe', 'derived', 'float_array', 'summary'), ('DetPr', 'derived', 'float_array', 'summary'), ('AssRe', 'derived', 'float_array', 'summary'), ('AssPr', 'derived', 'float_array', 'summary'), ('LocA', 'derived', 'float_array', 'summary'), ('OWTA', 'derived', 'float_array', 'summary'), ('HOTA_TP', 'counted', 'integer_array', 'detailed'), ('HOTA_FN', 'counted', 'integer_array', 'detailed'), ('HOTA_FP', 'counted', 'integer_array', 'detailed'), ('HOTA(0)', 'derived', 'float', 'summary'), ('LocA(0)', 'derived', 'float', 'summary'), ('HOTALocA(0)', 'derived', 'float', 'summary'), ('AssA_sum', 'internal', 'float_array', 'detailed'), ('AssRe_sum', 'internal', 'float_array', 'detailed'), ('AssPr_sum', 'internal', 'float_array', 'detailed'), ('LocA_sum', 'internal', 'float_array', 'detailed'))), ('CLEAR', (('MOTA', 'derived', 'float', 'summary'), ('MOTP', 'derived', 'float', 'summary'), ('MODA', 'derived', 'float', 'summary'), ('CLR_Re', 'derived', 'float', 'summary'), ('CLR_Pr', 'derived', 'float', 'summary'), ('MTR', 'derived', 'float', 'summary'), ('PTR', 'derived', 'float', 'summary'), ('MLR', 'derived', 'float', 'summary'), ('sMOTA', 'derived', 'float', 'summary'), ('CLR_F1', 'derived', 'float', 'detailed'), ('FP_per_frame', 'derived', 'float', 'detailed'), ('MOTAL', 'derived', 'float', 'detailed'), ('MOTP_sum', 'counted', 'float', 'detailed'), ('CLR_TP', 'counted', 'integer', 'summary'), ('CLR_FN', 'counted', 'integer', 'summary'), ('CLR_FP', 'counted', 'integer', 'summary'), ('IDSW', 'counted', 'integer', 'summary'), ('MT', 'counted', 'integer', 'summary'), ('PT', 'counted', 'integer', 'summary'), ('ML', 'counted', 'integer', 'summary'), ('Frag', 'counted', 'integer', 'summary'), ('CLR_Frames', 'derived', 'integer', 'detailed'))), ('Identity', (('IDF1', 'derived', 'float', 'summary'), ('IDR', 'derived', 'float', 'summary'), ('IDP', 'derived', 'float', 'summary'), ('IDTP', 'counted', 'integer', 'summary'), ('IDFN', 'counted', 'integer', 'summary'), ('IDFP', 'counted', 'integer', 'summary'))), ('Count', (('Dets', 'counted', 'integer', 'summary'), ('GT_Dets', 'counted', 'integer', 'summary'), ('IDs', 'counted', 'integer', 'summary'), ('GT_IDs', 'counted', 'integer', 'summary'))))
TRACKER_FIELDS: tuple = (('high_score_thresh', 'float', 0.5), ('low_score_thresh', 'float', 0.1), ('match_iou_thresh', 'float', 0.3), ('recovery_iou_thresh', 'float', 0.5), ('new_track_thresh', 'float', 0.6), ('n_init', 'int', 3), ('max_age', 'int', 30), ('use_mahalanobis_gating', 'bool', True), ('class_aware', 'bool', True), ('w_iou', 'float', 1.0), ('w_app', 'float', 0.0), ('w_unc', 'float', 0.0), ('use_giou', 'bool', False), ('appearance_ema_alpha', 'float', 0.9), ('kf_noise_scale', 'float', 1.0), ('w_ocm', 'float', 0.0), ('ocm_delta_t', 'int', 3), ('use_oru', 'bool', False), ('use_gmc', 'bool', False), ('use_lapjv', 'bool', False))
