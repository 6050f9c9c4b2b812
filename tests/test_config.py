"""Tracker options: the JSON configuration file, --set items over it, and TrackerConfig's checks."""

from __future__ import annotations

import json

import pytest

import kelmora_cpp
from kelmora_tools import config
from kelmora_tools.errors import UserError


def test_defaults_table_is_trackerconfigs():
    # The eight readable defaults agree, and TrackerConfig takes exactly these keywords.
    made = kelmora_cpp.TrackerConfig(**config.DEFAULTS)
    for key in (
        "high_score_thresh",
        "low_score_thresh",
        "match_iou_thresh",
        "recovery_iou_thresh",
        "new_track_thresh",
        "kf_noise_scale",
        "n_init",
        "max_age",
    ):
        assert getattr(made, key) == config.DEFAULTS[key] == getattr(kelmora_cpp.TrackerConfig(), key)
    with pytest.raises(TypeError):
        kelmora_cpp.TrackerConfig(**config.DEFAULTS, extra=1)


def test_file_then_set_items_over_it(tmp_path):
    path = tmp_path / "best.json"
    path.write_text(json.dumps({"high_score_thresh": 0.6, "n_init": 2, "class_aware": False, "w_app": 0}))
    options = config.tracker_options(path, ["n_init=4", "use_lapjv=true", "max_age=50", "match_iou_thresh=1"])
    assert options == {
        "high_score_thresh": 0.6,
        "n_init": 4,
        "class_aware": False,
        "w_app": 0.0,
        "use_lapjv": True,
        "max_age": 50,
        "match_iou_thresh": 1.0,
    }
    assert [type(options[k]) for k in ("n_init", "w_app", "use_lapjv", "match_iou_thresh")] == [int, float, bool, float]
    assert config.tracker_options(None, []) == {}
    tracker = config.make_tracker(options)
    assert isinstance(tracker, kelmora_cpp.ByteTracker) and tracker.frame_index == -1


@pytest.mark.parametrize(
    "items, message",
    [
        (["n_init=0"], "--set n_init=0: n_init must be >= 1"),
        (
            ["high_score_thresh=0.05"],
            "--set high_score_thresh=0.05: require 0 <= low_score_thresh <= high_score_thresh <= 1",
        ),
        (["use_gmc=true"], "--set use_gmc=true: use_gmc is not ported in Phase 1"),
        (["max_age=3", "max_age=0"], "--set max_age=0: max_age must be >= 1"),
        (["w_iou=-1"], "--set w_iou=-1: cost weights must be non-negative"),
        (
            ["colour=red"],
            "--set colour=red: unknown tracker option 'colour'; the TrackerConfig keywords are high_score_thresh,",
        ),
        (["n_init=2.5"], "--set n_init=2.5: n_init must be a whole number, got '2.5'"),
        (["use_giou=maybe"], "--set use_giou=maybe: use_giou must be true or false, got 'maybe'"),
        (["w_app=lots"], "--set w_app=lots: w_app must be a number, got 'lots'"),
        (["max_age"], "--set expects KEY=VALUE, got 'max_age'"),
        (["=3"], "--set expects KEY=VALUE, got '=3'"),
        (
            ["max_age=99999999999"],
            "--set max_age=99999999999: max_age must be a whole number from -2147483648 to 2147483647, got 99999999999",
        ),
        (["ocm_delta_t=-2147483649"], "--set ocm_delta_t=-2147483649: ocm_delta_t must be a whole number from"),
    ],
)
def test_set_items_refused_with_the_option_named(items, message):
    with pytest.raises(UserError) as error:
        config.tracker_options(None, items)
    assert str(error.value).startswith(message)
    assert "\n" not in str(error.value)


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"n_init": 0}', "{path}: n_init must be >= 1"),
        ('{"n_init": 2.0}', "{path}: n_init must be a whole number, got 2.0"),
        ('{"n_init": true}', "{path}: n_init must be a whole number, got True"),
        ('{"class_aware": 1}', "{path}: class_aware must be true or false, got 1"),
        ('{"w_iou": "1"}', "{path}: w_iou must be a number, got '1'"),
        ('{"speed": 1}', "{path}: unknown tracker option 'speed'"),
        ("[1, 2]", "{path}: expected a JSON object of TrackerConfig keywords"),
        ('{"n_init": 2,\n  "max_age" 3}', "{path}:2: not JSON: Expecting ':' delimiter"),
        (
            '{"max_age": 4294967296}',
            "{path}: max_age must be a whole number from -2147483648 to 2147483647, got 4294967296",
        ),
        (
            '{"w_iou": 1' + "0" * 400 + "}",
            "{path}: w_iou must be a finite number, got 100000000000000000...0000000000000000000",
        ),
        ('{"w_iou": 1' + "0" * 5000 + "}", "{path}: not JSON that can be read: a number of more than 4300 digits"),
        ('{"w_iou": ' + "[" * 100_000 + "]" * 100_000 + "}", "{path}: not JSON that can be read: nested too deeply"),
        ('{"w_iou": ' + "[" * 500 + "]" * 500 + "}", "{path}: w_iou must be a number, got [[[...]]]"),
    ],
)
def test_config_file_refused_with_the_file_named(tmp_path, text, message):
    path = tmp_path / "c.json"
    path.write_text(text)
    with pytest.raises(UserError) as error:
        config.tracker_options(path, [])
    assert str(error.value).startswith(message.format(path=path)) and len(str(error.value)) < 400


def test_missing_config_file(tmp_path):
    with pytest.raises(UserError, match="c.json: no such file$"):
        config.tracker_options(tmp_path / "c.json", [])


def test_describe():
    assert config.describe({}) == "defaults"
    assert (
        config.describe({"n_init": 2, "class_aware": False, "w_iou": 0.123456789})
        == "n_init=2, class_aware=false, w_iou=0.123457"
    )
