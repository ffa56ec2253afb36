"""A fuzzy concrete concept whose membership function is made of two straight lines.

This stub says what the calls accept and return. The functions' own ``__annotations__``
say less: ``-c``, ``c & d`` and ``c | d`` are annotated as returning a
``FuzzyConcreteConcept`` or ``typing.Self``, but return the ``OperatorConcept`` that
builds them; ``clone`` returns a ``LinearConcreteConcept`` even for a subclass; and
the setters of ``a`` and ``b`` take whatever ``float()`` takes.
"""

import typing

from _typeshed import ConvertibleToFloat

from tolvane.ostrel.concept.concrete.fuzzy_concrete_concept import (
    FuzzyConcreteConcept as FuzzyConcreteConcept,
)
from tolvane.ostrel.concept.operator_concept import OperatorConcept as OperatorConcept
from tolvane.ostrel.util.util import Util as Util

# doctest's table of extra tests; the module defines none.
__test__: dict[str, object]

class _Concept(typing.Protocol):
    """What OperatorConcept asks of an operand that is no number."""

    def get_membership_degree(self, value: float, /) -> float: ...

# An operand of & and |: a concept, combined ones included, or a constant degree.
_Operand: typing.TypeAlias = _Concept | float

class LinearConcreteConcept(FuzzyConcreteConcept):
    """A concrete fuzzy concept with a linear membership function.

    The degree is 0.0 at and below 0 and 1.0 at and above 1; in between it follows
    the line from (0, 0) to (a, b) and then the line from (a, b) to (1, 1). ``k1``
    and ``k2`` take part in the name, the hash and the clone, not in the degrees.
    Equality is identity; the hash is by value.
    """

    # Stored on the instance by __init__ (and by the setters of a and b).
    k1: float
    k2: float
    _a: float
    _b: float

    def __init__(self, name: str, k1: float, k2: float, a: float, b: float) -> None:
        """Make the concept ``name`` from ``k1``, ``k2``, ``a`` and ``b``.

        ``k1`` must not exceed ``a`` and ``b`` must not exceed 1.0: each violation
        is reported through ``Util.error`` (which raises ``ConceptError``) with a
        message such as "Error: Linear functions require 5 <= 2". The numbers are
        stored as floats.
        """
    @property
    def a(self) -> float:
        """Where the two lines meet: the degree rises to ``b`` from 0 to ``a``."""
    @a.setter
    def a(self, value: ConvertibleToFloat) -> None:
        """Store ``float(value)``; ``k1 <= a`` is not checked again."""
    @property
    def b(self) -> float:
        """The degree at ``a``, where the two lines meet."""
    @b.setter
    def b(self, value: ConvertibleToFloat) -> None:
        """Store ``float(value)``; ``b <= 1.0`` is not checked again."""
    def clone(self) -> LinearConcreteConcept:
        """A new ``LinearConcreteConcept`` (for a subclass too) built from the same
        name and numbers, which are checked and converted again."""
    def get_membership_degree(self, value: float) -> float:
        """The degree to which ``value`` belongs to the concept, from 0.0 to 1.0.

        With a = 0.5 and b = 0.25, 0.25 gives 0.125 and 0.75 gives 0.625.
        """
    def compute_name(self) -> str:
        """The concept as text, such as "linear(0.0, 10.0, 2.0, 0.5)"."""
    def __neg__(self) -> OperatorConcept:
        """``-c``: the negation, built by ``OperatorConcept.not_``; degree 1 - c."""
    def __and__(self, value: _Operand) -> OperatorConcept:
        """``c & d``: the conjunction, built by ``OperatorConcept.and_``; the smaller degree.

        ``value`` is a concept or a constant degree from 0 to 1.
        """
    def __or__(self, value: _Operand) -> OperatorConcept:
        """``c | d``: the disjunction, built by ``OperatorConcept.or_``; the larger degree.

        ``value`` is a concept or a constant degree from 0 to 1.
        """
    def __hash__(self) -> int:
        """The hash of (name, k1, k2, a, b, hash(type)): equal values hash equal."""
