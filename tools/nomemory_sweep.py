#!/usr/bin/env python3
"""Allocation-failure sweep of the linear_concrete_concept extension.

For every step below (importing the module, constructing a concept, each method and
branch, the text parsers, tuple calls with a keyword dict, traceback recording) the sweep
makes the N-th allocation fail, for N = 0, 1, 2, ..., with `_testcapi.set_nomemory`:

- "single": only the N-th allocation fails;
- "persistent": the N-th and every later allocation fail.

A step's sweep ends once a persistent run at N behaves as a run without failures (no
allocation at or after N is left to fail), plus a margin of single runs past it.

Each run must end in the step's normal result (equal to the result of a run without
failures), in its documented exception, or in a MemoryError; never in a crash, a
SystemError, another exception or a wrong result. After every run the step runs again
without failures and must give its normal result: a failure must leave nothing broken.

Traceback entries (co_filename "tolvane/ostrel/concept/concrete/linear_concrete_concept.py")
are checked on the single runs, where exactly one allocation fails:
- a MemoryError or documented exception raised by the module's own steps carries the
  module's entry, at one of the step's documented lines;
- a MemoryError without any entry is accepted only where no entry is due or where the
  traceback machinery itself could not allocate:
  * in a leading run of failure points, for steps whose call allocates before the module
    runs (instance creation, tuple calls, keyword dicts, module creation, module set-up
    before its constants are ready, which records no entry by design);
  * in a short trailing run for steps that fail by design: those points are the
    allocations of the entry itself (code object, frame, traceback object), and the
    documented behaviour there is that the entry is dropped or the error replaced by
    MemoryError;
- a MemoryError whose context chain holds the entry is the caller's own traceback entry
  failing to allocate after the module's exception was raised, and is accepted.
Persistent runs cannot record entries once the traceback machinery fails too, so only
crashes, SystemErrors, other exceptions and wrong results count there.

"Cold" steps run every failure point in a fresh interpreter (first calls fill the
lookup caches, the property read caches and the traceback code-object cache); the others
run all their points in one interpreter, after a warm-up run, with the hooks removed and
the garbage collector run between points. A child that dies is restarted after the point
that killed it, and the point is reported.

Usage:
    python tools/nomemory_sweep.py                 # every step
    python tools/nomemory_sweep.py --steps clone,neg --jobs 2
    python tools/nomemory_sweep.py --list
Exit status 0 when no fault was found, 1 otherwise.
"""

from __future__ import annotations

import functools
import gc
import importlib
import importlib.util
import json
import math
import operator
import os
import sys
from fractions import Fraction
from typing import Any, Callable

# The children import as little as they can: each cold failure point starts an
# interpreter, so the parent's own modules (argparse, subprocess, concurrent.futures)
# are imported where the parent needs them.

# The tests' traceback reader and named source lines, found beside this script in the tree.
sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from named_lines import method_lines  # noqa: E402
from traceback_entries import MODULE, module_entries  # noqa: E402

# Lines at which each function reports a failure (its def line and its steps' lines).
LINES = {
    "__init__": method_lines("init"),
    "a": method_lines("getter_a") | method_lines("setter_a"),
    "b": method_lines("getter_b") | method_lines("setter_b"),
    "clone": method_lines("clone"),
    "get_membership_degree": method_lines("get_membership_degree"),
    "compute_name": method_lines("compute_name"),
    "__neg__": method_lines("neg"),
    "__and__": method_lines("and_"),
    "__or__": method_lines("or_"),
    "__hash__": method_lines("hash"),
}

# CPython 3.11 itself loses an exception in flight when, while a Python frame that a
# traceback refers to is cleared, the frame object of its caller cannot be allocated
# (Python/frame.c, take_ownership: PyErr_Clear after the failed allocation); the caller's
# evaluation loop then reports this. A native function that returns NULL without an
# exception is reported differently ("... returned NULL without setting an exception").
LOST_EXCEPTION = "error return without exception set"

MARGIN = 12          # single runs past the point where a persistent run succeeds
MAX_POINTS = 6000    # a step that allocates more than this is cut off (and reported)
TAIL_LIMIT_WARM = 4  # allocations of a traceback entry whose code object is cached
TAIL_LIMIT_COLD = 12 # ... and of one whose code object is created and cached first


# ---------------------------------------------------------------------------------------
# Steps (run in the child)


class Prepared:
    """One call, made straight from the attempt's frame: `function(*args, **keywords)`.

    No Python frame of the sweep's own stands between the attempt and the call: when an
    exception leaves a Python frame, CPython 3.11 may need to allocate the frame objects
    of that frame and of its caller, and a failure there replaces or drops the exception
    (the caller's frame object is made in advance here, so that cannot happen)."""

    def __init__(self, function: Callable, args: tuple = (), keywords: dict | None = None, *,
                 finish: Callable[[Any], Any] | None = None,
                 check: Callable[[Any, Any], bool] | None = None,
                 reset: Callable[[tuple], None] | None = None):
        self.function = function
        self.args = args
        self.keywords = keywords
        # Turns a successful call's result into the value compared (hooks removed).
        self.finish = finish
        # Compares a successful run's value with the baseline's (default: `same`).
        self.check = check
        # Run after every attempt, hooks removed, with the outcome: undoes what it changed.
        self.reset = reset


class Step:
    def __init__(self, name: str, prepare: Callable[[dict], Prepared], methods: tuple = (), *,
                 raises: type[BaseException] | None = None, prefix_ok: bool = False,
                 suffix_ok: bool = False,
                 cold: bool = False, import_step: bool = False,
                 documented: Callable[[BaseException], bool] | None = None,
                 description: str = ""):
        self.name = name
        self.prepare = prepare
        self.methods = methods            # the outermost entry is at one of their lines
        self.raises = raises              # the documented exception of the step
        self.prefix_ok = prefix_ok        # the call allocates before the module runs
        self.suffix_ok = suffix_ok        # ... or after the module has returned
        self.cold = cold                  # every failure point in a fresh interpreter
        self.import_step = import_step
        self.documented = documented      # other documented outcomes of a failed allocation
        self.description = description


def same(left: Any, right: Any) -> bool:
    """Equal values of equal types; floats bit for bit (NaN equal to NaN); concepts and
    operator concepts by type and state; other objects by identity."""
    if type(left) is not type(right):
        return False
    if isinstance(left, float):
        if math.isnan(left) or math.isnan(right):
            return math.isnan(left) and math.isnan(right)
        return left == right and math.copysign(1, left) == math.copysign(1, right)
    if isinstance(left, (int, str, bytes, Fraction)):
        return left == right
    if isinstance(left, tuple):
        return len(left) == len(right) and all(same(x, y) for x, y in zip(left, right))
    if hasattr(left, "__dict__") and not isinstance(left, type):
        mine, theirs = vars(left), vars(right)
        return mine.keys() == theirs.keys() and all(
            mine[k] is theirs[k] or same(mine[k], theirs[k]) for k in mine)
    return left is right


def _concept(ctx, k1=0.0, k2=10.0, a=0.5, b=0.25, name="lin"):
    return ctx["C"](name, k1, k2, a, b)


def _function(ctx, name):
    return ctx["C"].__dict__[name]


class _Wide:
    """A value whose text is not ASCII and which is greater than everything."""

    def __gt__(self, other):
        return True

    def __format__(self, spec):
        return "\u03a95\u2014"

    def __float__(self):
        return 5.0


class _BadFormat:
    def __format__(self, spec):
        raise ValueError("no text for this value")


class _Key(str):
    """A str subclass keyword name."""


def _degree_step(value, **stored):
    def prepare(ctx):
        concept = _concept(ctx)
        for key, item in stored.items():
            setattr(concept, key, item)
        return Prepared(_function(ctx, "get_membership_degree"), (concept, value))
    return prepare


def _setter_step(text, *, attribute="a"):
    def prepare(ctx):
        concept = _concept(ctx)
        stored_name = "_" + attribute
        return Prepared(setattr, (concept, attribute, text),
                        finish=lambda result: (result, getattr(concept, stored_name)),
                        reset=lambda outcome: setattr(concept, stored_name, 0.5))
    return prepare


def _method_step(method, *, operands=1, **stored):
    def prepare(ctx):
        concept = _concept(ctx)
        for key, item in stored.items():
            setattr(concept, key, item)
        args = (concept,) if operands == 1 else (concept, _concept(ctx, name="other"))
        return Prepared(_function(ctx, method), args)
    return prepare


def _prepare_construct(ctx):
    return Prepared(ctx["C"], ("lin", 0, 10, 2, 0.5))


def _prepare_construct_text(ctx):
    return Prepared(ctx["C"], ("lin", "0", bytearray(b" 10 "), "0.5\t", 0.25))


def _prepare_construct_keywords(ctx):
    return Prepared(ctx["C"], ("lin",), {"k2": 10, "b": 0.5, "a": 2, "k1": 0})


def _prepare_construct_violation_raising(ctx):
    return Prepared(ctx["C"], ("lin", 5, 0, 2, 3))


class _Recorder:
    """A Util whose error returns, so construction goes on after a report."""
    messages: list = []

    @staticmethod
    def error(message):
        _Recorder.messages.append(message)


def _prepare_construct_violation_returning(ctx):
    ctx["module"].Util = _Recorder
    return Prepared(ctx["C"], ("lin", _Wide(), 0, 2, 3),
                    finish=lambda result: (result, tuple(_Recorder.messages)),
                    reset=lambda outcome: _Recorder.messages.clear())


def _prepare_getter_missing(ctx):
    # A base-class instance: no _a.
    bare = ctx["module"].FuzzyConcreteConcept("bare")
    return Prepared(ctx["C"].__dict__["a"].fget, (bare,))


def _prepare_hash_builtin(ctx):
    return Prepared(hash, (_concept(ctx),))


def _prepare_clone(ctx):
    concept = _concept(ctx, k1=0.25, k2=3, a=0.5, b=0.75)
    return Prepared(_function(ctx, "clone"), (concept,))


def _prepare_clone_missing_global(ctx):
    concept = _concept(ctx)
    del ctx["module"].LinearConcreteConcept
    return Prepared(_function(ctx, "clone"), (concept,))


def _operator_check(result, baseline):
    return (type(result) is type(baseline) and result.operator == baseline.operator
            and len(result.operands) == len(baseline.operands)
            and all(x is y for x, y in zip(result.operands, baseline.operands)))


def _prepare_neg(ctx):
    return Prepared(operator.neg, (_concept(ctx),), check=_operator_check)


def _prepare_and(ctx):
    return Prepared(operator.and_, (_concept(ctx), _concept(ctx, name="other")), check=_operator_check)


def _prepare_or(ctx):
    return Prepared(operator.or_, (_concept(ctx), _concept(ctx, name="other")), check=_operator_check)


class _NoOr:
    @staticmethod
    def not_(concept):
        return concept


def _prepare_or_missing(ctx):
    ctx["module"].OperatorConcept = _NoOr
    return _method_step("__or__", operands=2)(ctx)


def _prepare_keywords(ctx):
    # Names given in a call written with keywords come as a vectorcall names tuple.
    concept = _concept(ctx)
    return Prepared(functools.partial(_function(ctx, "get_membership_degree"),
                                      value=Fraction(3, 4), self=concept))


def _prepare_runtime_keyword(ctx):
    return Prepared(_function(ctx, "get_membership_degree"), (_concept(ctx),),
                    {"".join(["val", "ue"]): Fraction(1, 4)})


def _prepare_str_subclass_keyword(ctx):
    return Prepared(_function(ctx, "get_membership_degree"), (_concept(ctx),),
                    {_Key("value"): Fraction(1, 4)})


def _prepare_count_error(ctx):
    return Prepared(_function(ctx, "get_membership_degree"), (_concept(ctx),))


def _prepare_unexpected_keyword(ctx):
    return Prepared(_function(ctx, "clone"), (_concept(ctx),), {"x": 1})


def _prepare_tp_call(ctx):
    # type(f).__call__(f, c, value=...) reaches the function type's tp_call with a dict.
    function = _function(ctx, "get_membership_degree")
    return Prepared(type(function).__call__, (function, _concept(ctx)), {"value": Fraction(1, 2)})


def _prepare_tp_call_partial(ctx):
    function = _function(ctx, "get_membership_degree")
    return Prepared(functools.partial(function, _concept(ctx), value=0.75))


def _prepare_tp_call_error(ctx):
    function = _function(ctx, "clone")
    return Prepared(type(function).__call__, (function, _concept(ctx)), {"unexpected": 1})


def _prepare_import_create(ctx):
    import _imp
    return Prepared(_imp.create_dynamic, (ctx["spec"],),
                    finish=lambda module: type(module).__name__)


def _prepare_import_exec(ctx):
    import _imp
    spec = ctx["spec"]
    module = importlib.util.module_from_spec(spec)
    # What the import system does around a module's execution.
    sys.modules[MODULE] = module

    def reset(outcome):
        if outcome[0] == "error":
            sys.modules.pop(MODULE, None)
    return Prepared(_imp.exec_dynamic, (module,), reset=reset)


LONG_TEXT = "1_000_000_000_000_000_000_000_000_000_000_000_000.000_25"
LONG_NON_ASCII = "\u00a0" + LONG_TEXT + "\u2003"

STEPS = [
    Step("import_create", _prepare_import_create, prefix_ok=True, cold=True, import_step=True,
         description="module creation (PyInit and the create slot) in a fresh interpreter"),
    Step("import_exec", _prepare_import_exec, prefix_ok=True, cold=True, import_step=True,
         # A failure while importing zlib or reading its decompress is reported this way.
         documented=lambda error: type(error) is ImportError and str(error).startswith(
             "Failed to import 'zlib.decompress' - cannot initialise module strings."),
         description="module execution (constants, shared types, imports, class) in a fresh interpreter"),
    Step("construct", _prepare_construct, ("__init__",), prefix_ok=True),
    Step("construct_cold", _prepare_construct, ("__init__",), prefix_ok=True, cold=True),
    Step("construct_text", _prepare_construct_text, ("__init__",), prefix_ok=True),
    Step("construct_keywords", _prepare_construct_keywords, ("__init__",), prefix_ok=True),
    Step("construct_violation_raising", _prepare_construct_violation_raising, ("__init__",),
         raises=ValueError, prefix_ok=True),
    Step("construct_violation_returning", _prepare_construct_violation_returning, ("__init__",),
         prefix_ok=True, description="Util.error returns; message with a non-ASCII value text"),
    Step("degree_at_most_zero", _degree_step(-1), ("get_membership_degree",)),
    Step("degree_at_least_one", _degree_step(2), ("get_membership_degree",)),
    Step("degree_first_line", _degree_step(0.25), ("get_membership_degree",)),
    Step("degree_second_line", _degree_step(0.75), ("get_membership_degree",)),
    Step("degree_second_line_cold", _degree_step(0.75), ("get_membership_degree",), cold=True),
    Step("degree_first_line_boxed", _degree_step(Fraction(1, 4)), ("get_membership_degree",)),
    Step("degree_second_line_boxed", _degree_step(Fraction(3, 4)), ("get_membership_degree",)),
    Step("degree_int_attributes", _degree_step(0.5, _a=2, _b=1), ("get_membership_degree",)),
    Step("degree_int_attributes_second", _degree_step(0.5, _a=-1, _b=0), ("get_membership_degree",)),
    Step("degree_type_error", _degree_step(None), ("get_membership_degree",), raises=TypeError),
    Step("degree_zero_division", _degree_step(float("nan"), _a=1.0), ("get_membership_degree",),
         raises=ZeroDivisionError),
    Step("getter_a", lambda ctx: Prepared(ctx["C"].__dict__["a"].fget, (_concept(ctx),)), ("a",)),
    Step("getter_missing", _prepare_getter_missing, ("a",), raises=AttributeError),
    Step("setter_int", _setter_step(7), ("a",)),
    Step("setter_b_fraction", _setter_step(Fraction(1, 3), attribute="b"), ("b",)),
    Step("setter_bad_text", _setter_step("abc"), ("a",), raises=ValueError),
    Step("text_str_long", _setter_step(LONG_TEXT), ("a",),
         description="ASCII str over 40 characters with underscores: heap copy"),
    Step("text_bytes_long", _setter_step(LONG_TEXT.encode()), ("a",)),
    Step("text_bytearray_long", _setter_step(bytearray(LONG_TEXT.encode())), ("a",)),
    Step("text_str_short_underscore", _setter_step(" 1_000.5\t"), ("a",)),
    Step("text_non_ascii_long", _setter_step(LONG_NON_ASCII), ("a",),
         description="non-ASCII str over 40 code points: heap copy of the narrowed text"),
    Step("text_non_ascii_short", _setter_step("\u00a02.5"), ("a",)),
    Step("text_non_ascii_digits", _setter_step("\u0661\u0662\u0663.5"), ("a",),
         description="non-ASCII digits: the host's conversion"),
    Step("text_invalid_long", _setter_step("1__0" * 12), ("a",), raises=ValueError),
    Step("text_invalid_non_ascii", _setter_step("\u00a0" + "1__0" * 12), ("a",), raises=ValueError),
    Step("compute_name", _method_step("compute_name"), ("compute_name",)),
    Step("compute_name_mixed", _method_step("compute_name", k1=3, k2=True, _a="\u03a9x", _b=1e16),
         ("compute_name",)),
    Step("compute_name_astral", _method_step("compute_name", k1="\U0001f600", _b=Fraction(1, 3)),
         ("compute_name",)),
    Step("compute_name_cold", _method_step("compute_name", k1=3, _a="\u03a9x"),
         ("compute_name",), cold=True),
    Step("compute_name_format_error", _method_step("compute_name", k2=_BadFormat()),
         ("compute_name",), raises=ValueError),
    Step("hash_builtin", _prepare_hash_builtin, ("__hash__",), suffix_ok=True),
    Step("hash_builtin_cold", _prepare_hash_builtin, ("__hash__",), suffix_ok=True, cold=True),
    Step("hash_direct", _method_step("__hash__"), ("__hash__",)),
    Step("hash_unhashable_name", _method_step("__hash__", name=[]), ("__hash__",),
         raises=TypeError),
    Step("hash_unhashable_type", _method_step("__hash__", type={}), ("__hash__",),
         raises=TypeError),
    Step("clone", _prepare_clone, ("clone",)),
    Step("clone_cold", _prepare_clone, ("clone",), cold=True),
    Step("clone_missing_global", _prepare_clone_missing_global, ("clone",), raises=NameError),
    Step("neg", _prepare_neg, ("__neg__",)),
    Step("neg_cold", _prepare_neg, ("__neg__",), cold=True),
    Step("and", _prepare_and, ("__and__",)),
    Step("or", _prepare_or, ("__or__",)),
    Step("or_missing", _prepare_or_missing, ("__or__",), raises=AttributeError),
    Step("bind_keywords", _prepare_keywords, ("get_membership_degree",), prefix_ok=True),
    Step("bind_runtime_keyword", _prepare_runtime_keyword, ("get_membership_degree",), prefix_ok=True),
    Step("bind_str_subclass_keyword", _prepare_str_subclass_keyword, ("get_membership_degree",),
         prefix_ok=True),
    Step("bind_count_error", _prepare_count_error, ("get_membership_degree",), raises=TypeError),
    Step("bind_unexpected_keyword", _prepare_unexpected_keyword, ("clone",), raises=TypeError,
         prefix_ok=True),
    Step("tp_call_keyword_dict", _prepare_tp_call, ("get_membership_degree",), prefix_ok=True,
         description="type(f).__call__(f, c, value=...): tp_call with a keyword dict"),
    Step("tp_call_partial", _prepare_tp_call_partial, ("get_membership_degree",), prefix_ok=True),
    Step("tp_call_keyword_error", _prepare_tp_call_error, ("clone",), raises=TypeError, prefix_ok=True),
    Step("traceback_first_entry", _degree_step(None), ("get_membership_degree",), raises=TypeError,
         cold=True, description="first failure at a line: code object created and cached"),
    Step("traceback_first_entry_property", _setter_step("abc", attribute="b"), ("b",),
         raises=ValueError, cold=True),
]
STEP_BY_NAME = {step.name: step for step in STEPS}


# ---------------------------------------------------------------------------------------
# Child: runs failure points of one step and prints one JSON line per point.


def _chained_entries(error: BaseException) -> list[tuple[str, int]]:
    seen = set()
    current = error.__context__
    while current is not None and id(current) not in seen:
        seen.add(id(current))
        entries = module_entries(current)
        if entries:
            return entries
        current = current.__context__
    return []


class _Drain:
    """Empties the interpreter's free lists so that results need real allocations."""

    def __enter__(self):
        # Built so that no temporary object of these types is freed afterwards (a freed
        # one would go back to its free list): the floats last, from ints.
        self.tuples = [tuple([i] * size) for size in range(1, 8) for i in range(2100)]
        self.dicts = [{} for _ in range(100)]
        self.lists = [[] for _ in range(100)]
        self.floats = [i + 0.5 for i in range(400)]
        return self

    def __exit__(self, *exc):
        del self.floats, self.tuples, self.dicts, self.lists


def _describe(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}"[:300]


def _classify(step: Step, outcome: tuple, baseline: tuple, check) -> tuple[str, str]:
    """The category of one run: ok, expected, memory_entry, memory_chained,
    memory_noentry, or a fault (wrong, missing_entry, bad_line, systemerror, other)."""
    kind, value = outcome
    if kind == "result":
        if baseline[0] != "result":
            return "wrong", f"returned {value!r} where the step raises {_describe(baseline[1])}"
        if not check(value, baseline[1]):
            return "wrong", f"returned {value!r}, expected {baseline[1]!r}"
        return "ok", ""
    error = value
    if isinstance(error, SystemError):
        if str(error) == LOST_EXCEPTION:
            return "interpreter", _describe(error)
        return "systemerror", _describe(error)
    entries = module_entries(error)
    allowed = set().union(*(LINES[m] for m in step.methods)) if step.methods else None
    if entries and allowed is not None and entries[0][1] not in allowed:
        return "bad_line", f"{_describe(error)} at {entries[0]}"
    if isinstance(error, MemoryError):
        if entries:
            return "memory_entry", ""
        if _chained_entries(error):
            return "memory_chained", _describe(error.__context__)
        return "memory_noentry", ""
    if step.documented is not None and step.documented(error):
        return "documented", _describe(error)
    if baseline[0] == "error" and type(error) is type(baseline[1]) and str(error) == str(baseline[1]):
        if not entries and not step.import_step:
            return "missing_entry", _describe(error)
        return "expected", ""
    return "other", _describe(error) + (f" (context: {_describe(error.__context__)})"
                                        if error.__context__ else "")


def _attempt(prepared: Prepared, start: int, stop: int, testcapi) -> tuple[str, Any]:
    """Runs the step's call with allocations failing from the (start+1)-th on (up to the
    stop-th when stop > 0); gives ("result", value) or ("error", exception)."""
    sys._getframe()  # this frame's object exists before anything can fail
    function, args, keywords = prepared.function, prepared.args, prepared.keywords
    result = caught = None
    with _Drain():
        testcapi.set_nomemory(start, stop)
        try:
            if keywords:
                result = function(*args, **keywords)
            else:
                result = function(*args)
        except BaseException as error:  # noqa: BLE001 - every outcome is classified
            caught = error
        testcapi.remove_mem_hooks()
    if caught is not None:
        outcome = ("error", caught)
    else:
        outcome = ("result", prepared.finish(result) if prepared.finish else result)
    if prepared.reset:
        prepared.reset(outcome)
    return outcome


def _setup(step: Step) -> tuple[dict, Prepared]:
    ctx: dict = {}
    if step.import_step:
        # Everything the module imports is loaded first, so the failures land in the
        # module's own creation and execution.
        import typing  # noqa: F401
        import zlib  # noqa: F401
        for name in ("tolvane.ostrel.concept.concrete.fuzzy_concrete_concept",
                     "tolvane.ostrel.concept.operator_concept", "tolvane.ostrel.util.util"):
            importlib.import_module(name)
        ctx["spec"] = importlib.util.find_spec(MODULE)
    else:
        ctx["module"] = importlib.import_module(MODULE)
        ctx["C"] = ctx["module"].LinearConcreteConcept
    return ctx, step.prepare(ctx)


def _after_import_check(ctx: dict) -> str:
    """After an import step: the module imports (again, if it failed) and works."""
    try:
        module = importlib.import_module(MODULE)
        concept = module.LinearConcreteConcept("lin", 0, 10, 0.5, 0.25)
        if concept.get_membership_degree(0.75) != 0.625 or concept.compute_name() != \
                "linear(0.0, 10.0, 0.5, 0.25)":
            return "the module gives wrong results after the failure"
    except BaseException as error:  # noqa: BLE001
        return f"importing or using the module after the failure raised {_describe(error)}"
    return ""


def child_main(step_name: str, first: int, cold_point: str | None, limit: int | None,
               show_point: str | None = None) -> None:
    # Another module with the same two functions (for example one that also prints the
    # stack of the failing allocation) can stand in for _testcapi when hunting a finding.
    testcapi = importlib.import_module(os.environ.get("NOMEMORY_SWEEP_HOOKS", "_testcapi"))

    step = STEP_BY_NAME[step_name]
    ctx, prepared = _setup(step)
    check = prepared.check or same
    gc.collect()
    gc.disable()
    out = sys.stdout

    def emit(record):
        out.write(json.dumps(record) + "\n")
        out.flush()

    def clean_run():
        return _attempt(prepared, 10**9, 0, testcapi)

    def after(baseline) -> str:
        """A run without failures after a failure point must behave as the baseline."""
        if step.import_step:
            return _after_import_check(ctx)
        again = clean_run()
        if _same_outcome(again, baseline, check):
            return ""
        shown = _describe(again[1]) if again[0] == "error" else repr(again[1])[:200]
        return f"a run without failures afterwards gave {shown}"

    if cold_point is not None:
        # One point in a fresh interpreter: the failing run first, then a clean one.
        mode, n = cold_point.split(":")
        n = int(n)
        emit({"try": [mode, n]})
        outcome = _attempt(prepared, n, n + 1 if mode == "single" else 0, testcapi)
        gc.enable()
        gc.collect()
        if step.import_step:
            baseline = ("result", outcome[1] if outcome[0] == "result" else None)
            category, detail = ("ok", "") if outcome[0] == "result" else \
                _classify(step, outcome, baseline, check)
        else:
            baseline = clean_run()
            category, detail = _classify(step, outcome, baseline, check)
        emit({"mode": mode, "n": n, "category": category, "detail": detail, "after": after(baseline)})
        return

    baseline = clean_run()
    for _ in range(2):  # warm every cache the step uses
        clean_run()
    emit({"baseline": _describe(baseline[1]) if baseline[0] == "error" else repr(baseline[1])[:200]})
    if step.raises is None and baseline[0] == "error":
        emit({"fatal": f"the step fails without any allocation failure: {_describe(baseline[1])}"})
        return
    if step.raises is not None and (baseline[0] != "error" or not isinstance(baseline[1], step.raises)):
        emit({"fatal": f"the step should raise {step.raises.__name__}, gave {baseline!r}"})
        return
    if show_point is not None:
        # One point after the warm-up, shown in full: for reproducing a finding.
        mode, n = show_point.split(":")
        n = int(n)
        outcome = _attempt(prepared, n, n + 1 if mode == "single" else 0, testcapi)
        print(f"{mode} N={n}: {_classify(step, outcome, baseline, check)}")
        if outcome[0] == "result":
            print(f"result {outcome[1]!r}")
        else:
            import traceback
            traceback.print_exception(outcome[1], file=sys.stdout)
        return

    k = first
    persistent_done_at = None if limit is None else limit - MARGIN
    while True:
        n, mode = k // 2, ("single", "persistent")[k % 2]
        k += 1
        if n >= MAX_POINTS:
            emit({"cut_off": n})
            break
        if persistent_done_at is not None and n > persistent_done_at + MARGIN:
            break
        if mode == "persistent" and persistent_done_at is not None:
            continue
        emit({"try": [mode, n]})
        outcome = _attempt(prepared, n, n + 1 if mode == "single" else 0, testcapi)
        category, detail = _classify(step, outcome, baseline, check)
        del outcome
        gc.collect()
        problem = after(baseline)
        emit({"mode": mode, "n": n, "category": category, "detail": detail, "after": problem})
        if mode == "persistent" and category in ("ok", "expected") and not problem:
            persistent_done_at = n
            emit({"total": n})


def _same_outcome(outcome, baseline, check) -> bool:
    if outcome[0] != baseline[0]:
        return False
    if outcome[0] == "result":
        return check(outcome[1], baseline[1])
    return type(outcome[1]) is type(baseline[1]) and str(outcome[1]) == str(baseline[1])


# ---------------------------------------------------------------------------------------
# Parent: drives the children of each step and judges the outcomes.


class StepReport:
    def __init__(self, name: str):
        self.name = name
        self.points = 0
        self.total: int | None = None
        self.counts: dict = {}
        self.faults: list = []
        self.single: dict = {}      # n -> category of the single run
        self.notes: list = []
        self.seconds = 0.0


FAULT_CATEGORIES = {"wrong", "missing_entry", "bad_line", "systemerror", "other"}


def _child_command(step: Step, first: int = 0, cold_point: str | None = None,
                   limit: int | None = None) -> list[str]:
    command = [sys.executable, "-X", "faulthandler", os.path.abspath(__file__), "--child", step.name,
               "--first", str(first)]
    if cold_point is not None:
        command += ["--cold-point", cold_point]
    if limit is not None:
        command += ["--limit", str(limit)]
    return command


def _exit_text(code: int) -> str:
    import signal
    if code < 0:
        try:
            return f"killed by {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exit status {code}"


def _run_child(command: list[str], timeout: float) -> tuple[list[dict], int, str]:
    import subprocess
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired as expired:
        stdout = expired.stdout.decode() if isinstance(expired.stdout, bytes) else (expired.stdout or "")
        records = [json.loads(line) for line in stdout.splitlines() if line.startswith("{")]
        return records, -9, "timed out"
    records = []
    for line in result.stdout.splitlines():
        if line.startswith("{"):
            try:
                records.append(json.loads(line))
            except json.JSONDecodeError:
                pass
    return records, result.returncode, result.stderr[-3000:]


def _record(report: StepReport, record: dict) -> None:
    mode, n, category = record["mode"], record["n"], record["category"]
    report.points += 1
    key = f"{mode}:{category}"
    report.counts[key] = report.counts.get(key, 0) + 1
    if mode == "single":
        report.single[n] = category
    if category in FAULT_CATEGORIES:
        report.faults.append(f"{mode} N={n}: {category}: {record['detail']}")
    if record.get("after"):
        report.faults.append(f"{mode} N={n}: after the failure: {record['after']}")


def _crash(report: StepReport, step: Step, tried, code: int, stderr: str) -> None:
    where = f"{tried[0]} N={tried[1]}" if tried else "during set-up"
    report.points += 1 if tried else 0
    report.faults.append(f"{where}: the interpreter died ({_exit_text(code)}); "
                         f"reproduce: {' '.join(_child_command(step, cold_point=f'{tried[0]}:{tried[1]}' if tried else None))}"
                         f"\n    stderr: {stderr.strip()[-1500:]}")


def sweep_warm(step: Step, timeout: float) -> StepReport:
    report = StepReport(step.name)
    first, limit = 0, None
    while True:
        records, code, stderr = _run_child(_child_command(step, first, limit=limit), timeout)
        tried = None
        finished = False
        for record in records:
            if "fatal" in record:
                report.faults.append("set-up: " + record["fatal"])
                return report
            if "baseline" in record:
                report.notes.append("baseline: " + record["baseline"])
            elif "try" in record:
                tried = record["try"]
            elif "total" in record:
                report.total = record["total"]
                limit = report.total + MARGIN
            elif "cut_off" in record:
                report.faults.append(f"cut off at {record['cut_off']} failure points")
            elif "mode" in record:
                _record(report, record)
                tried = None
        if code == 0:
            finished = True
        else:
            if tried is None:
                _crash(report, step, None, code, stderr)
                return report
            _crash(report, step, tried, code, stderr)
            first = tried[1] * 2 + (0 if tried[0] == "single" else 1) + 1
        if finished:
            return report


def sweep_cold(step: Step, timeout: float, executor) -> StepReport:
    report = StepReport(step.name)
    n = 0
    total = None
    batch = 8
    while True:
        points = []
        for i in range(n, n + batch):
            points.append(("single", i))
            # Persistent runs at every point of the first 64, then at every 4th: each
            # cold point costs an interpreter, and the long import steps need few.
            if total is None and (i < 64 or i % 4 == 0):
                points.append(("persistent", i))
        futures = [executor.submit(_run_child, _child_command(step, cold_point=f"{m}:{i}"), timeout)
                   for m, i in points]
        for (mode, i), future in zip(points, futures):
            records, code, stderr = future.result()
            result = [r for r in records if "mode" in r]
            if code != 0 or not result:
                _crash(report, step, (mode, i), code, stderr)
                continue
            _record(report, result[0])
            if mode == "persistent" and total is None and result[0]["category"] in ("ok", "expected") \
                    and not result[0]["after"]:
                total = i
                report.total = i
        n += batch
        if total is not None and n > total + MARGIN:
            return report
        if n >= MAX_POINTS:
            report.faults.append(f"cut off at {n} failure points")
            return report


def judge_entries(step: Step, report: StepReport) -> None:
    """Entry-less MemoryErrors of single runs are accepted only
    - before the first point that leaves an entry, for steps whose call allocates before
      the module runs (no entry is due there);
    - after the last point that leaves an entry, for steps whose caller allocates after
      the module has returned (the builtin hash() making its int);
    - for steps that fail by design, within one short span of points: the allocations of
      the entry itself (code object, frame, traceback object), made after the exception
      is raised, which drop the entry when they fail. The span is TAIL_LIMIT_WARM points
      long at most when the code object is cached, TAIL_LIMIT_COLD when it is created.
    Any other is a missing traceback entry."""
    points = sorted(report.single)
    noentry = [n for n in points if report.single[n] == "memory_noentry"]
    if not noentry:
        return
    entry_bearing = [n for n in points if report.single[n] in ("memory_entry", "memory_chained")]
    first_entry = next((n for n in points if report.single[n] in
                        ("memory_entry", "memory_chained", "expected", "ok")), None)
    leading = [n for n in noentry if first_entry is None or n < first_entry] if step.prefix_ok else []
    trailing = [n for n in noentry if entry_bearing and n > entry_bearing[-1]] \
        if step.suffix_ok else []
    rest = [n for n in noentry if n not in leading and n not in trailing]
    span: list[int] = []
    limit = TAIL_LIMIT_COLD if step.cold else TAIL_LIMIT_WARM
    if rest and step.raises is not None and rest[-1] - rest[0] < limit:
        span = rest
    unexplained = [n for n in rest if n not in span]
    if leading:
        report.notes.append(f"{len(leading)} entry-less MemoryErrors before the first step that "
                            f"records entries (N={leading[0]}..{leading[-1]}): no entry due")
    if trailing:
        report.notes.append(f"{len(trailing)} entry-less MemoryErrors after the module returned "
                            f"(N={trailing[0]}..{trailing[-1]}): no entry due")
    if span:
        report.notes.append(f"{len(span)} entry-less MemoryErrors while recording the entry "
                            f"(N={span[0]}..{span[-1]}): the traceback machinery could not "
                            f"allocate, the entry is dropped")
    for n in unexplained:
        report.faults.append(f"single N={n}: MemoryError without the module's traceback entry")


def main(argv=None) -> int:
    import argparse
    import concurrent.futures
    import time
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--steps", help="comma-separated step names (default: all)")
    parser.add_argument("--skip", help="comma-separated step names to leave out")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds per child")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--json", help="write the reports to this file")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--first", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--cold-point", help=argparse.SUPPRESS)
    parser.add_argument("--limit", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--show", metavar="MODE:N",
                        help="with --child STEP: run one failure point after the warm-up and "
                             "print its outcome in full (MODE is single or persistent)")
    args = parser.parse_args(argv)

    if args.child:
        child_main(args.child, args.first, args.cold_point, args.limit, args.show)
        return 0
    if args.list:
        for step in STEPS:
            print(f"{step.name:34} {'cold' if step.cold else 'warm'}  {step.description}")
        return 0
    try:
        import _testcapi
        _testcapi.set_nomemory  # noqa: B018
    except (ImportError, AttributeError):
        print("this interpreter has no _testcapi.set_nomemory", file=sys.stderr)
        return 2

    steps = STEPS
    if args.steps:
        unknown = set(args.steps.split(",")) - STEP_BY_NAME.keys()
        if unknown:
            parser.error(f"unknown steps: {', '.join(sorted(unknown))}")
        steps = [STEP_BY_NAME[name] for name in args.steps.split(",")]
    if args.skip:
        steps = [step for step in steps if step.name not in args.skip.split(",")]

    started = time.monotonic()
    reports: list[StepReport] = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as cold_pool, \
            concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as warm_pool:
        def one(step: Step) -> StepReport:
            began = time.monotonic()
            if step.cold:
                report = sweep_cold(step, args.timeout, cold_pool)
            else:
                report = sweep_warm(step, args.timeout)
            judge_entries(step, report)
            report.seconds = time.monotonic() - began
            return report

        # Cold steps share the pool of children themselves; warm steps run side by side.
        warm = [warm_pool.submit(one, step) for step in steps if not step.cold]
        for step in steps:
            if step.cold:
                reports.append(one(step))
        reports.extend(future.result() for future in warm)

    order = {step.name: i for i, step in enumerate(STEPS)}
    reports.sort(key=lambda report: order[report.name])
    faults = 0
    total_points = 0
    for report in reports:
        total_points += report.points
        faults += len(report.faults)
        counts = ", ".join(f"{key}={value}" for key, value in sorted(report.counts.items()))
        status = "FAULT" if report.faults else "ok"
        print(f"{status:5} {report.name:34} points={report.points:5} allocations~{report.total} "
              f"{report.seconds:6.1f}s  {counts}")
        for note in report.notes:
            print(f"        note: {note}")
        for fault in report.faults:
            print(f"        FAULT: {fault}")
    elapsed = time.monotonic() - started
    print(f"\n{len(reports)} steps, {total_points} allocation-failure points tried, "
          f"{faults} faults, {elapsed:.1f}s")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as handle:
            json.dump([report.__dict__ for report in reports], handle, indent=1, default=str)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
