"""Evaluation: the same numbers as TrackEval's own evaluator on the same files, every class counting."""

from __future__ import annotations

import json
import shutil

import numpy as np
import pytest
import trackeval
from command_support import SYNTHETIC, kelmora, make_dataset

from kelmora_tools import evaluate
from kelmora_tools.errors import UserError


def trackeval_on_files(tmp_path, sequences: dict[str, tuple[str, str, int]], benchmark: str = "MOT15"):
    """TrackEval's Evaluator and MotChallenge2DBox on files laid out as it expects;
    sequences maps a name to (gt text, results text, length). Returns its per-sequence and combined
    results {name: {metric: {field: value}}}."""
    gt_root, trackers = tmp_path / "te_gt", tmp_path / "te_trackers"
    for name, (gt_text, res_text, length) in sequences.items():
        (gt_root / name / "gt").mkdir(parents=True)
        (gt_root / name / "gt" / "gt.txt").write_text(gt_text)
        (gt_root / name / "seqinfo.ini").write_text(f"[Sequence]\nname={name}\nseqLength={length}\n")
        (trackers / "ours" / "data").mkdir(parents=True, exist_ok=True)
        (trackers / "ours" / "data" / f"{name}.txt").write_text(res_text)
    eval_config = trackeval.Evaluator.get_default_eval_config()
    eval_config.update(
        USE_PARALLEL=False,
        PRINT_RESULTS=False,
        PRINT_CONFIG=False,
        TIME_PROGRESS=False,
        OUTPUT_SUMMARY=False,
        OUTPUT_DETAILED=False,
        PLOT_CURVES=False,
    )
    data_config = trackeval.datasets.MotChallenge2DBox.get_default_dataset_config()
    data_config.update(
        GT_FOLDER=str(gt_root),
        TRACKERS_FOLDER=str(trackers),
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
    results, _ = trackeval.Evaluator(eval_config).evaluate([trackeval.datasets.MotChallenge2DBox(data_config)], metrics)
    shutil.rmtree(gt_root)
    shutil.rmtree(trackers)
    return {seq: res["pedestrian"] for seq, res in results["MotChallenge2DBox"]["ours"].items()}


def perturbed(text: str, seed: int) -> str:
    """Results with some rows dropped, ids swapped and boxes shifted: a worse tracker."""
    rng = np.random.default_rng(seed)
    lines = [line.split(",") for line in text.splitlines()]
    out = []
    for fields in lines:
        if rng.random() < 0.1:
            continue
        if rng.random() < 0.05:
            fields[1] = str(int(fields[1]) + 1000)
        fields[2] = f"{float(fields[2]) + rng.normal(0, 3):.2f}"
        out.append(",".join(fields))
    return "\n".join(out) + "\n"


@pytest.fixture(scope="module")
def synthetic_results(tmp_path_factory):
    from kelmora_tools import tracking

    task = tracking.TrackTask("kelmora-synthetic", (SYNTHETIC / "det" / "det.txt").read_text(), "det.txt", 400, {})
    return tracking.track_task(task).text


def test_same_numbers_as_trackeval_on_the_same_files(tmp_path, synthetic_results):
    gt_text = (SYNTHETIC / "gt" / "gt.txt").read_text()
    cases = {"ours": (gt_text, synthetic_results, 400), "worse": (gt_text, perturbed(synthetic_results, 1), 400)}
    reference = trackeval_on_files(tmp_path, cases)
    per_sequence = {}
    for name, (gt, res, length) in cases.items():
        task = evaluate.EvalTask(name, gt, "gt.txt", res, f"{name}.txt", length)
        per_sequence[name] = evaluate.eval_task(task).raw
    combined = evaluate.combine(per_sequence)
    for name, raw in [*per_sequence.items(), ("COMBINED_SEQ", combined)]:
        for metric, (te_metric, field, _) in evaluate.SUMMARY.items():
            ours, theirs = raw[te_metric][field], reference[name][te_metric][field]
            assert np.asarray(ours).tobytes() == np.asarray(theirs, dtype=np.asarray(ours).dtype).tobytes(), (
                name,
                metric,
            )
    assert evaluate.summary(per_sequence["worse"])["HOTA"] < evaluate.summary(per_sequence["ours"])["HOTA"]


def test_every_class_counts_unlike_mot17_preprocessing(tmp_path, synthetic_results):
    # The synthetic sequence holds people, cars and cyclists (classes 1 to 3). TrackEval's MOT17 mode
    # keeps pedestrians only and drops the tracks matched to distractor classes; its MOT15 mode, which we
    # reproduce, counts every object.
    gt_text = (SYNTHETIC / "gt" / "gt.txt").read_text()
    mot17 = trackeval_on_files(tmp_path, {"s": (gt_text, synthetic_results, 400)}, benchmark="MOT17")["s"]
    ours = evaluate.summary(evaluate.eval_task(evaluate.EvalTask("s", gt_text, "g", synthetic_results, "r", 400)).raw)
    assert round(ours["HOTA"], 3) == 0.676
    assert round(float(np.mean(mot17["HOTA"]["HOTA"])), 3) == 0.531


@pytest.mark.parametrize("task_options, classes", [({}, True), ({"class_aware": False}, True), ({}, False)])
def test_class_ids_only_with_classes(task_options, classes):
    # The tracker sees the class ids of det.txt only with --classes; with class-aware matching they
    # raise HOTA on the synthetic sequence from 0.676 (the default run above) to 0.690.
    from kelmora_tools import tracking

    det = (SYNTHETIC / "det" / "det.txt").read_text()
    text = tracking.track_task(tracking.TrackTask("s", det, "det.txt", 400, task_options, classes)).text
    gt_text = (SYNTHETIC / "gt" / "gt.txt").read_text()
    scores = evaluate.summary(evaluate.eval_task(evaluate.EvalTask("s", gt_text, "g", text, "r", 400)).raw)
    aware = classes and task_options.get("class_aware", True)
    assert round(scores["HOTA"], 3) == (0.690 if aware else 0.676)


def two_objects(ids_per_frame):
    """Ground truth of two objects over four frames, and results with the given ids per frame."""
    boxes = ["0,0,10,10", "50,0,10,10"]
    gt = "".join(f"{f},{i + 1},{boxes[i]},1,1,1\n" for f in range(1, 5) for i in range(2))
    res = "".join(f"{f},{ids[i]},{boxes[i]},0.9,-1,-1,-1\n" for f, ids in enumerate(ids_per_frame, 1) for i in range(2))
    return gt, res


@pytest.mark.parametrize(
    "ids, expected",
    [
        ([(1, 2)] * 4, {"HOTA": 1.0, "MOTA": 1.0, "IDF1": 1.0, "IDSW": 0, "FP": 0, "FN": 0, "MOTP": 1.0}),
        ([(1, 2), (1, 2), (2, 1), (2, 1)], {"MOTA": 0.75, "IDF1": 0.5, "IDSW": 2, "FP": 0, "FN": 0}),
        ([(7, 9)] * 4, {"HOTA": 1.0, "IDF1": 1.0}),  # ids are only labels
    ],
)
def test_worked_examples(ids, expected):
    gt, res = two_objects(ids)
    scores = evaluate.summary(evaluate.eval_task(evaluate.EvalTask("s", gt, "g", res, "r", 4)).raw)
    assert {key: scores[key] for key in expected} == expected


def test_considered_flag_zero_is_not_ground_truth():
    gt, res = two_objects([(1, 2)] * 4)
    gt = gt.replace("4,2,50,0,10,10,1,1,1", "4,2,50,0,10,10,0,1,1")
    scores = evaluate.summary(evaluate.eval_task(evaluate.EvalTask("s", gt, "g", res, "r", 4)).raw)
    assert (scores["FP"], scores["FN"]) == (1, 0)


@pytest.mark.parametrize(
    "gt_extra, res_extra, message",
    [
        ("", "2,1,5,5,10,10,0.9,-1,-1,-1\n", "r:9: id 1 appears twice in frame 2 (also line 3)"),
        ("3,2,0,0,1,1,1,1,1\n", "", "g:9: id 2 appears twice in frame 3 (also line 6)"),
        ("", "5,1,0,0,10,10,0.9,-1,-1,-1\n", "r:9: frame 5 is beyond the sequence length 4"),
        ("", "1,-3,0,0,10,10,0.9,-1,-1,-1\n", "r:9: track ids must be >= 0, got -3"),
        ("", "1,1,0,0,10,10,0.9,-1,-1,-1,9\n", "r:9: expected 6 to 10 values"),
        ("", "3,3,0,0,1e200,1e200,0.9\n", "r:9: box area (width times height) must be a finite number"),
        (
            "4,3,0,0,1,1,nan,1,1\n",
            "",
            "g:9: the 7th value of ground truth (the considered flag) must be a finite number, got nan",
        ),
    ],
)
def test_bad_rows_name_file_and_line(gt_extra, res_extra, message):
    gt, res = two_objects([(1, 2)] * 4)
    with pytest.raises(UserError) as error:
        evaluate.eval_task(evaluate.EvalTask("s", gt + gt_extra, "g", res + res_extra, "r", 4))
    assert str(error.value).startswith(message)


def test_eval_command_dataset_json_and_missing_sequence(tmp_path, capsys):
    data = make_dataset(tmp_path / "data")
    results = tmp_path / "results"
    assert kelmora(capsys, "track", data, "--out", results, "--workers", 1).status == 0
    run = kelmora(capsys, "eval", "--gt", data, "--results", results, "--json", tmp_path / "s.json", "--workers", 2)
    assert run.status == 0, run.err
    report = json.loads((tmp_path / "s.json").read_text())
    assert list(report["sequences"]) == ["seq-0", "seq-1", "seq-2"]
    for scores in [*report["sequences"].values(), report["combined"]]:
        assert set(scores) == set(evaluate.SUMMARY)
        assert all(0 <= scores[k] <= 1 for k in ("HOTA", "DetA", "AssA", "IDF1", "MOTP"))
        assert isinstance(scores["IDSW"], int)
    table = {line.split()[0]: line.split()[1:] for line in run.out.splitlines()[2:6]}
    assert list(table) == ["seq-0", "seq-1", "seq-2", "COMBINED"]
    assert float(table["COMBINED"][0]) == round(report["combined"]["HOTA"], 3)
    assert "evaluation:" in run.out and "2 local processes" in run.out
    (results / "seq-1.txt").unlink()
    run = kelmora(capsys, "eval", "--gt", data, "--results", results)
    assert (run.status, run.out) == (2, "")
    assert run.err == f"kelmora eval: error: {results}: no results for sequence seq-1 (seq-1.txt is missing)\n"
