"""Fuzzy connectives: negation, conjunction and disjunction of concepts."""

from __future__ import annotations

from typing import Any


def concept_name(concept: Any) -> str:
    """The readable name of a concept: its computed name, else its name, else its repr."""
    compute = getattr(concept, "compute_name", None)
    if callable(compute):
        return str(compute())
    name = getattr(concept, "name", None)
    return str(name) if name is not None else repr(concept)


def membership(concept: Any, value: Any) -> float:
    """The degree of `value` in `concept`; a plain number stands for a constant degree."""
    if isinstance(concept, (int, float)):
        return float(concept)
    return concept.get_membership_degree(value)


class OperatorConcept:
    """A concept combined from others with the standard connectives.

    ``not`` gives 1 - x, ``and`` the minimum and ``or`` the maximum of the operands'
    degrees. Operator concepts nest, and combine with the same operators as the
    concepts they are made of.
    """

    SYMBOLS = {"and": "&", "or": "|"}

    def __init__(self, operator: str, operands: tuple[Any, ...]) -> None:
        if operator not in ("not", "and", "or"):
            raise ValueError(f"unknown fuzzy connective {operator!r}")
        self.operator = operator
        self.operands = operands

    @staticmethod
    def not_(concept: Any) -> OperatorConcept:
        return OperatorConcept("not", (concept,))

    @staticmethod
    def and_(first: Any, second: Any) -> OperatorConcept:
        return OperatorConcept("and", (first, second))

    @staticmethod
    def or_(first: Any, second: Any) -> OperatorConcept:
        return OperatorConcept("or", (first, second))

    def get_membership_degree(self, value: Any) -> float:
        degrees = [membership(operand, value) for operand in self.operands]
        if self.operator == "not":
            return 1.0 - degrees[0]
        if self.operator == "and":
            return min(degrees)
        return max(degrees)

    def compute_name(self) -> str:
        if self.operator == "not":
            return f"(not {concept_name(self.operands[0])})"
        first, second = (concept_name(operand) for operand in self.operands)
        return f"({first} {self.SYMBOLS[self.operator]} {second})"

    @property
    def name(self) -> str:
        return self.compute_name()

    def __neg__(self) -> OperatorConcept:
        return OperatorConcept.not_(self)

    def __and__(self, other: Any) -> OperatorConcept:
        return OperatorConcept.and_(self, other)

    def __or__(self, other: Any) -> OperatorConcept:
        return OperatorConcept.or_(self, other)

    def __repr__(self) -> str:
        return f"<OperatorConcept {self.compute_name()}>"
