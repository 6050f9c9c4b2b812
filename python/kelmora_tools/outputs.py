"""The output files of a run, each put in place whole: a single file (atomic_file), or a set put in
place together (output_set).

Every output is written under a hidden name beside its final one and renamed over it only when
complete (publish, the one primitive of both), so that a failed or interrupted run leaves the
earlier file as it was, never half a file. A set is written into a hidden staging folder inside the
output folder and moved over the old files only when every one of them is complete: never a mix of
two runs. One run at a time may write into an output
folder: it holds a lock on the folder (an advisory lock on the folder itself, released by the
system when the process ends, however it ends). No output of a run may be a file the run reads
(check_outputs), and errors name the files as the user knows them, never the staging folder.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import pathlib
from collections.abc import Iterable, Iterator

from kelmora_tools import stopping
from kelmora_tools.errors import UserError

STAGING_PREFIX = ".kelmora-staging-"


def check_outputs(outputs: Iterable[tuple[str, pathlib.Path]], inputs: Iterable[pathlib.Path | None]) -> None:
    """The one check, run by every command before it writes anything, that no output replaces an
    input: `outputs` are (option, path) pairs, the option naming where the path comes from, and
    `inputs` the files the run reads (None entries are skipped). Files are compared as the files
    themselves (device and inode), so a symlink or a hard link to an input counts as the input.

    Raises: UserError naming the output, the input and the option.
    """
    existing: dict[tuple[int, int], tuple[str, pathlib.Path]] = {}
    for option, path in outputs:
        try:
            found = os.stat(path)
        except OSError:  # not there (or not reachable): it cannot be an input
            continue
        existing.setdefault((found.st_dev, found.st_ino), (option, path))
    if not existing:
        return  # no input needs a look: the usual first run into a new folder
    for read in inputs:
        if read is None:
            continue
        try:
            found = os.stat(read)
        except OSError:
            continue
        output = existing.get((found.st_dev, found.st_ino))
        if output is not None:
            raise UserError(f"{output[1]}: would replace the input {read}; choose another {output[0]}")


class Staging:
    """Where the files of a run are written before they are put in place."""

    def __init__(self, folder: pathlib.Path, staging: pathlib.Path) -> None:
        self.folder = folder
        self._staging = staging
        self._names: list[str] = []

    def path(self, name: str) -> pathlib.Path:
        """The staged path of the output file `name` (a plain file name in the output folder)."""
        if name in ("", ".", "..") or "/" in name or "\0" in name:
            raise UserError(f"{self.folder}: {name!r} cannot be the name of a file there")
        if name not in self._names:
            self._names.append(name)
        return self._staging / name

    def write(self, name: str, data: bytes | str) -> None:
        """Writes the output file `name` (text as UTF-8).

        Raises: UserError naming its final path when it cannot be written.
        """
        _write(self.path(name), data, self.folder / name)

    def commit(self) -> None:
        """Moves every staged file over its final name, in the order they were named. Ctrl-C or
        SIGTERM waits for the last rename: the set is put in place whole."""
        with stopping.deferred_stop():
            for name in self._names:
                staged = self._staging / name
                if staged.exists():
                    publish(staged, self.folder / name)


def publish(staged: pathlib.Path, final: pathlib.Path) -> None:
    """Puts a complete staged file in place: one rename over `final`, in its folder, which readers see
    whole or not at all.

    Raises: UserError naming `final` when it cannot be put there.
    """
    try:
        os.replace(staged, final)
    except OSError as e:
        raise UserError(f"{final}: cannot write: {e.strerror or e}") from None


def _write(path: pathlib.Path, data: bytes | str, final: pathlib.Path) -> None:
    """Writes `data` (text as UTF-8) to the staged file `path` of the output `final`, naming `final`
    when that fails."""
    try:
        with open(path, "wb") as file:
            file.write(data.encode("utf-8") if isinstance(data, str) else data)
    except OSError as e:
        raise UserError(f"{final}: cannot write: {e.strerror or e}") from None


@contextlib.contextmanager
def atomic_file(path: str | pathlib.Path) -> Iterator[pathlib.Path]:
    """Yields a staged path beside the output file `path`, published over `path` when the block
    completes; removed, leaving `path` untouched, when the block raises.

    The staged name is short (a file name that fits fits with it), starts with a dot, so that a
    half-written file never looks like a result, and keeps the suffix of `path`, so that writers that
    choose a format by suffix see the right one. Raises UserError naming `path` when its folder
    cannot take the file, and for an OSError of the block that names the staged file or no file
    (the block's write failed: a full disk, say).
    """
    path = pathlib.Path(path)
    suffix = path.suffix if len(path.suffix) <= 16 else ""
    tmp = path.parent / f".kelmora-{os.urandom(6).hex()}.tmp{suffix}"
    try:
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except OSError as e:
        raise UserError(f"{path}: cannot write: {e.strerror or e}") from None
    os.close(fd)
    try:
        yield tmp
        publish(tmp, path)
    except BaseException as e:
        tmp.unlink(missing_ok=True)
        # A write to the staged file that fails names no file (a full disk), or the staged one.
        if isinstance(e, OSError) and (e.filename is None or str(e.filename) == str(tmp)):
            raise UserError(f"{path}: cannot write: {e.strerror or e}") from None
        raise


def write_file(path: str | pathlib.Path, data: bytes | str) -> None:
    """Writes the output file `path` whole (text as UTF-8), through atomic_file."""
    path = pathlib.Path(path)
    with atomic_file(path) as tmp:
        _write(tmp, data, path)


@contextlib.contextmanager
def output_set(folder: pathlib.Path, option: str = "--out") -> Iterator[Staging]:
    """The output folder of a run, created if needed and locked for it; yields its Staging, whose
    files are put in place when the block completes and discarded when it raises.

    Raises UserError when the folder cannot be created or another run holds it. Files written with
    Staging.write name their final paths in errors; a writer given Staging.path has its own errors
    to word.
    """
    folder = pathlib.Path(folder)
    try:
        folder.mkdir(parents=True, exist_ok=True)
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError as e:
        raise UserError(f"{folder}: {e.strerror or e}") from None
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as e:
            if e.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise UserError(
                    f"{option} {folder}: another kelmora run is writing there; "
                    "wait for it to finish or choose another folder"
                ) from None
            raise UserError(f"{option} {folder}: cannot lock: {e.strerror or e}") from None
        _remove_stale_staging(folder)
        try:
            staging = _make_staging(folder)
        except OSError as e:
            raise UserError(f"{folder}: cannot write: {e.strerror or e}") from None
        try:
            outputs = Staging(folder, staging)
            yield outputs
            outputs.commit()
        finally:
            _remove_staging(staging)
    finally:
        os.close(fd)


def _remove_stale_staging(folder: pathlib.Path) -> None:
    """Staging folders of runs that were killed before they could clean up; the lock says that no
    run uses them."""
    for stale in folder.glob(STAGING_PREFIX + "*"):
        if stale.is_dir() and not stale.is_symlink():
            _remove_staging(stale)


def _make_staging(folder: pathlib.Path) -> pathlib.Path:
    """A new staging folder in `folder`, readable by its owner only, under a name no other run holds."""
    while True:
        staging = folder / f"{STAGING_PREFIX}{os.urandom(6).hex()}"
        try:
            os.mkdir(staging, 0o700)
            return staging
        except FileExistsError:
            continue


def _remove_staging(staging: pathlib.Path) -> None:
    """Removes a staging folder and the files in it (it holds no folders), as far as it can."""
    with contextlib.suppress(OSError):
        for entry in os.scandir(staging):
            with contextlib.suppress(OSError):
                os.unlink(entry.path)
        os.rmdir(staging)
