"""MOTChallenge files: reading rows with file:line errors, writing results, atomic writes, and finding the
sequences of a folder."""

from __future__ import annotations

import os
import re
import stat

import numpy as np
import pytest
from command_support import SYNTHETIC, make_sequence

from kelmora_tools import _native, dataset, mot_files, outputs
from kelmora_tools.errors import UserError


def test_parse_sorts_by_frame_and_reads_the_class_column():
    text = "# comment\n2,-1,10,20,30,40,0.9,2,-1,-1\n\n1 -1 1.5 2.5 3 4 0.25 -1 -1 -1\n1,-1,0,0,5,6,0.75,3,-1,-1\n"
    rows = mot_files.parse_mot(text, "d.txt")
    assert rows.frames.tolist() == [1, 1, 2]
    assert rows.ids.tolist() == [-1, -1, -1]
    assert rows.xyxy.tolist() == [[1.5, 2.5, 4.5, 6.5], [0, 0, 5, 6], [10, 20, 40, 60]]
    assert rows.conf.tolist() == [0.25, 0.75, 0.9]
    assert rows.class_ids.tolist() == [-1, 3, 2]
    assert rows.lines.tolist() == [4, 5, 2]
    assert rows.where(2) == "d.txt:2"
    assert rows.xyxy.flags.c_contiguous and rows.xyxy.dtype == np.float64


def test_short_rows_default_conf_and_class():
    rows = mot_files.parse_mot("3,7,1,2,3,4\n4,7,1,2,3,4,0.5\n")
    assert rows.conf.tolist() == [1.0, 0.5]
    assert rows.class_ids.tolist() == [-1, -1]
    assert len(mot_files.parse_mot("\n# nothing\n")) == 0


@pytest.mark.parametrize(
    "line, message",
    [
        ("1,2,3,4,5", "x:2: expected 6 to 10 values (frame, id, left, top, width, height, ...), got 5"),
        ("1,2,3,4,5,6,7,8,9,10,11", "x:2: expected 6 to 10 values (frame, id, left, top, width, height, ...), got 11"),
        ("1,1,0,0,one,1", "x:2: not a number: 'one'"),
        ("0,1,0,0,1,1", "x:2: frame must be a whole number from 1 to 10000000, got 0"),
        ("1.5,1,0,0,1,1", "x:2: frame must be a whole number from 1 to 10000000, got 1.5"),
        ("1e9,1,0,0,1,1", "x:2: frame must be a whole number from 1 to 10000000, got 1e9"),
        ("1,2.5,0,0,1,1", "x:2: id must be a whole number, got 2.5"),
        ("1,1,nan,0,1,1", "x:2: box left and top must be finite numbers"),
        ("1,1,0,inf,1,1", "x:2: box left and top must be finite numbers"),
        ("1,1,0,0,-1,1", "x:2: box width and height must be finite and >= 0, got -1 and 1"),
        ("1,1,0,0,1,-0.5", "x:2: box width and height must be finite and >= 0, got 1 and -0.5"),
        ("1,1,0,0,nan,1", "x:2: box width and height must be finite and >= 0, got nan and 1"),
        ("1,1,0,0,1,NaN", "x:2: box width and height must be finite and >= 0, got 1 and NaN"),
        ("1,1,0,0,1,inf", "x:2: box width and height must be finite and >= 0, got 1 and inf"),
        ("1,1,0,0,1,1,0.9,2.5", "x:2: class id (8th value) must be a whole number below 2**31, got 2.5"),
        ("1,1,0,0,1,1,0.9,3e9", "x:2: class id (8th value) must be a whole number below 2**31, got 3e9"),
        ("1,1,0,0,1,1,inf", "x:2: score (7th value) must not be infinite, got inf"),
        (
            "1,1,1e308,0,1e308,1",
            "x:2: box right and bottom edges (left + width, top + height) must be finite numbers, "
            "got 1e308 wide from 1e308 and 1 high from 0",
        ),
        # A field of a megabyte is quoted to its first 40 characters.
        ("1" * 10**6 + ",1,0,0,1,1", "x:2: frame must be a whole number from 1 to 10000000, got " + "1" * 40 + "..."),
        (
            "1,1,0,0,1,-" + "9" * 10**6,
            "x:2: box width and height must be finite and >= 0, got 1 and -" + "9" * 39 + "...",
        ),
        ("1,1,0,0,1,1,0.5," + "x" * 10**6, "x:2: not a number: '" + "x" * 40 + "...'"),
    ],
)
def test_malformed_rows_name_the_line(line, message):
    with pytest.raises(UserError) as error:
        mot_files.parse_mot("1,-1,0,0,1,1,0.5\n" + line + "\n", "x")
    assert str(error.value) == message


def test_read_mot_missing_folder_and_empty_files(tmp_path):
    with pytest.raises(UserError, match=re.escape(f"{tmp_path / 'no.txt'}: no such file")):
        mot_files.read_mot(tmp_path / "no.txt")
    with pytest.raises(UserError, match="is a folder, expected a file"):
        mot_files.read_mot(tmp_path)
    empty = tmp_path / "empty.txt"
    empty.write_text("\n# only a comment\n")
    assert len(mot_files.read_mot(empty)) == 0
    with pytest.raises(UserError, match=re.escape(f"{empty}: no rows (the file is empty)")):
        mot_files.read_mot(empty, allow_empty=False)


def test_results_text_and_round_trip():
    frames, ids = np.array([1, 1, 2]), np.array([3, 4, 3])
    xyxy = np.array([[10.0, 20.0, 40.5, 60.25], [-0.001, 5.0, 7.0, 9.0], [11.0, 21.0, 41.0, 61.0]])
    scores = np.array([0.9, 0.55, 0.125])
    text = mot_files.format_results(frames, ids, xyxy, scores)
    assert text.splitlines() == [
        "1,3,10.00,20.00,30.50,40.25,0.9000,-1,-1,-1",
        "1,4,0.00,5.00,7.00,4.00,0.5500,-1,-1,-1",  # -0.001 rounds to 0.00, not -0.00
        "2,3,11.00,21.00,30.00,40.00,0.1250,-1,-1,-1",
    ]
    back = mot_files.parse_mot(text)
    assert back.frames.tolist() == [1, 1, 2] and back.ids.tolist() == [3, 4, 3]
    assert np.allclose(back.xyxy, xyxy, rtol=0, atol=0.005)
    assert back.conf.tolist() == [0.9, 0.55, 0.125]
    assert mot_files.format_results(np.zeros(0), np.zeros(0), np.zeros((0, 4)), np.zeros(0)) == ""


def test_write_results_replaces_the_file_whole(tmp_path):
    path = tmp_path / "seq.txt"
    path.write_text("old\n")
    mot_files.write_results(path, np.array([1]), np.array([2]), np.array([[0.0, 0.0, 2.0, 3.0]]), np.array([0.5]))
    assert path.read_text() == "1,2,0.00,0.00,2.00,3.00,0.5000,-1,-1,-1\n"
    assert os.listdir(tmp_path) == ["seq.txt"]
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(path.stat().st_mode) == 0o666 & ~umask


def test_atomic_write_keeps_the_old_file_when_the_block_fails(tmp_path):
    path = tmp_path / "out.png"
    path.write_text("complete")
    seen = []
    with pytest.raises(KeyboardInterrupt):
        with outputs.atomic_file(path) as tmp:
            seen.append(tmp)
            assert tmp.parent == tmp_path and tmp.name.startswith(".") and tmp.suffix == ".png"
            tmp.write_text("half")
            raise KeyboardInterrupt
    assert path.read_text() == "complete"
    assert not seen[0].exists() and os.listdir(tmp_path) == ["out.png"]
    with outputs.atomic_file(tmp_path / "new.txt") as tmp:
        assert not (tmp_path / "new.txt").exists()
        tmp.write_text("done")
    assert (tmp_path / "new.txt").read_text() == "done"


def test_sequence_folder_det_file_and_dataset_root(tmp_path):
    seq = tmp_path / "root" / "MOT-X"
    make_files = make_sequence.make_sequence(frames=5, seed=1, name="Named")
    make_sequence.write_sequence(seq, make_files)
    for source in (seq, seq / "det" / "det.txt", tmp_path / "root"):
        [found] = dataset.find_sequences(source)
        assert (found.name, found.det_path, found.gt_path, found.length, found.image_size) == (
            "Named",
            seq / "det" / "det.txt",
            seq / "gt" / "gt.txt",
            5,
            (1280, 720),
        )
    [by_gt] = dataset.find_sequences(seq / "gt" / "gt.txt", need="gt")
    assert (by_gt.name, by_gt.det_path) == ("Named", seq / "det" / "det.txt")
    loose = tmp_path / "mine.txt"
    loose.write_text("1,-1,0,0,1,1,0.9\n")
    [found] = dataset.find_sequences(loose)
    assert (found.name, found.folder, found.gt_path, found.length, found.image_size) == ("mine", None, None, None, None)


def test_dataset_sequences_come_sorted_and_other_folders_are_skipped(tmp_path):
    for folder, name in (("b", "zeta"), ("a", "alpha")):
        make_sequence.write_sequence(tmp_path / folder, make_sequence.make_sequence(frames=3, seed=2, name=name))
    (tmp_path / "seqmaps").mkdir()
    assert [s.name for s in dataset.find_sequences(tmp_path)] == ["alpha", "zeta"]


@pytest.mark.parametrize(
    "layout, message",
    [
        ({}, "{root}: neither a sequence folder (with det/det.txt) nor a dataset of them"),
        ({"s/gt/gt.txt": "1,1,0,0,1,1,1\n"}, "{root}/s/det/det.txt: no such file"),
        (
            {"s/seqinfo.ini": "[Sequence]\nseqLength=ten\n", "s/det/det.txt": ""},
            "{root}/s/seqinfo.ini: seqlength must be a whole number >= 1, got 'ten'",
        ),
        ({"s/seqinfo.ini": "no section header\n", "s/det/det.txt": ""}, "{root}/s/seqinfo.ini: not an ini file: "),
        (
            {"s/seqinfo.ini": "[Sequence]\nseqLength=999999999\n", "s/det/det.txt": ""},
            "{root}/s/seqinfo.ini: seqlength must be at most 10000000 (the largest frame number a row may hold), "
            "got 999999999",
        ),
        (
            {"s/seqinfo.ini": "[Sequence]\nname=../up\n", "s/det/det.txt": ""},
            "{root}/s/seqinfo.ini: sequence name '../up' cannot be a file name",
        ),
        (
            # Escaped and cut, never printed raw.
            {"s/seqinfo.ini": "[Sequence]\nname=\x1b[2J" + "x" * 5000 + "\n", "s/det/det.txt": ""},
            "{root}/s/seqinfo.ini: sequence name '\\x1b[2J" + "x" * 36 + "' cannot be a file name",
        ),
        (
            {"s/seqinfo.ini": "[Sequence]\nframeRate=inf\n", "s/det/det.txt": ""},
            "{root}/s/seqinfo.ini: frameRate must be a positive number, got inf",
        ),
        (
            {
                "a/seqinfo.ini": "[Sequence]\nname=same\n",
                "a/det/det.txt": "",
                "b/seqinfo.ini": "[Sequence]\nname=same\n",
                "b/det/det.txt": "",
            },
            "{root}/b: sequence name 'same' is also the name of {root}/a",
        ),
    ],
)
def test_dataset_errors(tmp_path, layout, message):
    root = tmp_path / "root"
    root.mkdir()
    for rel, text in layout.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_text(text)
    with pytest.raises(UserError) as error:
        dataset.find_sequences(root)
    assert str(error.value).startswith(message.format(root=root))


def test_missing_data_path(tmp_path):
    with pytest.raises(UserError, match=re.escape(f"{tmp_path / 'nope'}: no such file or folder")):
        dataset.find_sequences(tmp_path / "nope")


def test_generator_is_deterministic_and_matches_committed_data():
    short = make_sequence.make_sequence(frames=40, seed=3)
    assert short == make_sequence.make_sequence(frames=40, seed=3)
    assert short["det/det.txt"] != make_sequence.make_sequence(frames=40, seed=4)["det/det.txt"]
    assert "name=other\n" in make_sequence.make_sequence(frames=4, seed=3, name="other")["seqinfo.ini"]
    for rel, text in make_sequence.make_sequence().items():
        assert (SYNTHETIC / rel).read_text() == text, rel


TOKENS = [
    "1",
    "2",
    "0",
    "-1",
    "3.5",
    "1e300",
    "-1e300",
    "1e-300",
    "nan",
    "inf",
    "-inf",
    "",
    "x",
    "0x10",
    "1_0",
    "99999999999",
    "7",
    "0.9",
    "-0.0",
    "1e9",
]


@pytest.mark.parametrize("seed", range(4))
def test_random_rows_are_read_tracked_and_scored_or_refused_as_user_errors(seed):
    # Whatever the rows hold, the tools answer with results or with a UserError, never another exception.
    from kelmora_tools import evaluation, tracking

    rng = np.random.default_rng(seed)
    outcomes = set()
    for _ in range(150):
        lines = []
        for _ in range(rng.integers(1, 6)):
            # A plausible row with, now and then, one value replaced or the row cut short or made long.
            fields = [
                str(rng.integers(1, 4)),
                str(rng.integers(0, 3)),
                f"{rng.uniform(0, 99):.1f}",
                f"{rng.uniform(0, 99):.1f}",
                f"{rng.uniform(1, 40):.1f}",
                f"{rng.uniform(1, 40):.1f}",
                f"{rng.uniform(0, 1):.2f}",
                str(rng.integers(-1, 3)),
            ]
            if rng.random() < 0.3:
                fields[rng.integers(0, len(fields))] = str(rng.choice(TOKENS))
            if rng.random() < 0.1:
                fields = fields[: rng.integers(3, 9)] + ["1"] * rng.integers(0, 5)
            lines.append(",".join(fields))
        text = "\n".join(lines) + "\n"
        try:
            result = tracking.track_task(tracking.TrackTask("s", text, "d.txt", None, {}))
            evaluation.eval_task(evaluation.EvalTask("s", text, "g.txt", result.text, "r.txt", None))
            outcomes.add("scored")
        except UserError as e:
            assert "\n" not in str(e) and str(e).split(":")[0] in ("d.txt", "g.txt", "r.txt")
            outcomes.add("refused")
    assert outcomes == {"scored", "refused"}


# Lines of every shape the two readers must agree on: plain and other numbers, blanks and commas in
# odd places, comments (with text outside ASCII, invalid UTF-8, or a character str.splitlines ends a
# line at), a leading byte order mark, CRLF, bytes outside ASCII, too few or too many values.
_FIELDS = [
    "1",
    "2",
    "-1",
    "+3",
    "0.5",
    "-0.25",
    ".5",
    "5.",
    "007",
    "12345678901234567890.5",
    "1e3",
    "nan",
    "inf",
    "-0",
    "x",
    "1.2.3",
    "--1",
    "1-2",
    "#",
    "",
    "\u00e9",
    "1_0",
]
_SEPARATORS = [",", ", ", " ", "\t", ",,", " , "]


@pytest.mark.parametrize("seed", range(6))
def test_array_reader_equals_the_row_by_row_reader(seed):
    rng = np.random.default_rng(seed)
    for _ in range(300):
        lines = []
        for _ in range(rng.integers(1, 5)):
            n = int(rng.choice([6, 6, 7, 8, 9, 10, 5, 11]))
            fields = [str(rng.integers(1, 5)), str(rng.integers(0, 3))] + [
                f"{rng.uniform(0, 99):.2f}" for _ in range(n - 2)
            ]
            if rng.random() < 0.4:
                fields[rng.integers(0, n)] = str(rng.choice(_FIELDS))
            line = "".join(f + str(rng.choice(_SEPARATORS)) for f in fields[:-1]) + fields[-1]
            comment = str(rng.choice(["# ", "# caf\u00e9 ", "\t#\udcff", "#\u2028", "#\x85", "# \x0c", "\u3000#"]))
            shape = rng.integers(0, 8)
            line = [comment + line, "  " + line, line + ",", ", " + line, line + " ,", line + "\r", line, line][shape]
            lines.append(line)
        text = ("\r\n" if rng.random() < 0.2 else "\n").join(lines) + rng.choice(["", "\n"])
        text = str(rng.choice(["", "", "\ufeff", "\ufeff\ufeff", "\ufeff#\n"])) + text
        # As text (encoded with its lone surrogates) or as a file's bytes (\udcff an invalid byte).
        data = text if rng.random() < 0.5 else text.encode("utf-8", "surrogateescape")
        decoded = text if isinstance(data, str) else data.decode("utf-8", "replace")
        outcome = []
        for read in (
            lambda: mot_files.parse_mot(data, "f"),
            lambda: mot_files.rows_from_table(*mot_files._parse_rows(decoded, "f", "det"), "f"),
        ):
            try:
                rows = read()
                outcome.append(
                    [getattr(rows, k).tobytes() for k in ("frames", "ids", "xyxy", "conf", "class_ids", "lines")]
                )
            except UserError as e:
                outcome.append(str(e))
        assert outcome[0] == outcome[1], text


@pytest.mark.parametrize(
    "head, native",
    [(b"\xef\xbb\xbf", True), (b"# caf\xc3\xa9 \xff\n", True), (b"#\xe2\x80\xa8", False), (b"\xc2\xa0#\n", False)],
)
def test_a_bom_and_comments_with_any_bytes_stay_on_the_array_reader(head, native):
    assert (_native.read_plain_rows(head + b"1,2,3,4,5,6\n") is not None) == native


@pytest.mark.parametrize("seed", range(3))
def test_results_writer_equals_python_formatting(seed):
    rng = np.random.default_rng(seed)
    n = 2000
    scale = rng.choice([1.0, 1e-3, 1e6, 1e13], size=(n, 1))
    xyxy = np.sort(rng.normal(0, 1, (n, 4)) * scale, axis=1)[:, [0, 1, 2, 3]]
    xyxy[:50] = np.round(xyxy[:50], 3) + 0.005  # halves at the rounding digit
    xyxy[50:60] = -0.0
    scores = rng.uniform(-1, 1, n)
    scores[:20] = 0.00005 * np.arange(20)
    frames, ids = rng.integers(1, 10**6, n), rng.integers(-5, 2**31, n)
    xywh, conf = mot_files.results_values(xyxy, scores)
    want = "".join(
        f"{f},{i},{b[0]:.2f},{b[1]:.2f},{b[2]:.2f},{b[3]:.2f},{c:.4f},-1,-1,-1\n"
        for f, i, b, c in zip(frames.tolist(), ids.tolist(), xywh.tolist(), conf.tolist())
    )
    assert mot_files.format_results(frames, ids, xyxy, scores) == want
    back = mot_files.parse_mot(want, kind="results")
    assert (
        back.xyxy.tobytes()
        == mot_files.results_rows(frames, ids, xyxy, scores).xyxy[np.argsort(frames, kind="stable")].tobytes()
    )
