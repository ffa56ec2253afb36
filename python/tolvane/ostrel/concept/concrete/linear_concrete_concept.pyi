"""A fuzzy concrete concept whose membership function is made of two straight lines.

The annotations below are those that the class itself carries at run time (see each
method's ``__annotations__``), so type checkers, ``inspect.signature`` and
``typing.get_type_hints`` all tell the same story.
"""

import typing

from tolvane.ostrel.concept.concrete.fuzzy_concrete_concept import (
    FuzzyConcreteConcept as FuzzyConcreteConcept,
)
from tolvane.ostrel.concept.operator_concept import OperatorConcept as OperatorConcept
from tolvane.ostrel.util.util import Util as Util

# doctest's table of extra tests; the module defines none.
__test__: dict[str, object]

class LinearConcreteConcept(FuzzyConcreteConcept):
    """A concrete fuzzy concept with a linear membership function."""

    # Stored on the instance by __init__ (and by the setters of a and b).
    k1: float
    k2: float
    _a: float
    _b: float

    def __init__(self, name: str, k1: float, k2: float, a: float, b: float) -> None: ...
    @property
    def a(self) -> float: ...
    @a.setter
    def a(self, value: float) -> None: ...
    @property
    def b(self) -> float: ...
    @b.setter
    def b(self, value: float) -> None: ...
    def clone(self) -> typing.Self: ...
    def get_membership_degree(self, value: float) -> float: ...
    def compute_name(self) -> str: ...
    def __neg__(self) -> FuzzyConcreteConcept: ...
    def __and__(self, value: typing.Self) -> typing.Self: ...
    def __or__(self, value: typing.Self) -> typing.Self: ...
    def __hash__(self) -> int: ...
