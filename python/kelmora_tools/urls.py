"""URLs as messages show them: the one masker of secrets, used for storage URLs, stream inputs and Dask
addresses alike."""

from __future__ import annotations

import dataclasses
import re
import urllib.parse

# Query parameters whose values messages show: plain connection and stream settings. Any other value
# (password=, pwd=, token=, api_key=, or a parameter this list does not know) is shown as ***.
SHOWN_PARAMETERS = frozenset(
    {
        "host",
        "hostaddr",
        "port",
        "dbname",
        "user",
        "sslmode",
        "connect_timeout",
        "application_name",
        "target_session_attrs",
        "options",
        "client_encoding",
        "timeout",
        "mode",
        "cache",
        "uri",
        "check_same_thread",
        "channel",
        "subtype",
        "resolution",
        "fps",
        "transport",
    }
)

MASK = "***"

_SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")
# The password as SQLAlchemy reads it: after `user:`, up to the first @ (it may hold / ? #).
_LOOSE_PASSWORD = re.compile(r"[^:/@]*:([^@]*)@")


@dataclasses.dataclass(frozen=True)
class MaskedURL:
    """A URL as messages show it (`shown`), and the secrets it held (`secrets`, as written and decoded)."""

    shown: str
    secrets: tuple[str, ...]

    def scrub(self, message: str) -> str:
        """`message` with every secret of the URL replaced by ***."""
        for secret in sorted(self.secrets, key=len, reverse=True):
            message = message.replace(secret, MASK)
        return message


def masked_url(text: str) -> MaskedURL:
    """`text` with the password of its user info and every query value other than those of
    SHOWN_PARAMETERS (a bare query item too) replaced by ***; text that is not a URL is unchanged.

    A password holding an unencoded / ? # or @ can be read two ways (SQLAlchemy takes it to the
    first @, FFmpeg and the URL standard end the host part at the first / ? #, after its last @):
    every stretch that either reading takes for a secret is masked.
    """
    found = _SCHEME.match(text)
    if found is None:
        return MaskedURL(text, ())
    start = found.end()
    spans: list[tuple[int, int]] = []
    loose = _LOOSE_PASSWORD.match(text, start)
    if loose is not None:
        spans.append(loose.span(1))
    host_end = next((i for i in range(start, len(text)) if text[i] in "/?#"), len(text))
    at = text.rfind("@", start, host_end)
    colon = text.find(":", start, at) if at >= 0 else -1
    if colon >= 0:
        spans.append((colon + 1, at))
    query = text.find("?", host_end)
    if query >= 0:
        end = text.find("#", query)
        end = len(text) if end < 0 else end
        pos = query + 1
        for item in text[query + 1 : end].split("&"):
            name, sep, _ = item.partition("=")
            if urllib.parse.unquote_plus(name).lower() not in SHOWN_PARAMETERS or not sep:
                first = pos + len(name) + 1 if sep else pos
                spans.append((first, pos + len(item)))
            pos += len(item) + 1
    return _mask(text, spans)


def shown_url(text: str) -> str:
    """`text` as messages show it (see masked_url)."""
    return masked_url(text).shown


def _mask(text: str, spans: list[tuple[int, int]]) -> MaskedURL:
    """`text` with each stretch covered by `spans` (overlapping ones merged) replaced by one ***."""
    merged: list[list[int]] = []
    for first, last in sorted(s for s in spans if s[1] > s[0]):
        if merged and first <= merged[-1][1]:
            merged[-1][1] = max(merged[-1][1], last)
        else:
            merged.append([first, last])
    shown, secrets, pos = [], [], 0
    for first, last in merged:
        shown += [text[pos:first], MASK]
        secrets += [text[first:last], urllib.parse.unquote_plus(text[first:last])]
        pos = last
    shown.append(text[pos:])
    return MaskedURL("".join(shown), tuple(dict.fromkeys(s for s in secrets if s)))
