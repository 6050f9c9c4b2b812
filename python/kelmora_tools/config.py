"""Tracker options: a JSON file of TrackerConfig keywords, `--set KEY=VALUE` items over it, and the
tracker built from them."""

from __future__ import annotations

import json
import math
import pathlib
import reprlib
import sys
from typing import Any, cast

from kelmora_tools.errors import UserError, first_line
from kelmora_tools.mot_files import read_text


def _tracker_config_defaults() -> dict[str, bool | int | float]:
    """The keywords of kelmora_cpp.TrackerConfig with their defaults, in the constructor's order,
    from the table the tracker's record and its Python class are generated from
    (include/kelmora/tracker_fields.hpp, which kelmora_tools._native exports). The type of a
    default is the type a value must have (TrackerConfig itself refuses a float for an int and a
    string for anything)."""
    from kelmora_tools import _native

    return {name: default for name, _, default in _native.TRACKER_FIELDS}


DEFAULTS = _tracker_config_defaults()

Options = dict[str, bool | int | float]

# TrackerConfig's whole-number fields are signed 32-bit.
INT_MIN, INT_MAX = -(2**31), 2**31 - 1

# Values quoted in messages: a long number or a deeply nested list stays short.
_QUOTE = reprlib.Repr(maxlevel=2, maxlist=4, maxdict=4, maxstring=40, maxlong=40, maxother=40)


def _typed(key: str, value: object, where: str) -> bool | int | float:
    """`value` as the type of the keyword's default; UserError naming `where` otherwise."""
    if key not in DEFAULTS:
        raise UserError(
            f"{where}: unknown tracker option {key!r}; the TrackerConfig keywords are " + ", ".join(DEFAULTS)
        )
    kind = type(DEFAULTS[key])
    quoted = _QUOTE.repr(value)
    if kind is bool:
        if isinstance(value, bool):
            return value
        raise UserError(f"{where}: {key} must be true or false, got {quoted}")
    if kind is int:
        if isinstance(value, int) and not isinstance(value, bool):
            if not INT_MIN <= value <= INT_MAX:
                raise UserError(f"{where}: {key} must be a whole number from {INT_MIN} to {INT_MAX}, got {quoted}")
            return value
        raise UserError(f"{where}: {key} must be a whole number, got {quoted}")
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        try:
            return float(value)
        except OverflowError:  # an integer beyond the range of a float
            raise UserError(f"{where}: {key} must be a finite number, got {quoted}") from None
    raise UserError(f"{where}: {key} must be a number, got {quoted}")


def parse_set_item(item: str) -> tuple[str, bool | int | float]:
    """One `--set KEY=VALUE` item: true/false for switches, a whole number for counts, a float else."""
    key, sep, text = item.partition("=")
    key, text = key.strip(), text.strip()
    if not sep or not key:
        raise UserError(f"--set expects KEY=VALUE, got {item!r}")
    where = f"--set {item}"
    if key not in DEFAULTS:
        _typed(key, None, where)
    kind = type(DEFAULTS[key])
    value: object = text
    if kind is bool and text.lower() in ("true", "false", "1", "0", "yes", "no", "on", "off"):
        value = text.lower() in ("true", "1", "yes", "on")
    elif kind is int:
        try:
            value = int(text)
        except ValueError:
            pass
    elif kind is float:
        try:
            value = float(text)
        except ValueError:
            pass
    return key, _typed(key, value, where)


def read_config_file(path: str | pathlib.Path) -> Options:
    """The JSON object of TrackerConfig keywords in `path` (what `kelmora tune` writes)."""
    path = pathlib.Path(path)
    try:
        text = read_text(path)
    except UnicodeDecodeError:
        raise UserError(f"{path}: not a UTF-8 text file") from None
    try:
        data = json.loads(text)
    except json.JSONDecodeError as e:
        raise UserError(f"{path}:{e.lineno}: not JSON: {e.msg}") from None
    except RecursionError:
        raise UserError(f"{path}: not JSON that can be read: nested too deeply") from None
    except ValueError:  # an integer of more digits than Python converts
        raise UserError(
            f"{path}: not JSON that can be read: a number of more than {sys.get_int_max_str_digits()} digits"
        ) from None
    if not isinstance(data, dict):
        raise UserError(f"{path}: expected a JSON object of TrackerConfig keywords")
    return {key: _typed(key, value, str(path)) for key, value in data.items()}


def _validate(options: Options, where: str) -> None:
    import kelmora_cpp

    try:
        # The values' types are checked by TrackerConfig itself, at run time.
        kelmora_cpp.TrackerConfig(**cast(dict[str, Any], options))
    except (TypeError, ValueError, OverflowError) as e:
        message = first_line(e)
        raise UserError(f"{where}: {message}") from None


def tracker_options(config_file: str | pathlib.Path | None, set_items: list[str]) -> Options:
    """The options of `config_file` (a JSON object, if given) with the `--set` items applied over it,
    checked by building a kelmora_cpp.TrackerConfig.

    Raises UserError naming the file or the option, with TrackerConfig's own message for a value it
    refuses.
    """
    options: Options = {}
    if config_file is not None:
        options.update(read_config_file(config_file))
        _validate(options, str(config_file))
    for item in set_items:
        key, value = parse_set_item(item)
        options[key] = value
        # Checked after each item so that the message names the item that broke a rule.
        _validate(options, f"--set {item}")
    return options


def make_tracker(options: Options):
    """A kelmora_cpp.ByteTracker built from `options`; UserError if TrackerConfig refuses them."""
    import kelmora_cpp

    try:
        return kelmora_cpp.ByteTracker(kelmora_cpp.TrackerConfig(**cast(dict[str, Any], options)))
    except (TypeError, ValueError, OverflowError) as e:
        raise UserError(f"tracker options: {first_line(e)}") from None


def describe(options: Options) -> str:
    """The options as KEY=VALUE text for a summary line, "defaults" when there are none."""
    return ", ".join(f"{key}={format_value(value)}" for key, value in options.items()) or "defaults"


def format_value(value: bool | int | float) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float) and math.isfinite(value):
        return f"{value:.6g}"
    return str(value)
