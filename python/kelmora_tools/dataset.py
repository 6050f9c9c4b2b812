"""MOTChallenge folders: a sequence folder (det/det.txt, gt/gt.txt, seqinfo.ini), a det.txt or gt.txt
file, or a dataset root whose subfolders are sequence folders."""

from __future__ import annotations

import configparser
import dataclasses
import pathlib

from kelmora_tools.errors import UserError
from kelmora_tools.mot_files import MAX_FRAME

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


def read_seqinfo(path: pathlib.Path) -> dict[str, str]:
    """The [Sequence] section of a seqinfo.ini, keys in lower case; {} without that section."""
    parser = configparser.ConfigParser(interpolation=None)
    try:
        parser.read_string(path.read_text(encoding="utf-8", errors="replace"), str(path))
    except OSError as e:
        raise UserError(f"{path}: cannot read: {e.strerror or e}") from None
    except configparser.Error as e:
        raise UserError(f"{path}: not an ini file: {str(e).splitlines()[0]}") from None
    return dict(parser["Sequence"]) if parser.has_section("Sequence") else {}


def _positive_int(info: dict[str, str], key: str, path: pathlib.Path, maximum: int | None = None) -> int | None:
    if key not in info:
        return None
    try:
        value = int(info[key])
    except ValueError:
        value = 0
    if value < 1:
        raise UserError(f"{path}: {key} must be a whole number >= 1, got {info[key]!r}")
    if maximum is not None and value > maximum:
        raise UserError(
            f"{path}: {key} must be at most {maximum} (the largest frame number a row may hold), got {value}"
        )
    return value


def _sequence(
    folder: pathlib.Path | None, det: pathlib.Path | None, gt: pathlib.Path | None, fallback_name: str
) -> Sequence:
    info: dict[str, str] = {}
    ini = folder / "seqinfo.ini" if folder is not None else None
    if ini is not None and ini.is_file():
        info = read_seqinfo(ini)
    name = (info.get("name") or "").strip() or fallback_name
    # The name becomes a file name (DIR/<name>.txt): no folders, nothing hidden.
    if "/" in name or "\\" in name or "\0" in name or name.startswith("."):
        raise UserError(
            f"{ini if ini is not None and ini.is_file() else fallback_name}: "
            f"sequence name {name!r} cannot be a file name"
        )
    if ini is not None and ini.is_file():
        length = _positive_int(info, "seqlength", ini, MAX_FRAME)
        width, height = _positive_int(info, "imwidth", ini), _positive_int(info, "imheight", ini)
    else:
        length, width, height = None, None, None
    size = (width, height) if width is not None and height is not None else None
    return Sequence(name, folder, det, gt, length, size)


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
    if data.is_file():
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
        if not (folder / rel).is_file():
            raise UserError(f"{folder / rel}: no such file")
        sequences.append(
            _sequence(folder, det if det.is_file() else None, gt if gt.is_file() else None, folder.resolve().name)
        )
    seen: dict[str, Sequence] = {}
    for seq in sequences:
        if seq.name in seen:
            raise UserError(f"{seq.folder}: sequence name {seq.name!r} is also the name of {seen[seq.name].folder}")
        seen[seq.name] = seq
    return sorted(sequences, key=lambda s: s.name)
