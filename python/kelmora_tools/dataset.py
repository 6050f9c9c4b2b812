"""MOTChallenge folders: a sequence folder (det/det.txt, gt/gt.txt, seqinfo.ini), a det.txt or gt.txt
file, or a dataset root whose subfolders are sequence folders."""

from __future__ import annotations

import configparser
import dataclasses
import math
import pathlib
import unicodedata

from kelmora_tools.errors import UserError, file_problem
from kelmora_tools.mot_files import MAX_FRAME, read_text

DET = pathlib.Path("det", "det.txt")
GT = pathlib.Path("gt", "gt.txt")


@dataclasses.dataclass(frozen=True)
class Sequence:
    name: str
    folder: pathlib.Path | None  # the sequence folder; None for a loose file
    det_path: pathlib.Path | None
    gt_path: pathlib.Path | None
    length: int | None  # seqLength of seqinfo.ini
    image_size: tuple[int, int] | None  # (imWidth, imHeight) of seqinfo.ini
    info_path: pathlib.Path | None = None  # the seqinfo.ini read, if any


# The largest imWidth and imHeight a seqinfo.ini may state: the largest side a JPEG file can have.
MAX_IMAGE_SIDE = 65535
# Fields of seqinfo.ini are quoted in messages up to this many characters.
QUOTED = 40


@dataclasses.dataclass(frozen=True)
class SeqInfo:
    """The [Sequence] section of a seqinfo.ini, checked; None for a field it does not state."""

    name: str | None  # a file name (see checked_name); None when absent or blank
    frame_rate: float | None  # frameRate, frames per second
    length: int | None  # seqLength, 1 to MAX_FRAME
    image_size: tuple[int, int] | None  # (imWidth, imHeight), each 1 to MAX_IMAGE_SIDE; None unless both


def checked_name(name: str, origin: object, fallback: str | None = None) -> str:
    """The name of a run's output files (DIR/<name>.txt, DIR/<name>.mp4, ...), from a file's content,
    a file or folder name or a URL: the one check every such name passes before it becomes part of a
    path. An empty name takes `fallback` (checked too).

    Raises: UserError naming `origin` when the name could leave the output folder, hide its files or
    rewrite the terminal that prints it: a '/', a '\\', a NUL or another control character in it, or a
    leading '.'. The name is quoted escaped and cut to QUOTED characters.
    """
    name = name.strip()
    if not name and fallback is not None:
        return checked_name(fallback, origin)
    if not name or any(c in "/\\" or unicodedata.category(c) == "Cc" for c in name) or name.startswith("."):
        raise UserError(f"{origin}: sequence name {name[:QUOTED]!r} cannot be a file name")
    return name


def read_seqinfo(path: pathlib.Path) -> SeqInfo:
    """The [Sequence] section of the seqinfo.ini at `path`, read as text (a % is a plain character)
    and checked: the one reader of the format.

    Raises: UserError naming the file and the field that cannot be used.
    """
    parser = configparser.ConfigParser(interpolation=None)
    try:
        parser.read_string(read_text(path, errors="replace"), str(path))
    except configparser.Error as e:
        raise UserError(f"{path}: not an ini file: {str(e).splitlines()[0][:200]}") from None
    info = dict(parser["Sequence"]) if parser.has_section("Sequence") else {}
    name = info.get("name", "").strip()
    width = _positive_int(info, "imwidth", path, MAX_IMAGE_SIDE, "the largest image side")
    height = _positive_int(info, "imheight", path, MAX_IMAGE_SIDE, "the largest image side")
    return SeqInfo(
        checked_name(name, path) if name else None,
        _frame_rate(info, path),
        _positive_int(info, "seqlength", path, MAX_FRAME, "the largest frame number a row may hold"),
        (width, height) if width is not None and height is not None else None,
    )


def _positive_int(info: dict[str, str], key: str, path: pathlib.Path, maximum: int, why: str) -> int | None:
    if key not in info:
        return None
    text = info[key].strip()
    digits = text.removeprefix("+")
    if digits.isascii() and digits.isdigit() and len(digits.lstrip("0")) > 18:
        value = maximum + 1  # beyond every bound, however many digits (int() refuses thousands)
    else:
        try:
            value = int(text)
        except ValueError:
            value = 0
    if value < 1:
        raise UserError(f"{path}: {key} must be a whole number >= 1, got {info[key][:QUOTED]!r}")
    if value > maximum:
        raise UserError(f"{path}: {key} must be at most {maximum} ({why}), got {text[:QUOTED]}")
    return value


def _frame_rate(info: dict[str, str], path: pathlib.Path) -> float | None:
    if "framerate" not in info:
        return None
    try:
        rate = float(info["framerate"])
    except ValueError:
        raise UserError(f"{path}: frameRate is not a number: {info['framerate'][:QUOTED]!r}") from None
    if not (math.isfinite(rate) and rate > 0):
        raise UserError(f"{path}: frameRate must be a positive number, got {rate:g}")
    return rate


def seqinfo_path(folder: pathlib.Path | None) -> pathlib.Path | None:
    """The seqinfo.ini of a sequence folder, when there is one: whatever it is, for read_seqinfo to
    refuse one that is not a regular file rather than pass over it."""
    ini = folder / "seqinfo.ini" if folder is not None else None
    return ini if ini is not None and ini.exists() else None


def _sequence(
    folder: pathlib.Path | None, det: pathlib.Path | None, gt: pathlib.Path | None, fallback_name: str
) -> Sequence:
    ini = seqinfo_path(folder)
    if ini is None:
        return Sequence(checked_name(fallback_name, fallback_name), folder, det, gt, None, None)
    info = read_seqinfo(ini)
    name = info.name or checked_name(fallback_name, ini)
    return Sequence(name, folder, det, gt, info.length, info.image_size, ini)


def _is_sequence_folder(folder: pathlib.Path) -> bool:
    return (folder / DET).is_file() or (folder / GT).is_file() or (folder / "seqinfo.ini").is_file()


def find_sequences(data: str | pathlib.Path, need: str = "det") -> list[Sequence]:
    """The sequences of DATA: a sequence folder, a det.txt (or gt.txt) file, or a dataset root.

    `need` is "det" (tracking) or "gt" (evaluation): that file must exist for every sequence found.
    Sequences come sorted by name; two with one name are an error.
    """
    data = pathlib.Path(data)
    rel = DET if need == "det" else GT
    if not data.exists():
        raise UserError(f"{data}: no such file or folder")
    if not data.is_dir():
        problem = file_problem(data)
        if problem is not None:
            raise UserError(f"{data}: {problem}")
        folder = data.parent.parent if data.parent.name == rel.parent.name else None
        other = (folder / (GT if need == "det" else DET)) if folder is not None else None
        other = other if other is not None and other.is_file() else None
        det, gt = (data, other) if need == "det" else (other, data)
        fallback = folder.resolve().name if folder is not None else data.stem
        return [_sequence(folder, det, gt, fallback)]
    if _is_sequence_folder(data):
        folders = [data]
    else:
        try:
            folders = sorted(p for p in data.iterdir() if p.is_dir() and _is_sequence_folder(p))
        except OSError as e:
            raise UserError(f"{data}: cannot list: {e.strerror or e}") from None
        if not folders:
            raise UserError(f"{data}: neither a sequence folder (with {rel}) nor a dataset of them")
    sequences = []
    for folder in folders:
        det, gt = folder / DET, folder / GT
        problem = file_problem(folder / rel)
        if problem is not None:
            raise UserError(f"{folder / rel}: {problem}")
        sequences.append(
            _sequence(folder, det if det.is_file() else None, gt if gt.is_file() else None, folder.resolve().name)
        )
    seen: dict[str, Sequence] = {}
    for seq in sequences:
        if seq.name in seen:
            raise UserError(f"{seq.folder}: sequence name {seq.name!r} is also the name of {seen[seq.name].folder}")
        seen[seq.name] = seq
    return sorted(sequences, key=lambda s: s.name)
