"""Evaluation: the same numbers as TrackEval's own evaluator on the same files, every class counting."""

from __future__ import annotations

import json
import shutil

import numpy as np
import pytest
from command_support import SYNTHETIC, kelmora, make_dataset, trackeval_evaluate

import kelmora_tools
from kelmora_tools import evaluation, metrics
from kelmora_tools.errors import UserError


def trackeval_on_files(tmp_path, sequences: dict[str, tuple[str, str, int]], benchmark: str = "MOT15"):
    """TrackEval's Evaluator and MotChallenge2DBox on files laid out as it expects; sequences maps a
    name to (gt text, results text, length). Returns its per-sequence and combined results
    {name: {metric: {field: value}}}."""
    gt_root, results = tmp_path / "te_gt", tmp_path / "te_results"
    results.mkdir()
    for name, (gt_text, res_text, length) in sequences.items():
        (gt_root / name / "gt").mkdir(parents=True)
        (gt_root / name / "gt" / "gt.txt").write_text(gt_text)
        (gt_root / name / "seqinfo.ini").write_text(f"[Sequence]\nname={name}\nseqLength={length}\n")
        (results / f"{name}.txt").write_text(res_text)
    reference = trackeval_evaluate(gt_root, results, benchmark)
    shutil.rmtree(gt_root)
    shutil.rmtree(results)
    return reference


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
        task = evaluation.EvalTask(name, gt, "gt.txt", res, f"{name}.txt", length)
        per_sequence[name] = evaluation.eval_task(task).raw
    combined = metrics.combine_sequences(per_sequence)
    for name, raw in [*per_sequence.items(), ("COMBINED_SEQ", combined)]:
        for metric, fields in reference[name].items():
            for field, theirs in fields.items():
                ours = raw[metric][field]
                assert np.asarray(ours).tobytes() == np.asarray(theirs, np.asarray(ours).dtype).tobytes(), (name, field)
    assert evaluation.Scores(per_sequence["worse"])["HOTA"] < evaluation.Scores(per_sequence["ours"])["HOTA"]


@pytest.mark.parametrize("benchmark, hota", [("MOT15", 0.676), ("MOT17", 0.531), ("MOT20", 0.531)])
def test_benchmarks_count_what_trackeval_counts(tmp_path, synthetic_results, benchmark, hota):
    # The synthetic sequence holds people, cars and cyclists (classes 1 to 3). MOT15 counts every object;
    # MOT17 and MOT20 keep pedestrians only and drop the tracks matched to distractor classes (2).
    gt_text = (SYNTHETIC / "gt" / "gt.txt").read_text()
    theirs = trackeval_on_files(tmp_path, {"s": (gt_text, synthetic_results, 400)}, benchmark)["s"]
    task = evaluation.EvalTask("s", gt_text, "g", synthetic_results, "r", 400, benchmark)
    ours = evaluation.eval_task(task).raw
    assert evaluation.Scores(ours).to_json() == evaluation.Scores(theirs).to_json()
    assert round(evaluation.Scores(ours)["HOTA"], 3) == hota


@pytest.mark.parametrize("task_options, classes", [({}, True), ({"class_aware": False}, True), ({}, False)])
def test_class_ids_only_with_classes(task_options, classes):
    # The tracker sees the class ids of det.txt only with --classes; with class-aware matching they
    # raise HOTA on the synthetic sequence from 0.676 (the default run above) to 0.690.
    from kelmora_tools import tracking

    det = (SYNTHETIC / "det" / "det.txt").read_text()
    text = tracking.track_task(tracking.TrackTask("s", det, "det.txt", 400, task_options, classes)).text
    gt_text = (SYNTHETIC / "gt" / "gt.txt").read_text()
    scores = evaluation.Scores(evaluation.eval_task(evaluation.EvalTask("s", gt_text, "g", text, "r", 400)).raw)
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
    scores = evaluation.Scores(evaluation.eval_task(evaluation.EvalTask("s", gt, "g", res, "r", 4)).raw)
    assert {key: scores[key] for key in expected} == expected


def test_considered_flag_zero_is_not_ground_truth():
    gt, res = two_objects([(1, 2)] * 4)
    gt = gt.replace("4,2,50,0,10,10,1,1,1", "4,2,50,0,10,10,0,1,1")
    scores = evaluation.Scores(evaluation.eval_task(evaluation.EvalTask("s", gt, "g", res, "r", 4)).raw)
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
        evaluation.eval_task(evaluation.EvalTask("s", gt + gt_extra, "g", res + res_extra, "r", 4))
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
        assert list(scores) == list(evaluation.FIGURES)
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


@pytest.mark.parametrize("benchmark", ["MOT17", "MOT20"])
def test_leaderboard_files_are_trackevals_byte_for_byte(tmp_path, capsys, benchmark):
    # A small split named as the benchmark names its sequences, with distractors, zero-marked rows,
    # results on a distractor's very box (ties in the matching), frames without ground truth or results,
    # and one sequence without results at all.
    import make_mot_split

    from kelmora_tools.trackeval_files import DETAILED, FILES, SUMMARY

    data, results = make_mot_split.write_split(tmp_path / "split", benchmark, frames=40, per_frame=12, seed=3)
    rows = sum(len(p.read_text().splitlines()) for p in results.iterdir())
    next(iter(sorted(results.iterdir()))).write_text("")
    trackeval_evaluate(data, results, benchmark, out=tmp_path / "te")
    want = {name: (tmp_path / "te" / "kelmora" / name).read_bytes() for name in (SUMMARY, DETAILED)}
    for extra in ([], ["--trackeval"]):
        out, scores = tmp_path / f"out{len(extra)}", tmp_path / f"scores{len(extra)}.json"
        run = kelmora(capsys, "eval", "--gt", data, "--results", results, "--out", out, "--json", scores, *extra)
        assert run.status == 0, run.err
        assert f"benchmark {benchmark} (pedestrians only, results on distractors removed)" in run.out.splitlines()[0]
        assert sorted(p.name for p in out.iterdir()) == sorted(FILES)
        assert {name: (out / name).read_bytes() for name in want} == want
    report = json.loads(scores.read_text())
    assert 0 < report["combined"]["Dets"] < rows  # results on distractors were removed
    assert kelmora_tools.evaluate(data, results).to_json() == report


@pytest.mark.parametrize(
    "gt_edit, res_edit, extra, message",
    [
        (None, None, ["--benchmark", "MOT99"], "argument --benchmark: invalid choice: 'MOT99' (choose from MOT15, "),
        (",1\n", None, ["--benchmark", "MOT17"], "gt.txt:1: ground truth without a class (8th value), which MOT17"),
        (",1,14,1\n", None, [], "gt.txt:1: class 14 is not a MOTChallenge class (1 to 13), which MOT17 needs"),
        (None, ",0.9,2,-1,-1\n", [], "MOT17-01.txt:1: class 2 (8th value); results must be pedestrians"),
        (None, None, ["--out", "scores.json"], "--out {tmp}/scores.json: a file, not a folder"),
    ],
)
def test_bad_benchmark_input_is_one_line_and_writes_nothing(tmp_path, capsys, gt_edit, res_edit, extra, message):
    gt, res = two_objects([(1, 2)] * 4)
    (tmp_path / "MOT17-01" / "gt").mkdir(parents=True)
    (tmp_path / "res").mkdir()
    first_gt, first_res = gt.split("\n", 1), res.split("\n", 1)
    gt = first_gt[0].rsplit(",", 3)[0] + gt_edit + first_gt[1] if gt_edit else gt
    res = first_res[0].rsplit(",", 4)[0] + res_edit + first_res[1] if res_edit else res
    (tmp_path / "MOT17-01" / "gt" / "gt.txt").write_text(gt)
    (tmp_path / "res" / "MOT17-01.txt").write_text(res)
    (tmp_path / "scores.json").write_text("{}")
    argv = ["--gt", tmp_path / "MOT17-01", "--results", tmp_path / "res", "--json", tmp_path / "new.json", *extra]
    run = kelmora(capsys, "eval", *[str(a).replace("scores.json", str(tmp_path / "scores.json")) for a in argv])
    assert (run.status, run.out, run.err.count("\n")) == (2, "", 1)
    assert message.format(tmp=tmp_path) in run.err
    assert not (tmp_path / "new.json").exists() and (tmp_path / "scores.json").read_text() == "{}"
