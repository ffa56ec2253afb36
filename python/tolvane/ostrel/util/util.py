"""Error reporting shared by the fuzzy concepts."""

from __future__ import annotations

from typing import NoReturn


class ConceptError(ValueError):
    """An invalid fuzzy concept: its parameters break a rule of the concept."""


class Util:
    """Reporting of invalid concepts."""

    @staticmethod
    def error(message: str) -> NoReturn:
        """Report an invalid concept by raising ConceptError carrying `message`."""
        raise ConceptError(message)
