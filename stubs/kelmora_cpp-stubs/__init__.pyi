"""
Optimized C++ ByteTrack - parity-gated against kelmora-mot (NumPy).
"""
from __future__ import annotations
import numpy
import numpy.typing
import typing
__all__: list[str] = ['ByteTracker', 'KalmanBoxTracker', 'TrackerConfig', 'appearance_distance', 'associate', 'box_area', 'build_association_cost', 'build_info', 'chi2_gating_threshold', 'clip_boxes', 'cxcywh_to_xyxy', 'echo', 'eigen_selftest', 'giou_matrix', 'iou_matrix', 'linear_assignment', 'linear_assignment_lapjv', 'uncertainty_distance', 'xyah_to_xyxy', 'xywh_to_xyxy', 'xyxy_to_cxcywh', 'xyxy_to_xyah', 'xyxy_to_xywh']
class TrackerConfig:
    def __init__(self, high_score_thresh: typing.SupportsFloat | typing.SupportsIndex = 0.5, low_score_thresh: typing.SupportsFloat | typing.SupportsIndex = 0.1, match_iou_thresh: typing.SupportsFloat | typing.SupportsIndex = 0.3, recovery_iou_thresh: typing.SupportsFloat | typing.SupportsIndex = 0.5, new_track_thresh: typing.SupportsFloat | typing.SupportsIndex = 0.6, n_init: typing.SupportsInt | typing.SupportsIndex = 3, max_age: typing.SupportsInt | typing.SupportsIndex = 30, use_mahalanobis_gating: bool = True, class_aware: bool = True, w_iou: typing.SupportsFloat | typing.SupportsIndex = 1.0, w_app: typing.SupportsFloat | typing.SupportsIndex = 0.0, w_unc: typing.SupportsFloat | typing.SupportsIndex = 0.0, use_giou: bool = False, appearance_ema_alpha: typing.SupportsFloat | typing.SupportsIndex = 0.9, kf_noise_scale: typing.SupportsFloat | typing.SupportsIndex = 1.0, w_ocm: typing.SupportsFloat | typing.SupportsIndex = 0.0, ocm_delta_t: typing.SupportsInt | typing.SupportsIndex = 3, use_oru: bool = False, use_gmc: bool = False, use_lapjv: bool = False) -> None:
        ...
    @property
    def high_score_thresh(self) -> float:
        ...
    @property
    def kf_noise_scale(self) -> float:
        ...
    @property
    def low_score_thresh(self) -> float:
        ...
    @property
    def match_iou_thresh(self) -> float:
        ...
    @property
    def max_age(self) -> int:
        ...
    @property
    def n_init(self) -> int:
        ...
    @property
    def new_track_thresh(self) -> float:
        ...
    @property
    def recovery_iou_thresh(self) -> float:
        ...
class ByteTracker:
    def __init__(self, config: TrackerConfig = ...) -> None:
        ...
    def reset(self) -> None:
        ...
    def track_states(self) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]:
        """
        Return (ids, states, hits, ages, time_since_update) in track order.
        """
    def update(self, boxes: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], scores: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], class_ids: typing.Any = None, features: typing.Any = None) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64]]:
        """
        Advance one frame. Returns (track_ids, xyxy, scores, class_ids).
        """
    @property
    def frame_index(self) -> int:
        ...
class KalmanBoxTracker:
    def __init__(self, std_weight_position: typing.SupportsFloat | typing.SupportsIndex = 0.05, std_weight_velocity: typing.SupportsFloat | typing.SupportsIndex = 0.00625) -> None:
        ...
    def gating_distance(self, mean: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], covariance: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], measurements: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
        ...
    def gating_distance_batch(self, means: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], covariances: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], measurements: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
        ...
    def initiate(self, measurement: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]:
        ...
    def predict(self, mean: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], covariance: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]:
        ...
    def project(self, mean: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], covariance: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]:
        ...
    def update(self, mean: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], covariance: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], measurement: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]:
        ...
    @property
    def std_weight_position(self) -> float:
        ...
    @property
    def std_weight_velocity(self) -> float:
        ...
def appearance_distance(track_features: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], det_features: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
    ...
def associate(cost: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], max_cost: typing.SupportsFloat | typing.SupportsIndex) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]:
    """
    Gated one-to-one association; returns (matches, unmatched_rows, unmatched_cols).
    """
def box_area(boxes: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
    ...
def build_association_cost(ious: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], w_iou: typing.SupportsFloat | typing.SupportsIndex = 1.0, w_app: typing.SupportsFloat | typing.SupportsIndex = 0.0, w_unc: typing.SupportsFloat | typing.SupportsIndex = 0.0, use_giou: bool = False, iou_thresh: typing.SupportsFloat | typing.SupportsIndex = 0.3, motion: typing.Any = None, class_mismatch: typing.Any = None, gating_d2: typing.Any = None, gate_thresh: typing.Any = None, appearance: typing.Any = None, uncertainty: typing.Any = None) -> tuple[numpy.typing.NDArray[numpy.float64], float]:
    ...
def build_info() -> dict[str, str | int | bool]:
    """
    Toolchain versions actually compiled in - not what pip reports.
    """
def chi2_gating_threshold(dof: typing.SupportsInt | typing.SupportsIndex = 4) -> float:
    ...
def clip_boxes(boxes: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], width: typing.SupportsFloat | typing.SupportsIndex, height: typing.SupportsFloat | typing.SupportsIndex) -> numpy.typing.NDArray[numpy.float64]:
    ...
def cxcywh_to_xyxy(boxes: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
    ...
def echo(array: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
    """
    Return a NumPy array unchanged - proves the array boundary works.
    """
def eigen_selftest() -> float:
    """
    Residual of a 3x3 solve whose exact answer is 0. Non-zero means Eigen is broken.
    """
def giou_matrix(a: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], b: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
    ...
def iou_matrix(a: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], b: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
    ...
def linear_assignment(cost: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]:
    """
    Solve the rectangular linear-sum-assignment problem (minimisation).
    """
def linear_assignment_lapjv(cost: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]:
    """
    Jonker-Volgenant assignment. NOT parity-safe: optimal, but a different optimum on ties. Provided to price the trade, not to take it.
    """
def uncertainty_distance(gating_d2: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], gate_thresh: typing.SupportsFloat | typing.SupportsIndex) -> numpy.typing.NDArray[numpy.float64]:
    ...
def xyah_to_xyxy(boxes: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
    ...
def xywh_to_xyxy(boxes: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
    ...
def xyxy_to_cxcywh(boxes: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
    ...
def xyxy_to_xyah(boxes: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
    ...
def xyxy_to_xywh(boxes: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
    ...
__version__: str = '0.1.1'
