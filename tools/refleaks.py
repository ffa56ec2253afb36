"""Reference-leak hunting for the pytest suite, the way CPython's `regrtest -R` does it.

Load it on a debug interpreter (one with `sys.gettotalrefcount`) from the repository root:

    PYTHONPATH=tools python -m pytest -p refleaks --refleaks=3:3 tests/test_concept.py

Each test then runs WARMUP + RUNS times in this process: set-up, call and tear-down each
time, so function-scoped fixtures are fresh while module-, class- and session-scoped ones
are kept. After the warm-up runs and after each measured run the interpreter's caches are
cleared, the garbage collected and three counters read: the total reference count, the
allocated memory blocks and the open file descriptors. A test whose reference or block
count grows on every measured run (the warm-up runs fill caches and are not judged), or
whose descriptor count changes on any, fails with the deltas. Tests whose call starts a
process run once only: what they check happens in the child, out of sight of these
counters. Known leaks of the interpreter itself are listed in KNOWN_INTERPRETER_LEAKS.
"""

from __future__ import annotations

import array
import fnmatch
import functools
import gc
import importlib.machinery
import os
import sys

import pytest
from _pytest.runner import CallInfo, runtestprotocol

# The tests' named source lines, found beside this directory in the tree.
sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from named_lines import step_line  # noqa: E402

_PROCESS_EVENTS = frozenset({"subprocess.Popen", "os.system", "os.posix_spawn", "os.fork",
                             "os.spawn", "os.exec", "pty.spawn"})


def pytest_addoption(parser):
    group = parser.getgroup("refleaks", "reference-leak hunting (debug interpreter)")
    group.addoption(
        "--refleaks", metavar="WARMUP:RUNS", default=None,
        help="run each test WARMUP+RUNS times and fail tests whose reference or memory-block "
             "count grows on each of the RUNS measured runs")


def _parse(value: str) -> tuple[int, int]:
    warmup, sep, runs = value.partition(":")
    try:
        counts = int(warmup), int(runs)
    except ValueError:
        counts = (-1, -1)
    if not sep or counts[0] < 0 or counts[1] < 1:
        raise pytest.UsageError(f"--refleaks expects WARMUP:RUNS (e.g. 3:3), got {value!r}")
    return counts


def pytest_configure(config):
    value = config.getoption("refleaks")
    if value is None:
        return
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--refleaks needs a debug interpreter (sys.gettotalrefcount)")
    warmup, runs = _parse(value)
    config.pluginmanager.register(LeakHunter(warmup, runs), "refleaks-hunter")


def _hypothesis_profile():
    """Same examples on every run, no example database, no deadline on a slow interpreter."""
    try:
        from hypothesis import settings
    except ImportError:
        return
    settings.register_profile("refleaks", derandomize=True, database=None, deadline=None)
    settings.load_profile("refleaks")


def _clear_caches():
    """Empties the caches that grow on first use, so that only real growth remains."""
    sys._clear_type_cache()
    modules = sys.modules
    if "re" in modules:
        modules["re"].purge()
    if "linecache" in modules:
        modules["linecache"].clearcache()
    if "struct" in modules:
        modules["struct"]._clearcache()
    if "typing" in modules:
        for cleanup in modules["typing"]._cleanups:
            cleanup()
    # One full collection per reading: garbage that needs two passes every time shifts each
    # reading by the same amount and cancels out in the deltas.
    gc.collect()


def _forget_finished_fixtures(item):
    """Drops the finalizers that the item's function-scoped fixtures left on wider ones.

    pytest registers, on every fixture a function-scoped fixture depends on, a call that
    finishes the dependent one; a module- or session-scoped fixture keeps those calls (and
    the requests they hold) until it is torn down itself, so repeating a test grows it.
    They are no-ops once the test has been torn down.
    """
    names = getattr(getattr(item, "_fixtureinfo", None), "name2fixturedefs", {})
    for definitions in names.values():
        for definition in definitions:
            finalizers = getattr(definition, "_finalizers", None)
            if definition.scope == "function" or not isinstance(finalizers, list):
                continue
            finalizers[:] = [f for f in finalizers if not _finishes_test_fixture(f, item)]


def _finishes_test_fixture(finalizer, item) -> bool:
    if not isinstance(finalizer, functools.partial):
        return False
    owner = getattr(finalizer.func, "__self__", None)
    request = finalizer.keywords.get("request")
    return (getattr(owner, "scope", None) == "function"
            and getattr(owner, "cached_result", True) is None
            and getattr(request, "_pyfuncitem", None) is item)


# Leaks of the interpreter itself that a test reaches through the module, not the module's
# own: node-id patterns (fnmatch) and the reason. Such a test is reported, not failed.
KNOWN_INTERPRETER_LEAKS = {
    f"tests/test_concept.py::TestHash::test_failures*-TypeError-{step_line('hash_reads_values')}*":
        "CPython 3.11's slot_tp_hash keeps a reference to a non-int __hash__ result "
        "when it raises 'TypeError: __hash__ method should return an integer'",
}


def _known_interpreter_leak(nodeid):
    for pattern, reason in KNOWN_INTERPRETER_LEAKS.items():
        if fnmatch.fnmatchcase(nodeid, pattern):
            return reason
    return None


# The extension modules built from this repository: the package's and the test helper.
OWN_EXTENSIONS = ("tolvane.", "_native_test_helper")


def _extensions_blind_to_references():
    """This repository's extension modules that do not count references.

    An extension compiled without Py_REF_DEBUG changes reference counts without telling
    sys.gettotalrefcount(): its leaks are invisible and objects it frees look leaked. That
    happens quietly when a build picks up the release pyconfig.h. One that counts refers to
    the interpreter's _Py_RefTotal, so the name is in its dynamic string table.
    """
    blind = []
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    for name, module in list(sys.modules.items()):
        path = getattr(module, "__file__", None)
        if (not name.startswith(OWN_EXTENSIONS) or not isinstance(path, str)
                or not path.endswith(suffixes)):
            continue
        with open(path, "rb") as file:
            if b"_Py_RefTotal\0" not in file.read():
                blind.append(path)
    return blind


def _descriptor_count() -> int:
    try:
        return len(os.listdir("/proc/self/fd"))
    except OSError:
        return 0


class LeakHunter:
    def __init__(self, warmup: int, runs: int):
        self.warmup = warmup
        self.runs = runs
        self.in_call = False
        self.process_started = False
        self.repeated = 0
        self.single = []    # node ids run once because they start processes
        self.leaks = []     # (node id, description)
        self.known = []     # (node id, description, reason): the interpreter's own leaks
        self.blind = []     # extension modules that do not count references
        _hypothesis_profile()
        sys.addaudithook(self._audit)

    def pytest_collection_finish(self, session):
        # What exists now (modules, test modules, the test runner) lives to the end: moved
        # out of the collector's sight, each reading's full collection scans only what the
        # tests made since, which makes it many times faster.
        gc.collect()
        gc.freeze()

    def _audit(self, event, args):
        if self.in_call and event in _PROCESS_EVENTS:
            self.process_started = True

    @pytest.hookimpl(wrapper=True)
    def pytest_runtest_call(self, item):
        self.in_call = True
        try:
            return (yield)
        finally:
            self.in_call = False

    def _measure(self, counters, index):
        _clear_caches()
        # Read straight after the collection; the array keeps no int objects alive.
        counters[3 * index] = sys.gettotalrefcount()
        counters[3 * index + 1] = sys.getallocatedblocks() - sys._getquickenedcount()
        counters[3 * index + 2] = _descriptor_count()

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        ihook = item.ihook
        ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        total = self.warmup + self.runs
        # Between runs only the item's own set-up is torn down: a stand-in "next item"
        # whose chain is the item's parents keeps wider fixtures alive.
        keep_parents = _ParentChain(item)
        # Counters after the warm-up and after each measured run; the array holds no int
        # objects that would themselves count.
        counters = array.array("q", bytes(8 * 3 * (self.runs + 1)))
        self.process_started = False
        done = 0
        reports = []
        while done < total:
            if done == self.warmup:
                self._measure(counters, 0)
            reports = runtestprotocol(item, log=False, nextitem=keep_parents)
            _forget_finished_fixtures(item)
            done += 1
            if any(report.failed or report.skipped for report in reports):
                break
            if self.process_started:
                self.single.append(item.nodeid)
                break
            if done > self.warmup:
                self._measure(counters, done - self.warmup)
        verdict = None
        if done == total and not any(report.failed or report.skipped for report in reports):
            self.repeated += 1
            verdict = self._verdict(counters)
            known = verdict and _known_interpreter_leak(item.nodeid)
            if known:
                self.known.append((item.nodeid, verdict, known))
                verdict = None
        for report in reports:
            if verdict is not None and report.when == "call":
                report.outcome = "failed"
                report.longrepr = (f"leaked {verdict} over {self.runs} measured runs "
                                   f"(after {self.warmup} warm-up runs)")
                self.leaks.append((item.nodeid, verdict))
            ihook.pytest_runtest_logreport(report=report)
        self._tear_down_to(item, nextitem)
        ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    def _verdict(self, counters):
        found = []
        for offset, what in ((0, "references"), (1, "memory blocks"), (2, "file descriptors")):
            deltas = [counters[3 * i + offset] - counters[3 * (i - 1) + offset]
                      for i in range(1, self.runs + 1)]
            # As regrtest: growth on every measured run is a leak; one quiet run is noise
            # (a cache filling up, a free list, a dict resize). Descriptors must not move.
            leaking = any(deltas) if offset == 2 else all(delta >= 1 for delta in deltas)
            if leaking:
                found.append(f"{what} {deltas}, sum={sum(deltas)}")
        return "; ".join(found) or None

    def _tear_down_to(self, item, nextitem):
        """Tears down the fixtures the next item does not share, reporting any failure."""
        call = CallInfo.from_call(
            lambda: item.session._setupstate.teardown_exact(nextitem), when="teardown")
        if call.excinfo is not None:
            report = item.ihook.pytest_runtest_makereport(item=item, call=call)
            item.ihook.pytest_runtest_logreport(report=report)

    def pytest_sessionfinish(self, session):
        self.blind = _extensions_blind_to_references()
        if self.blind:
            session.exitstatus = pytest.ExitCode.TESTS_FAILED

    def pytest_terminal_summary(self, terminalreporter):
        write = terminalreporter.write_line
        terminalreporter.section("reference leaks")
        for path in self.blind:
            write(f"ERROR: {path} was compiled without Py_REF_DEBUG: its reference counting is "
                  f"invisible to sys.gettotalrefcount(), so its leaks go unseen and the objects "
                  f"it frees look leaked (with GCC, build with "
                  f"CXXFLAGS=-fno-canonical-system-headers)", red=True)
        write(f"{self.repeated} tests run {self.warmup}+{self.runs} times "
              f"(warm-up + measured) and checked for growing reference, memory-block and "
              f"file-descriptor counts")
        if self.single:
            write(f"{len(self.single)} tests run once: their call starts a process")
        for nodeid, verdict, reason in self.known:
            write(f"known interpreter leak, not counted: {nodeid}: {verdict} ({reason})")
        if self.leaks:
            write(f"{len(self.leaks)} leaking tests:")
            for nodeid, verdict in self.leaks:
                write(f"  {nodeid}: {verdict}")
        else:
            write("no leaks")


class _ParentChain:
    """Looks like an item whose collector chain is the given item's parents."""

    def __init__(self, item):
        self._chain = item.listchain()[:-1]

    def listchain(self):
        return self._chain
