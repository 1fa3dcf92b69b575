"""What a store raises when it cannot be used as asked."""

from __future__ import annotations


class StoreError(RuntimeError):
    """The store could not be opened or read: its URL, its database or its format."""


class StoreMismatch(StoreError, ValueError):
    """The store holds another population: other objectives, directions or settings."""
