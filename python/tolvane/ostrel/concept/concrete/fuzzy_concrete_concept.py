"""The base class of concrete fuzzy concepts."""

from __future__ import annotations


class FuzzyConcreteConcept:
    """A named fuzzy concept over a concrete domain.

    Subclasses set their own parameters on the instance; ``type`` tells the kind of
    concept and takes part in the subclasses' hashes, so it stays hashable.
    """

    type = "concrete"

    def __init__(self, name: str) -> None:
        self.name = name
