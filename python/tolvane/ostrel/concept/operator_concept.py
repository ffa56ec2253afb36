"""Fuzzy connectives: negation, conjunction and disjunction of concepts."""

from __future__ import annotations

from typing import Any, Callable, TypeVar

_Result = TypeVar("_Result")


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
    degree_of = getattr(concept, "get_membership_degree", None)
    if not callable(degree_of):
        raise TypeError(f"a combined concept has an operand of type {type(concept).__name__!r}, "
                        "which is neither a concept nor a number")
    degree: float = degree_of(value)
    return degree


class OperatorConcept:
    """A concept combined from others with the standard connectives.

    ``not`` gives 1 - x, ``and`` the minimum and ``or`` the maximum of the operands'
    degrees. An operand is a concept (anything with ``get_membership_degree``), a
    combined concept, so that they nest, or a plain number, which stands for that
    degree everywhere. Combined concepts take ``-``, ``&`` and ``|`` like the concepts
    they are made of, and read as expressions, such as
    ``(linear(0.0, 1.0, 0.4, 0.8) & (not linear(0.0, 1.0, 0.2, 0.5)))``.

    Operands are kept as given; one that is neither a concept nor a number fails when
    a degree is asked for.
    """

    SYMBOLS = {"and": "&", "or": "|"}

    def __init__(self, operator: str, operands: tuple[Any, ...]) -> None:
        if operator not in ("not", "and", "or"):
            raise ValueError(f"unknown fuzzy connective {operator!r}")
        expected = 1 if operator == "not" else 2
        if len(operands) != expected:
            raise ValueError(f"{operator!r} takes {expected} operand{'s' if expected > 1 else ''}, "
                             f"not {len(operands)}")
        self.operator = operator
        self.operands = tuple(operands)

    @staticmethod
    def not_(concept: Any) -> OperatorConcept:
        return OperatorConcept("not", (concept,))

    @staticmethod
    def and_(first: Any, second: Any) -> OperatorConcept:
        return OperatorConcept("and", (first, second))

    @staticmethod
    def or_(first: Any, second: Any) -> OperatorConcept:
        return OperatorConcept("or", (first, second))

    def _fold(self, leaf: Callable[[Any], _Result],
             combine: Callable[[OperatorConcept, list[_Result]], _Result]) -> _Result:
        """`combine(concept, results of its operands)` over the nested combined concepts,
        with `leaf(operand)` for every other operand, operands left to right.

        Nested OperatorConcepts are walked with a stack of their own rather than by
        recursion, so that any depth of nesting computes; an operand of another class,
        a subclass included, is left to `leaf`. `self` itself is always combined, whatever
        its class.
        """
        # (concept, None) is yet to be visited; (concept, n) is combined from the last n results.
        results: list[_Result] = []
        stack: list[tuple[Any, int | None]] = [(self, len(self.operands))]
        stack.extend((operand, None) for operand in reversed(self.operands))
        while stack:
            concept, count = stack.pop()
            if count is not None:
                operand_results = results[len(results) - count:]
                del results[len(results) - count:]
                results.append(combine(concept, operand_results))
            elif type(concept) is OperatorConcept:
                operands = concept.operands
                stack.append((concept, len(operands)))
                stack.extend((operand, None) for operand in reversed(operands))
            else:
                results.append(leaf(concept))
        return results[0]

    def get_membership_degree(self, value: Any) -> float:
        return self._fold(lambda operand: membership(operand, value), OperatorConcept._degree)

    def _degree(self, degrees: list[float]) -> float:
        if self.operator == "not":
            return 1.0 - degrees[0]
        if self.operator == "and":
            return min(degrees)
        return max(degrees)

    def compute_name(self) -> str:
        return self._fold(concept_name, OperatorConcept._name)

    def _name(self, names: list[str]) -> str:
        if self.operator == "not":
            return f"(not {names[0]})"
        first, second = names
        return f"({first} {self.SYMBOLS[self.operator]} {second})"

    @property
    def name(self) -> str:
        """The readable expression, written from the operands as they are now."""
        return self.compute_name()

    def __neg__(self) -> OperatorConcept:
        return OperatorConcept.not_(self)

    def __and__(self, other: Any) -> OperatorConcept:
        return OperatorConcept.and_(self, other)

    def __or__(self, other: Any) -> OperatorConcept:
        return OperatorConcept.or_(self, other)

    def __repr__(self) -> str:
        return f"<OperatorConcept {self.compute_name()}>"
