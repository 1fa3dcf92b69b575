"""Store URLs: which database, and the URL as it may be shown (no password)."""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Literal
from urllib.parse import unquote, urlsplit

from kestrovane.storage.errors import StoreError

Kind = Literal["sqlite", "postgresql"]


@dataclass(frozen=True)
class StoreURL:
    """A parsed store URL.  `shown` is the text for messages and reprs; the
    URL itself, which may hold a password, is never part of the repr."""

    kind: Kind
    shown: str
    #: The SQLite file, or None for PostgreSQL.
    path: Path | None
    secret: str = field(repr=False)
    #: The password was taken out (a pickled copy): libpq looks for it in
    #: PGPASSWORD or ~/.pgpass.
    without_password: bool = False

    def __str__(self) -> str:
        return self.shown

    def portable(self) -> StoreURL:
        """This URL with no password in it: what a pickle may carry, since a
        pickle can end up in a file or another user's process."""
        secret = _unpassworded(self.secret)
        if secret == self.secret:
            return self
        return StoreURL(self.kind, self.shown, self.path, secret, without_password=True)

    def hide(self, text: str) -> str:
        """`text` with the URL's password, if any, replaced: for messages of
        the database driver, which may quote what they were given."""
        password = _password(self.secret)
        if not password:
            return text
        for form in {password, unquote(password)}:
            text = text.replace(form, "***")
        return text


def parse(url: object) -> StoreURL:
    """The store a URL names: ``sqlite:///relative.db``, ``sqlite:////absolute.db``
    or ``postgresql://[user[:password]@]host[:port]/database[?options]``."""
    if not isinstance(url, str):
        raise TypeError(f"a store URL must be a str; got {type(url).__name__}")
    scheme = url.split(":", 1)[0].lower() if ":" in url else ""
    if scheme == "sqlite":
        if not url.startswith("sqlite:///") or len(url) == len("sqlite:///"):
            raise StoreError(f"a SQLite store URL is sqlite:///relative/path.db or "
                             f"sqlite:////absolute/path.db; got {url!r}")
        path = url[len("sqlite:///"):]
        if path == ":memory:" or "?" in path:
            raise StoreError(f"a SQLite store is a file that worker processes share; got {url!r}")
        return StoreURL("sqlite", url, Path(path), url)
    if scheme in ("postgresql", "postgres"):
        shown = redacted(url)
        try:
            parts = urlsplit(url)
            parts.port  # noqa: B018 - parsing the port raises on a bad one
        except ValueError:
            raise StoreError(f"cannot read the PostgreSQL store URL {shown}") from None
        return StoreURL("postgresql", shown, None, url)
    raise StoreError(f"a store URL starts with sqlite:/// or postgresql://; got "
                     f"{redacted(url)}")


def redacted(url: str) -> str:
    """`url` without the password of its user part or its query."""
    url = re.sub(r"(?<=://)([^/@:?#]*):[^/@?#]*@", r"\1:***@", url)
    return re.sub(r"(?i)(?<=[?&])(password=)[^&#]*", r"\1***", url)


def _unpassworded(url: str) -> str:
    url = re.sub(r"(?<=://)([^/@:?#]*):[^/@?#]*@", r"\1@", url)
    url = re.sub(r"(?i)(?<=[?&])password=[^&#]*(&|$)", "", url)
    return url[:-1] if url.endswith(("?", "&")) else url


def _password(url: str) -> str | None:
    found = (re.search(r"(?<=://)[^/@:?#]*:([^/@?#]*)@", url)
             or re.search(r"(?i)(?<=[?&])password=([^&#]*)", url))
    return found.group(1) if found and found.group(1) else None
