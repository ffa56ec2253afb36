"""Stand-ins shared by the behaviour tests: the class under test, a maker, collaborator
spies and values whose comparisons, truth or text fail on purpose.

Collaborators are replaced by rebinding the module's globals (the module looks them up at
each use) or, for the base initialiser, by patching FuzzyConcreteConcept itself, which the
class took as its base when it was created.
"""

from __future__ import annotations

import importlib

from traceback_entries import MODULE

module = importlib.import_module(MODULE)
# Captured once: several tests rebind or delete the module global of the same name.
Concept = module.LinearConcreteConcept
Base = module.FuzzyConcreteConcept


def make(k1=0.0, k2=10.0, a=0.5, b=0.25, name="lin"):
    return Concept(name, k1, k2, a, b)


def operator_spy(log, without=()):
    """An OperatorConcept stand-in: each connective records its arguments and returns a
    fresh object, which it also records."""

    def connective(operation):
        def call(*args):
            result = object()
            log.append((operation, args, result))
            return result

        return staticmethod(call)

    namespace = {name: connective(name) for name in ("not_", "and_", "or_") if name not in without}
    return type("OperatorSpy", (), namespace)


class RaisingFormat:
    def __gt__(self, other):
        return True

    def __format__(self, format_spec):
        raise LookupError("no text")


class BadTruth:
    def __bool__(self):
        raise ArithmeticError("no truth")


class GreaterGivesBadTruth:
    def __gt__(self, other):
        return BadTruth()


class NeverGreater:
    """Passes every check; converts to 0.0 (or not at all, when `convertible` is false)."""

    def __init__(self, convertible=True):
        self.convertible = convertible

    def __gt__(self, other):
        return False

    def __float__(self):
        if not self.convertible:
            raise TypeError("not a number")
        return 0.0


class NeitherSide:
    """A value that is not at most 0 and whose comparison with 1.0 fails."""

    def __le__(self, other):
        return False

    def __ge__(self, other):
        raise ArithmeticError("cannot compare with one")


def guarded(blocked):
    """A subclass whose instances refuse assignment to the attribute `blocked`."""

    class Guarded(Concept):
        def __setattr__(self, name, value):
            if name == blocked:
                raise AttributeError(f"{name} is read-only")
            super().__setattr__(name, value)

    return Guarded
