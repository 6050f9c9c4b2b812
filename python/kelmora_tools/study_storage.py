"""The storage of tuning studies: Optuna's RDB storage on an SQLite file or a PostgreSQL server, with
heartbeats that reclaim the trials of a process that died or lost its connection, and storage URLs
checked and shown with every secret masked."""

from __future__ import annotations

import contextlib
import dataclasses
import datetime
import functools
import os
import pathlib
import random
import re
import time
import urllib.parse
import warnings
from collections.abc import Iterator
from typing import Any

from kelmora_tools import urls
from kelmora_tools.errors import UserError, first_line

# A running trial records a sign of life this often, on a thread of its own. One silent for
# STALE_SECONDS (its process killed, its connection lost) is marked FAIL by the next trial that
# starts in the study, in any process.
HEARTBEAT_SECONDS = 10


STALE_SECONDS = 60


# The files of an SQLite database, by the suffix SQLite adds to the database's name for each: the
# database itself, and the companions SQLite creates beside it and deletes when the last connection
# closes.
SQLITE_FILES = {
    "": "the study is stored in that file",
    "-wal": "SQLite keeps the study's write-ahead log in that file",
    "-shm": "SQLite keeps the study's shared-memory index in that file",
    "-journal": "SQLite keeps the study's rollback journal in that file",
}


_SCHEME = re.compile(r"[\w+]+://")


_NOT_SHOWN = "(the URL is not shown: it may hold a password)"


@dataclasses.dataclass(frozen=True)
class StorageURL:
    """A storage URL: as given (`text`, passed to SQLAlchemy and Optuna only), and as messages show it
    (`shown`, every secret as ***; see urls.masked_url)."""

    text: str
    masked: urls.MaskedURL

    @property
    def shown(self) -> str:
        return self.masked.shown

    def scrub(self, message: str) -> str:
        """`message` with every secret of the URL replaced by ***."""
        return self.masked.scrub(message)


def parse_storage_url(text: str) -> StorageURL:
    """The --storage URL parsed; UserError for one that cannot be used. A URL that cannot be parsed
    is never shown: there is no telling which part of it is a password."""
    from sqlalchemy.engine import make_url

    if not _SCHEME.match(text):
        raise UserError(
            "--storage: not a database URL, such as sqlite:///study.db or "
            f"postgresql+psycopg://user@host:5432/db {_NOT_SHOWN}"
        )
    # SQLAlchemy ends the password at its first @ and takes the rest for the host: an unencoded @ in
    # a password would show the part after it.
    if text.count("@") > 1:
        raise UserError(f"--storage: more than one @ in the URL; write an @ of the password as %40 {_NOT_SHOWN}")
    try:
        url = make_url(text)
    except Exception:  # SQLAlchemy's reason may quote any part of the URL
        raise UserError(f"--storage: not a valid database URL {_NOT_SHOWN}") from None
    userinfo = text[text.index("://") + 3 :].partition("@")[0] if "@" in text else ""
    if ":" in userinfo and url.password is None:
        raise UserError(f"--storage: not a valid database URL {_NOT_SHOWN}")
    return StorageURL(text, urls.masked_url(text))


def shown_url(url: str) -> str:
    """The storage URL with every secret as ***, for messages; a note in its place when it cannot be
    parsed."""
    try:
        return parse_storage_url(url).shown
    except UserError:
        return _NOT_SHOWN


def check_storage(url: StorageURL, out: pathlib.Path) -> None:
    """UserError for a storage that cannot hold a study: an SQLite database in memory, which ends with
    the command and which worker processes cannot share, or one whose file, or a companion file of
    which (see SQLITE_FILES), --out is to replace."""
    from sqlalchemy.engine import make_url

    parsed = make_url(url.text)
    if not parsed.drivername.startswith("sqlite"):
        return
    database = parsed.database or ""
    if database in ("", ":memory:") or parsed.query.get("mode") == "memory":
        raise UserError(
            f"--storage {url.shown}: a database in memory ends with the command; give a file, "
            "such as sqlite:///study.db"
        )
    if database.startswith("file:"):
        return  # an SQLite URI; its file is not compared with --out
    # SQLite follows symbolic links to the database, and keeps its companions beside the file it
    # reaches; writing --out replaces the entry --out names.
    target = os.path.join(os.path.realpath(out.parent), out.name)
    for suffix, what in SQLITE_FILES.items():
        if os.path.realpath(database) + suffix == target:
            raise UserError(
                f"--out {out}: {what} ({url.shown}); write the best configuration to another file, such as best.json"
            )


def default_storage(out: pathlib.Path) -> str:
    """An SQLite file beside the output: best.json keeps its study in best.db."""
    return "sqlite:///" + urllib.parse.quote(str(out.resolve().with_suffix(".db")), safe="/")


def _engine_kwargs(url: str) -> dict[str, Any]:
    if url.startswith("sqlite"):
        # Workers of one machine share the file: wait for a lock rather than fail at once.
        return {"connect_args": {"timeout": 60}}
    if url.startswith("postgresql"):
        return {"connect_args": {"connect_timeout": 10}, "pool_pre_ping": True}
    return {}


@contextlib.contextmanager
def storage_at(url: str) -> Iterator[Any]:
    """Optuna's storage at `url` (see open_storage), its connections closed on exit."""
    storage = open_storage(url)
    try:
        with storage_errors(url):
            yield storage
    finally:
        with contextlib.suppress(Exception):  # a storage that failed may fail again here
            storage.remove_session()
            storage.engine.dispose()


@contextlib.contextmanager
def storage_errors(url: str) -> Iterator[None]:
    """Turns a failure of the storage at `url` (a lost connection, a full disk) into one UserError
    naming it. The trial it interrupted stays RUNNING only until it is found stale (see
    STALE_SECONDS)."""
    import optuna
    import sqlalchemy

    failures = (sqlalchemy.exc.SQLAlchemyError, optuna.exceptions.StorageInternalError)
    try:
        yield
    except Exception as e:
        # Optuna, when the storage fails while it records a trial's end, may raise an error of its
        # own from the clean-up, with the storage's error as its context: an assertion, or, when
        # reading the trial back fails too, UnboundLocalError for the state it could not read.
        failure: BaseException | None = e
        while failure is not None and not isinstance(failure, failures):
            failure = failure.__context__ if isinstance(failure, (AssertionError, UnboundLocalError)) else None
        if failure is None:
            raise
        parsed = parse_storage_url(url)
        raise UserError(
            f"--storage {parsed.shown}: the storage failed: {parsed.scrub(_storage_reason(failure))}"
        ) from None


def _storage_reason(error: BaseException) -> str:
    """The database's own message, found along the chain of causes (Optuna wraps it)."""
    cause: BaseException | None = error
    while cause is not None:
        if getattr(cause, "orig", None) is not None:
            return first_line(cause)
        cause = cause.__cause__ or cause.__context__
    return first_line(error)


@functools.cache
def _storage_class() -> type:
    from optuna.storages import RDBStorage

    class HeartbeatStorage(RDBStorage):
        """Optuna's RDBStorage with two changes to its heartbeats: the heartbeat thread stays silent
        when the storage fails (the trial's own thread meets the same failure and reports it), and a
        running trial that never recorded a heartbeat is stale too, once it started longer ago than
        the grace period: its process lost the storage between taking the trial and its first
        heartbeat, and Optuna alone would leave it RUNNING for ever."""

        def record_heartbeat(self, trial_id: int) -> None:
            with contextlib.suppress(Exception):
                super().record_heartbeat(trial_id)

        def set_trial_user_attrs(self, trial_id: int, attrs: dict[str, Any]) -> None:
            """Sets several user attributes of a trial in one transaction (set_trial_user_attr takes
            one transaction each: a few milliseconds of every trial)."""
            from optuna.storages._rdb import models
            from optuna.storages._rdb.storage import _create_scoped_session

            with _create_scoped_session(self.scoped_session, True) as session:
                for key, value in attrs.items():
                    self._set_trial_attr_without_commit(session, models.TrialUserAttributeModel, trial_id, key, value)

        def _get_stale_trial_ids(self, study_id: int) -> list[int]:
            from optuna.storages._rdb import models
            from optuna.trial import TrialState

            stale = super()._get_stale_trial_ids(study_id)
            started_before = datetime.datetime.now() - datetime.timedelta(seconds=self.grace_period or 0)
            old = [
                self.get_trial_id_from_study_id_trial_number(study_id, t.number)
                for t in self.get_all_trials(study_id, deepcopy=False, states=(TrialState.RUNNING,))
                if t.datetime_start is not None and t.datetime_start < started_before
            ]
            if not old:
                return stale
            session = self.scoped_session()
            try:
                beating = {
                    trial_id
                    for (trial_id,) in session.query(models.TrialHeartbeatModel.trial_id).filter(
                        models.TrialHeartbeatModel.trial_id.in_(old)
                    )
                }
            finally:
                session.close()
            return stale + [trial_id for trial_id in old if trial_id not in beating and trial_id not in stale]

    return HeartbeatStorage


def set_user_attrs(study: Any, trial: Any, attrs: dict[str, Any]) -> None:
    """Sets user attributes of a running trial, in one transaction where the storage allows it."""
    backend = getattr(study._storage, "_backend", study._storage)  # Optuna's cache wraps the storage
    if hasattr(backend, "set_trial_user_attrs"):
        backend.set_trial_user_attrs(trial._trial_id, attrs)
        return
    for key, value in attrs.items():
        trial.set_user_attr(key, value)


def _heartbeat_storage(url: str, engine_kwargs: dict[str, Any]) -> Any:
    from optuna.exceptions import ExperimentalWarning

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ExperimentalWarning)
        storage = _storage_class()(
            url, engine_kwargs=engine_kwargs, heartbeat_interval=HEARTBEAT_SECONDS, grace_period=STALE_SECONDS
        )
    if url.startswith("sqlite"):
        _write_ahead(storage.engine)
    return storage


def _write_ahead(engine: Any) -> None:
    """Puts an SQLite study in write-ahead mode with normal syncing: a trial writes its parameters,
    attributes and heartbeats in some twenty small transactions, and each one then costs an append
    to the log instead of a synced rewrite of the journal, about a third of a trial's time on
    data/synthetic. The file stays consistent through a crash of the command (a power cut may lose
    the last trials); like every SQLite database that several processes share, it must be on a
    local disk."""
    import sqlalchemy

    def on_connect(connection: Any, _record: Any) -> None:
        cursor = connection.cursor()
        cursor.execute("PRAGMA journal_mode=WAL")
        cursor.execute("PRAGMA synchronous=NORMAL")
        cursor.close()

    sqlalchemy.event.listen(engine, "connect", on_connect)
    engine.dispose()  # connections made before the listener start again with it


def open_storage(url: str):
    """Optuna's storage at `url`, with heartbeats (see HEARTBEAT_SECONDS); UserError naming the URL
    when it cannot be reached or used."""
    import sqlalchemy

    parsed = parse_storage_url(url)
    where = f"--storage {parsed.shown}"
    kwargs = _engine_kwargs(url)
    try:
        engine = sqlalchemy.create_engine(url, **kwargs)
        with engine.connect():
            pass
        engine.dispose()
    except (sqlalchemy.exc.SQLAlchemyError, ImportError, ValueError) as e:
        raise UserError(f"{where}: cannot connect: {parsed.scrub(first_line(e))}") from None
    # Two workers that meet an empty database at the same moment may both create Optuna's tables;
    # the loser of that race sees a constraint violation and simply tries again.
    for attempt in range(8):
        try:
            return _heartbeat_storage(url, kwargs)
        except sqlalchemy.exc.SQLAlchemyError as e:
            if attempt == 7:
                raise UserError(f"{where}: cannot set up Optuna's tables: {parsed.scrub(first_line(e))}") from None
            time.sleep(random.uniform(0.1, 0.5))
    raise AssertionError("unreachable")
