"""TrackEval's own evaluation of a kelmora dataset, the peer of `kelmora eval` in the tests and the
benchmarks: its Evaluator and MotChallenge2DBox, nothing else imported.

Usage: python tests/trackeval_peer.py GT RESULTS OUT BENCHMARK

writes TrackEval's summary and detailed files (no plots) into OUT/kelmora, as a fresh process.
"""

from __future__ import annotations

import contextlib
import io
import pathlib
import sys
import tempfile


def trackeval_evaluate(gt_root: pathlib.Path, results: pathlib.Path, benchmark: str = "MOT15", out=None) -> dict:
    """TrackEval's own Evaluator and MotChallenge2DBox on a dataset of sequence folders (gt/gt.txt and
    seqinfo.ini with seqLength) and a folder of results files, linked in as its tracker "kelmora".
    Returns {sequence or "COMBINED_SEQ": {metric: {field: value}}}; with `out`, TrackEval writes its
    summary and detailed files into out/kelmora."""
    import trackeval

    sequences = sorted(p.name for p in gt_root.iterdir() if (p / "gt" / "gt.txt").is_file())
    with tempfile.TemporaryDirectory() as trackers:
        (pathlib.Path(trackers) / "kelmora").mkdir()
        (pathlib.Path(trackers) / "kelmora" / "data").symlink_to(results.resolve())
        eval_config = trackeval.Evaluator.get_default_eval_config()
        eval_config.update(
            USE_PARALLEL=False,
            PRINT_RESULTS=False,
            PRINT_CONFIG=False,
            TIME_PROGRESS=False,
            OUTPUT_SUMMARY=out is not None,
            OUTPUT_DETAILED=out is not None,
            PLOT_CURVES=False,
        )
        data_config = trackeval.datasets.MotChallenge2DBox.get_default_dataset_config()
        data_config.update(
            GT_FOLDER=str(gt_root),
            TRACKERS_FOLDER=trackers,
            OUTPUT_FOLDER=str(out) if out is not None else None,
            BENCHMARK=benchmark,
            SKIP_SPLIT_FOL=True,
            SEQ_INFO={name: None for name in sequences},
            PRINT_CONFIG=False,
        )
        metrics = [
            trackeval.metrics.HOTA(),
            trackeval.metrics.CLEAR({"PRINT_CONFIG": False}),
            trackeval.metrics.Identity({"PRINT_CONFIG": False}),
        ]
        with contextlib.redirect_stdout(io.StringIO()):
            results_, _ = trackeval.Evaluator(eval_config).evaluate(
                [trackeval.datasets.MotChallenge2DBox(data_config)], metrics
            )
    return {seq: res["pedestrian"] for seq, res in results_["MotChallenge2DBox"]["kelmora"].items()}


if __name__ == "__main__":
    gt, results, out, benchmark = sys.argv[1:5]
    trackeval_evaluate(pathlib.Path(gt), pathlib.Path(results), benchmark, pathlib.Path(out))
