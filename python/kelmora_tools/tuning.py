"""Tuning the tracker: Optuna's TPE search over its thresholds, n_init and max_age, for the best
metric over a dataset.

A study records what it tunes (see Setup): the metric, the sequences and the digests of their files,
the benchmark, the evaluator, the starting configuration and the search space; the command that
creates it runs the starting configuration as the first trial before any worker starts, so that the
best configuration found is never worse than where the search began. Worker processes, and other
commands given the same storage and study, join it and add trials.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import logging
import math
import os
import pathlib
import socket
import sys
import time
import warnings
from collections.abc import Callable, Iterator
from typing import Any

from kelmora_tools import benchmark as benchmarks
from kelmora_tools import config, evaluation, mot_files, outputs, parallel, stopping, study_storage, workers
from kelmora_tools.dataset import find_sequences
from kelmora_tools.errors import UserError
from kelmora_tools.mot_files import Rows
from kelmora_tools.progress import progress
from kelmora_tools.study_storage import set_user_attrs, storage_at
from kelmora_tools.tracking import sequence_length, track_rows

# The fields searched and their ranges; a range grows to take in the starting value. Detection files
# carry no appearance features, so the appearance weight is not searched.
SPACE: dict[str, tuple[float, float]] = {
    "high_score_thresh": (0.3, 0.9),
    "low_score_thresh": (0.0, 0.3),
    "match_iou_thresh": (0.05, 0.7),
    "recovery_iou_thresh": (0.2, 0.8),
    "new_track_thresh": (0.3, 0.95),
    "n_init": (1, 6),
    "max_age": (5, 120),
}


STUDY_ATTR = "kelmora"  # the study's user attribute holding its Setup


JOIN_WAIT = 30.0  # seconds a joining worker waits for the creator to record the study's set-up


SEED_LIMIT = 2**32  # the sampler's seeds are 0 to 2**32 - 1


@dataclasses.dataclass(frozen=True)
class TuneSequence:
    name: str
    dets: Rows
    gt: Rows
    n_frames: int
    size: int = 0  # bytes of its two files
    files: tuple[pathlib.Path, ...] = ()  # the files read: det.txt, gt.txt and seqinfo.ini if any
    digests: dict[str, str] = dataclasses.field(default_factory=dict)  # {"det": sha256, "gt": sha256} of the files


@dataclasses.dataclass(frozen=True)
class Setup:
    """What every worker of a study must agree on; stored in the study. A study made before the data,
    evaluator and space were recorded holds None for them, and is not checked on them."""

    metric: str
    start: dict[str, bool | int | float]
    sequences: list[str]
    classes: bool = False  # class ids from det.txt go to the tracker
    benchmark: str = "MOT15"  # which rows count (see kelmora_tools.benchmark)
    data: dict[str, dict[str, str]] | None = None  # TuneSequence.digests by sequence name
    evaluator: str | None = None  # which evaluator scores the trials (see evaluation.EVALUATORS)
    space: dict[str, tuple[float, float]] | None = None  # search_space(start) when the study was made

    def to_json(self) -> dict[str, Any]:
        return {
            "metric": self.metric,
            "start": self.start,
            "sequences": self.sequences,
            "classes": self.classes,
            "benchmark": self.benchmark,
            "data": self.data,
            "evaluator": self.evaluator,
            "space": self.space,
        }

    @classmethod
    def from_json(cls, data: dict[str, Any]) -> Setup:
        space = data.get("space")
        return cls(
            data["metric"],
            dict(data["start"]),
            list(data["sequences"]),
            bool(data.get("classes", False)),
            str(data.get("benchmark", "MOT15")),
            data.get("data"),
            data.get("evaluator"),
            None if space is None else {key: (low, high) for key, (low, high) in space.items()},
        )


@dataclasses.dataclass(frozen=True)
class Job:
    """One worker process's share of the trials."""

    url: str
    study: str
    trials: int
    seed: int | None
    sequences: list[TuneSequence]
    progress_bar: bool = False  # Optuna's bar on stderr, for the job that runs in the command's own process
    evaluator: str = "builtin"  # which evaluator scores the trials (see evaluation.EVALUATORS)


def search_space(start: dict[str, bool | int | float]) -> dict[str, tuple[float, float]]:
    """SPACE with each range widened to hold the starting value; a field whose starting value is not a
    finite number stays fixed."""
    space = {}
    for key, (low, high) in SPACE.items():
        value = start.get(key, config.DEFAULTS[key])
        if isinstance(value, bool) or not math.isfinite(value):
            continue
        kind = type(config.DEFAULTS[key])
        space[key] = (kind(min(low, value)), kind(max(high, value)))
    return space


def suggest(trial: Any, start: dict[str, bool | int | float]) -> dict[str, bool | int | float]:
    """The options of one trial: the starting configuration with the searched fields drawn by the sampler.

    The low score threshold is capped at the high one, which TrackerConfig requires.
    """
    options = dict(start)
    for key, (low, high) in search_space(start).items():
        if isinstance(config.DEFAULTS[key], int):
            options[key] = trial.suggest_int(key, int(low), int(high))
        else:
            options[key] = trial.suggest_float(key, low, high)
    if "low_score_thresh" in options and "high_score_thresh" in options:
        options["low_score_thresh"] = min(options["low_score_thresh"], options["high_score_thresh"])
    return options


def score(
    options: dict[str, bool | int | float],
    sequences: list[TuneSequence],
    metric: str,
    classes: bool = False,
    evaluator: str = "builtin",
    benchmark: str = "MOT15",
) -> tuple[float, float, float]:
    """The metric over all sequences tracked with `options`, with the seconds spent tracking and
    evaluating. The tracks are scored as their results file would hold them (boxes to 2 decimals), so
    that `kelmora eval` on the output of `kelmora track --config best.json` gives the same value; they
    go to the evaluation as arrays, and the ground truth was read and checked once, before the trials."""
    chosen = evaluation.get_evaluator(evaluator)
    for module in chosen.preload:  # imported before the clock starts
        __import__(module)
    mode = benchmarks.BENCHMARKS[benchmark]
    per_sequence = {}
    tracking = evaluating = 0.0
    for seq in sequences:
        start = time.perf_counter()
        frames, ids, xyxy, scores, _ = track_rows(seq.dets, seq.n_frames, options, classes)
        res = mot_files.results_rows(frames, ids, xyxy, scores, f"{seq.name} results")
        middle = time.perf_counter()
        per_sequence[seq.name] = chosen.score(seq.gt, res, seq.n_frames, seq.name, mode, None)
        tracking += middle - start
        evaluating += time.perf_counter() - middle
    value = evaluation.figure(chosen.combine(per_sequence), metric)
    return float(value), tracking, evaluating


def quiet_libraries() -> None:
    import optuna

    # Optuna logs a failed trial as a warning with its traceback, and SQLAlchemy an interrupted query
    # as an error with its own; the command reports the failure as one line.
    optuna.logging.set_verbosity(optuna.logging.ERROR)
    logging.getLogger("sqlalchemy").setLevel(logging.CRITICAL)


def open_study(storage: Any, name: str, setup: Setup, sampler: Any = None) -> tuple[Any, Setup, bool]:
    """Creates the study, or joins it when it exists; returns (study, the study's setup, created).

    The creator records `setup` and queues the starting configuration as the first trial. A joiner
    checks that it tunes what the study tunes (see _check_join, and also queue_start_again).
    """
    import optuna

    try:
        study = optuna.create_study(storage=storage, study_name=name, direction="maximize", sampler=sampler)
    except optuna.exceptions.DuplicatedStudyError:
        study = optuna.load_study(study_name=name, storage=storage, sampler=sampler)
    else:
        study.set_user_attr(STUDY_ATTR, setup.to_json())
        study.enqueue_trial(_params(setup.start), user_attrs={"start": True})
        return study, setup, True
    found = _wait_for_setup(study)
    _check_join(name, found, setup)
    return study, found, False


# How refusals name the evaluators, and what switches from one to the other.
_EVALUATOR_NAMES = {"builtin": ("the built-in evaluator", "leave out"), "trackeval": ("TrackEval's classes", "add")}


def _check_join(name: str, found: Setup, setup: Setup) -> None:
    """UserError unless a command of `setup` may join the study `name` of `found`: the same metric,
    sequences (and, where the study records them, the same files, evaluator and search space),
    benchmark and class use, and the same starting configuration when the command gives one."""
    if found.metric != setup.metric:
        raise UserError(
            f"--study {name}: the study maximises {found.metric}, not {setup.metric}; "
            f"use --metric {found.metric} or another --study"
        )
    if found.sequences != setup.sequences:
        raise UserError(
            f"--study {name}: the study tunes the sequences {', '.join(found.sequences)}, "
            f"DATA holds {', '.join(setup.sequences)}; use another --study"
        )
    if found.data is not None and setup.data is not None:
        for seq in found.sequences:
            for kind, what in (("det", "detections"), ("gt", "ground truth")):
                recorded, here = found.data[seq][kind], setup.data[seq][kind]
                if recorded != here:
                    raise UserError(
                        f"--study {name}: the study tunes other {what} of sequence {seq} than DATA holds "
                        f"(sha256 {recorded[:12]} recorded, {here[:12]} in DATA); use another --study NAME"
                    )
    if found.benchmark != setup.benchmark:
        raise UserError(
            f"--study {name}: the study scores in benchmark {found.benchmark}, not {setup.benchmark}; "
            f"use --benchmark {found.benchmark} or another --study"
        )
    if found.classes != setup.classes:
        raise UserError(
            f"--study {name}: the study tracks {'with' if found.classes else 'without'} class ids; "
            f"{'add' if found.classes else 'leave out'} --classes or use another --study"
        )
    if setup.start and found.start != setup.start:
        raise UserError(
            f"--study {name}: the study started from {config.describe(found.start)}, not from "
            f"{config.describe(setup.start)}; join it without --config and --set, or use another --study"
        )
    if found.evaluator is not None and setup.evaluator is not None and found.evaluator != setup.evaluator:
        (recorded, switch), (here, _) = _EVALUATOR_NAMES[found.evaluator], _EVALUATOR_NAMES[setup.evaluator]
        raise UserError(
            f"--study {name}: the study scores with {recorded}, not {here}; "
            f"{switch} --trackeval or use another --study NAME"
        )
    # The space follows from the starting configuration and this version's SPACE: it differs only in a
    # study made by a version that searches other ranges.
    space = search_space(found.start)
    if found.space is not None and found.space != space:
        keys = [key for key in {**found.space, **space} if found.space.get(key) != space.get(key)]
        raise UserError(
            f"--study {name}: the study searches {_ranges(found.space, keys)}, not {_ranges(space, keys)}; "
            "use another --study NAME"
        )


def _ranges(space: dict[str, tuple[float, float]], keys: list[str]) -> str:
    """The ranges of `keys` in `space` for messages, as "max_age 5 to 120"; "max_age fixed" for one not
    searched."""
    return ", ".join(
        f"{key} {config.format_value(space[key][0])} to {config.format_value(space[key][1])}"
        if key in space
        else f"{key} fixed"
        for key in keys
    )


def queue_start_again(study: Any, setup: Setup) -> bool:
    """Queues the starting configuration again when no trial of it has completed, none waits in the
    queue and none runs: its trial was interrupted (FAIL), or lost with its process or storage and
    found stale. Returns whether it did; the caller then runs it first, as the creator does."""
    import optuna
    from optuna.trial import TrialState

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", optuna.exceptions.ExperimentalWarning)
        optuna.storages.fail_stale_trials(study)
    alive = (TrialState.COMPLETE, TrialState.WAITING, TrialState.RUNNING)
    if any(t.user_attrs.get("start") and t.state in alive for t in study.get_trials(deepcopy=False)):
        return False
    study.enqueue_trial(_params(setup.start), user_attrs={"start": True})
    return True


def _wait_for_setup(study: Any) -> Setup:
    deadline = time.monotonic() + JOIN_WAIT
    while True:
        data = study.user_attrs.get(STUDY_ATTR)
        if data is not None:
            return Setup.from_json(data)
        if time.monotonic() > deadline:
            raise UserError(f"--study {study.study_name}: not a study of kelmora tune (it records no metric)")
        time.sleep(0.2)


def _params(options: dict[str, bool | int | float]) -> dict[str, float | int]:
    # Booleans are never searched (search_space leaves them out).
    return {
        key: float(v) if isinstance(v := options.get(key, config.DEFAULTS[key]), float) else int(v)
        for key in search_space(options)
    }


def work(job: Job) -> int:
    """Runs `job.trials` trials of the study; runs in a worker process (or this one). Returns the
    number of trials run."""
    import optuna

    quiet_libraries()
    worker = f"{socket.gethostname()}:{os.getpid()}"
    with storage_at(job.url) as storage:
        study = optuna.load_study(
            study_name=job.study, storage=storage, sampler=optuna.samplers.TPESampler(seed=job.seed)
        )
        setup = _wait_for_setup(study)

        def objective(trial: Any) -> float:
            # Ctrl-C or SIGTERM interrupts the scoring, and Optuna marks the trial FAIL; anywhere else,
            # all of them storage calls, the stop waits for the call to end, and no trial starts after.
            options = suggest(trial, setup.start)
            with stopping.interruptible():
                value, tracking, evaluating = score(
                    options, job.sequences, setup.metric, setup.classes, job.evaluator, setup.benchmark
                )
            attrs = {"options": options, "tracking_seconds": tracking, "evaluation_seconds": evaluating}
            set_user_attrs(study, trial, {**attrs, "worker": worker})
            return value

        def stop_if_asked(study: Any, trial: Any) -> None:
            if stopping.stop_requested():
                study.stop()

        with stopping.deferred_stop():
            study.optimize(
                objective,
                n_trials=job.trials,
                gc_after_trial=False,
                callbacks=[stop_if_asked],
                show_progress_bar=job.progress_bar and sys.stderr.isatty(),
            )
    return job.trials


def _finished(study: Any) -> int:
    from optuna.trial import TrialState

    return len(study.get_trials(deepcopy=False, states=(TrialState.COMPLETE, TrialState.PRUNED, TrialState.FAIL)))


def run_jobs(jobs: list[Job], study: Any, total: int) -> None:
    """Runs the jobs (in this process when there is one) while a bar counts the trials they finish.
    Ctrl-C, SIGTERM or a failed job ends the workers at once, their running trials marked FAIL."""
    if len(jobs) == 1:
        work(dataclasses.replace(jobs[0], progress_bar=True))
        return
    from concurrent.futures import FIRST_EXCEPTION, wait

    initial = _finished(study)
    preload = [__name__, "optuna", *evaluation.get_evaluator(jobs[0].evaluator).preload]
    with workers.worker_pool(len(jobs), preload) as pool:
        futures = [pool.submit(work, job) for job in jobs]

        def ticks() -> Iterator[None]:
            shown = 0
            while True:
                done, pending = wait(futures, timeout=0.5, return_when=FIRST_EXCEPTION)
                with stopping.deferred_stop():  # a query is not interrupted half-way
                    now = min(_finished(study) - initial, total) if pending else total
                for _ in range(now - shown):
                    yield None
                shown = now
                if not pending or any(f.exception() is not None for f in done):
                    return

        for _ in progress(ticks(), total=total, desc="trials"):
            pass
        for future in futures:
            future.result()


def split(trials: int, workers: int) -> list[int]:
    """`trials` shared out over at most `workers` processes, the first ones taking the remainder."""
    workers = max(1, min(workers, trials))
    return [trials // workers + (i < trials % workers) for i in range(workers)]


def load_sequences(data: pathlib.Path, benchmark: str | None = None) -> tuple[list[TuneSequence], str]:
    """Detections and ground truth of every sequence of DATA, read and checked here, once, with the
    digests of their files, and the benchmark they are scored in (`benchmark`, else the one their
    names say)."""
    out = []
    found = find_sequences(data, need="det")
    mode = benchmarks.choose(benchmark, [seq.name for seq in found])
    for seq in found:
        if seq.gt_path is None:
            where = seq.folder if seq.folder is not None else seq.det_path
            raise UserError(f"{where}: no gt/gt.txt to score against; tuning needs ground truth")
        assert seq.det_path is not None
        det_text, gt_text = mot_files.read_bytes(seq.det_path), mot_files.read_bytes(seq.gt_path)
        dets = mot_files.parse_mot(det_text, str(seq.det_path))
        if len(dets) == 0:
            raise UserError(f"{seq.det_path}: no detections (the file is empty)")
        gt = mot_files.parse_mot(gt_text, str(seq.gt_path), "gt")
        n_frames = sequence_length(dets, seq.length)
        if seq.length is None:
            n_frames = max(n_frames, int(gt.frames.max(initial=0)))
        evaluation.check_ground_truth(gt, n_frames, mode)
        files = (seq.det_path, seq.gt_path, *([seq.info_path] if seq.info_path is not None else []))
        digests = {"det": hashlib.sha256(det_text).hexdigest(), "gt": hashlib.sha256(gt_text).hexdigest()}
        out.append(TuneSequence(seq.name, dets, gt, n_frames, len(det_text) + len(gt_text), files, digests))
    return out, mode.name


@dataclasses.dataclass(frozen=True)
class TuneSettings:
    """What `kelmora tune` was asked to do."""

    data: pathlib.Path
    trials: int
    out: pathlib.Path  # best.json
    metric: str = "HOTA"
    storage: str | None = None  # an Optuna storage URL; None: an SQLite file beside `out`
    study: str | None = None  # None: kelmora-<DATA folder name>-<metric>
    workers: int | None = None  # None: decided by the job's size
    seed: int | None = None
    config: pathlib.Path | None = None  # the starting configuration's file
    set: tuple[str, ...] = ()  # KEY=VALUE items over it
    classes: bool = False
    benchmark: str | None = None  # None: the one the sequence names say
    evaluator: str = "builtin"


def _print(line: str) -> None:
    print(line, flush=True)


def tune(settings: TuneSettings, say: Callable[[str], None] = _print) -> None:
    """Runs `settings.trials` trials of the study (created, or joined when it exists) and writes its
    best configuration to `settings.out`; `say` hears the lines of the report as they come.

    Raises: UserError naming the file, option or study at fault.
    """
    quiet_libraries()
    start_options = config.tracker_options(settings.config, list(settings.set))
    url = settings.storage if settings.storage is not None else study_storage.default_storage(settings.out)
    study_storage.check_storage(study_storage.parse_storage_url(url), settings.out)
    sequences, mode = load_sequences(settings.data, settings.benchmark)
    outputs.check_outputs([("--out", settings.out)], [settings.config, *(p for s in sequences for p in s.files)])
    name = settings.study or f"kelmora-{settings.data.resolve().name}-{settings.metric}"
    if not settings.out.parent.is_dir():
        raise UserError(f"--out {settings.out}: no folder {settings.out.parent}")
    setup = Setup(
        settings.metric,
        start_options,
        [s.name for s in sequences],
        settings.classes,
        mode,
        {s.name: s.digests for s in sequences},
        settings.evaluator,
        search_space(start_options),
    )
    with study_storage.storage_at(url) as storage:
        _run_study(settings, storage, url, name, setup, sequences, say)


def _run_study(
    settings: TuneSettings,
    storage: Any,
    url: str,
    name: str,
    setup: Setup,
    sequences: list[TuneSequence],
    say: Callable[[str], None],
) -> None:
    study, setup, created = open_study(storage, name, setup)
    evaluator = settings.evaluator
    again = not created and queue_start_again(study, setup)
    runs_start = created or again
    remaining = settings.trials - 1 if runs_start else settings.trials
    n_workers = (
        settings.workers
        if settings.workers is not None
        else parallel.default_workers(sum(s.size for s in sequences) * settings.trials)
    )
    shares = split(remaining, n_workers) if remaining else []
    first_seed = settings.seed
    jobs = [
        Job(
            url,
            name,
            n,
            None if first_seed is None else (first_seed + i) % SEED_LIMIT,
            sequences,
            evaluator=evaluator,
        )
        for i, n in enumerate(shares)
    ]
    frames = sum(s.n_frames for s in sequences)
    # The benchmark is named where it decides which rows count: MOT15 counts every considered row.
    mode = benchmarks.BENCHMARKS[setup.benchmark]
    scored = f" in {mode.describe()}" if mode.preprocessed else ""
    trials = settings.trials
    say(
        f"kelmora tune: study {name} in {study_storage.shown_url(url)} ({'new' if created else 'joined'}), "
        f"{len(sequences)} sequence{'s' * (len(sequences) != 1)} ({frames} frames), {setup.metric}{scored}; "
        f"{trials} trial{'s' * (trials != 1)} on "
        f"{'this process' if len(jobs) <= 1 else f'{len(jobs)} local processes'}"
    )
    say(
        f"  starting configuration: {config.describe(setup.start)}"
        f"{' (again: no trial of it has finished)' if again else ''}"
    )
    began = time.perf_counter()
    if runs_start:
        # The starting configuration, queued, runs here before any worker starts: SQLite cannot
        # guarantee that exactly one of several processes takes a queued trial.
        work(Job(url, name, 1, first_seed, sequences, evaluator=evaluator))
    if jobs:
        run_jobs(jobs, study, remaining)
    wall = time.perf_counter() - began
    _report(settings, study, setup, wall, say)


def _report(settings: TuneSettings, study: Any, setup: Setup, wall: float, say: Callable[[str], None]) -> None:
    from optuna.trial import TrialState

    trials = study.get_trials(deepcopy=False, states=(TrialState.COMPLETE,))
    if not trials:
        raise UserError(f"--study {study.study_name}: no trial has finished yet")
    best = max(trials, key=lambda t: (t.value, -t.number))
    best_options = {
        key: best.user_attrs["options"][key] for key in config.DEFAULTS if key in best.user_attrs["options"]
    }
    outputs.write_file(settings.out, json.dumps(best_options, indent=2) + "\n")
    metric = setup.metric
    starts = [t for t in trials if t.user_attrs.get("start")]
    if starts:
        before = starts[0].value
        say(f"  {metric} before: {before:.4f} (starting configuration, trial {starts[0].number})")
    else:
        before = None
        say(f"  {metric} before: not known yet (the starting configuration's trial has not finished)")
    change = f", {best.value - before:+.4f}" if before is not None else ""
    say(f"  {metric} after:  {best.value:.4f} (trial {best.number} of {len(trials)} finished{change})")
    tracking = [t.user_attrs.get("tracking_seconds", 0.0) for t in trials]
    evaluating = [t.user_attrs.get("evaluation_seconds", 0.0) for t in trials]
    say(
        f"  per trial: tracking {sum(tracking) / len(trials):.3f} s, evaluation "
        f"{sum(evaluating) / len(trials):.3f} s (means); this run {settings.trials} trials in {wall:.1f} s"
    )
    say(f"  best configuration -> {settings.out}: {config.describe(best_options)}")
