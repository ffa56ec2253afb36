"""Reference-leak hunting for module set-up: failed imports retried, and the import paths
that end without running the module body again.

    python tools/refleaks_module_setup.py [--warmup 3] [--runs 3] [--batch 8]

Run it with a debug interpreter (one with `sys.gettotalrefcount`) that has the package
installed. A failed execution of the module can be retried, so each case runs in a fresh
interpreter that arranges one failure (or one repeatable import path) and repeats it:
WARMUP attempts, then RUNS rounds of BATCH attempts, reading the total reference count and
the allocated blocks after each round. A case whose counts grow on every round leaks; the
script then exits with status 1. Each case also checks that its attempt fails the way it
should, so that a case cannot quietly stop reaching the step it is about.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import textwrap

MODULE = "tolvane.ostrel.concept.concrete.linear_concrete_concept"
FUZZY = "tolvane.ostrel.concept.concrete.fuzzy_concrete_concept"
PLANTED = "planted leak"

# Runs in the child: the case's `setup` defines cases(); this measures each attempt.
DRIVER = """
import gc, json, sys, types
MODULE = {module!r}
FUZZY = {fuzzy!r}
PLANTED = {planted!r}

def import_fails(expected, message=None):
    sys.modules.pop(MODULE, None)
    try:
        __import__(MODULE)
    except expected as error:
        if message is not None and message not in str(error):
            raise SystemExit(f"the import failed otherwise: {{error!r}}")
        return
    raise SystemExit("the import did not fail")

def with_base(base):
    fuzzy = types.ModuleType(FUZZY)
    fuzzy.FuzzyConcreteConcept = base
    sys.modules[FUZZY] = fuzzy

{setup}

def read_into(counters, index):
    # Stored in an array: readings kept as int objects would count themselves.
    sys._clear_type_cache()
    gc.collect()
    counters[2 * index] = sys.gettotalrefcount()
    counters[2 * index + 1] = sys.getallocatedblocks() - sys._getquickenedcount()

def measure(results):
    import array
    for name, attempt, *blocks in cases():
        counters = array.array("q", bytes(16 * ({runs} + 1)))
        for _ in range({warmup}):
            attempt()
        read_into(counters, 0)
        for round in range({runs}):
            for _ in range({batch}):
                attempt()
            read_into(counters, round + 1)
        results[name] = {{"readings": [counters[i:i + 2].tolist() for i in range(0, len(counters), 2)],
                         "blocks": bool(blocks[0]) if blocks else True}}

results = {{}}
measure(results)
print(json.dumps(results))
"""

# Each case: setup code defining cases(), a generator of (name, attempt) pairs, or of
# (name, attempt, False) where only the reference count is judged.
CASES = {
    # A case that cannot see a leak proves nothing: this one must be reported.
    "planted": """
        import ctypes
        kept = []
        def attempt():
            kept.append(object())
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(kept))
        def cases():
            yield PLANTED, attempt
    """,
    "zlib unavailable": """
        sys.modules["zlib"] = None
        def cases():
            yield "zlib unavailable", lambda: import_fails(ImportError, "zlib.decompress")
    """,
    "zlib returning garbage": """
        import zlib
        zlib.decompress = lambda data: b"short"
        def cases():
            yield "zlib returning garbage", lambda: import_fails(ImportError)
    """,
    "typing blocked": """
        import tolvane.ostrel.concept.operator_concept, tolvane.ostrel.util.util
        sys.modules["typing"] = None
        def cases():
            yield "typing blocked", lambda: import_fails(ImportError)
    """,
    "typing refused by a finder": """
        import tolvane.ostrel.concept.operator_concept, tolvane.ostrel.util.util
        class Refuse:
            def find_spec(self, name, path=None, target=None):
                if name == "typing":
                    raise ImportError("typing refused")
        del sys.modules["typing"]
        sys.meta_path.insert(0, Refuse())
        def cases():
            yield "typing refused by a finder", lambda: import_fails(ImportError, "typing refused")
    """,
    "collaborators missing": """
        import importlib
        def missing(name):
            def attempt():
                real = importlib.import_module(name)
                sys.modules[name] = types.ModuleType(name)
                try:
                    import_fails(ImportError, "cannot import name")
                finally:
                    sys.modules[name] = real
            return attempt
        def cases():
            for name in (FUZZY, "tolvane.ostrel.concept.operator_concept",
                         "tolvane.ostrel.util.util"):
                yield "missing " + name.rpartition(".")[2], missing(name)
    """,
    "property missing": """
        import builtins
        def attempt():
            kept = builtins.property
            del builtins.property
            try:
                import_fails(NameError, "property")
            finally:
                builtins.property = kept
        def cases():
            yield "builtin property missing", attempt
    """,
    "bases": """
        class ListEntries:
            def __mro_entries__(self, bases):
                return [object]
        class RaisingEntries:
            def __mro_entries__(self, bases):
                raise LookupError("no entries")
        class MetaA(type): pass
        class MetaB(type): pass
        class A(metaclass=MetaA): pass
        class B(metaclass=MetaB): pass
        class Conflict:
            def __mro_entries__(self, bases):
                return (A, B)
        def case(base, expected, message):
            def attempt():
                with_base(base)
                import_fails(expected, message)
            return attempt
        def cases():
            yield "__mro_entries__ not a tuple", case(ListEntries(), TypeError, "must return a tuple")
            yield "__mro_entries__ raising", case(RaisingEntries(), LookupError, "no entries")
            yield "metaclass conflict", case(Conflict(), TypeError, "metaclass conflict")
    """,
    "metaclass": """
        class PrepareRaises(type):
            @classmethod
            def __prepare__(cls, name, bases):
                raise LookupError("no namespace")
        class PrepareList(type):
            @classmethod
            def __prepare__(cls, name, bases):
                return []
        class NewRaises(type):
            def __new__(cls, name, bases, namespace):
                if name == "LinearConcreteConcept":
                    raise LookupError("no class")
                return super().__new__(cls, name, bases, namespace)
        class InitSubclassRaises:
            def __init_subclass__(cls):
                raise LookupError("no subclass")
        def case(base, expected, message):
            def attempt():
                with_base(base)
                import_fails(expected, message)
            return attempt
        def cases():
            yield "__prepare__ raising", case(PrepareRaises("Base", (), {}), LookupError, None)
            yield "__prepare__ not a mapping", case(PrepareList("Base", (), {}), TypeError, None)
            yield "metaclass call raising", case(NewRaises("Base", (), {}), LookupError, "no class")
            yield "__init_subclass__ raising", case(InitSubclassRaises, LookupError, "no subclass")
    """,
    "class body": """
        # Refuses the N-th store into the class namespace, for every N the body makes, and
        # the property setters' reads of it.
        state = {"refuse_at": -1, "stores": 0, "refuse_read": None, "refuse_class": False}
        class Namespace(dict):
            counted = False
            def __setitem__(self, key, value):
                if self.counted:
                    state["stores"] += 1
                    if state["stores"] - 1 == state["refuse_at"]:
                        raise KeyError("refused " + key)
                super().__setitem__(key, value)
            def __getitem__(self, key):
                if self.counted and key == state["refuse_read"]:
                    raise KeyError(key)
                if self.counted and key == "b" and state["refuse_read"] == "no setter":
                    return object()
                return super().__getitem__(key)
        class Meta(type):
            @classmethod
            def __prepare__(cls, name, bases):
                namespace = Namespace()
                namespace.counted = name == "LinearConcreteConcept"
                return namespace
            def __new__(cls, name, bases, namespace):
                if name == "LinearConcreteConcept" and state["refuse_class"]:
                    raise KeyError("refused the class")
                return super().__new__(cls, name, bases, namespace)
        class Base(metaclass=Meta):
            type = "concrete"
        def attempt_with(refuse_at=-1, refuse_read=None, refuse_class=False,
                         expected=KeyError, message="refused"):
            def attempt():
                state.update(refuse_at=refuse_at, stores=0, refuse_read=refuse_read,
                             refuse_class=refuse_class)
                with_base(Base)
                import_fails(expected, message)
            return attempt
        def cases():
            # Count the body's stores in an attempt that fails only at the class call.
            attempt_with(refuse_class=True)()
            stores = state["stores"]
            if stores < 10:
                raise SystemExit(f"only {stores} class body stores counted")
            for n in range(stores):
                yield f"class body store {n + 1} of {stores} refused", attempt_with(refuse_at=n)
            yield "class call refused after the body", attempt_with(refuse_class=True)
            yield "property re-read missing", attempt_with(refuse_read="a", expected=NameError,
                                                           message="'a'")
            yield "property without setter", attempt_with(refuse_read="no setter",
                                                          expected=AttributeError, message="setter")
    """,
    "repeatable imports": """
        import importlib.util, ctypes
        spec = importlib.util.find_spec(MODULE)
        # Module objects made before the first execution: executing any of them after it
        # fails. They stay alive, so that only what a failed execution keeps would count.
        others = [importlib.util.module_from_spec(spec) for _ in range(64)]
        module = others.pop()
        spec.loader.exec_module(module)
        sys.modules[MODULE] = module
        position = [0]
        def next_other():
            position[0] = (position[0] + 1) % len(others)
            return others[position[0]]
        def reimport():
            del sys.modules[MODULE]
            assert __import__(MODULE, fromlist=["x"]) is module
        def exec_again():
            try:
                spec.loader.exec_module(next_other())
            except RuntimeError:
                return
            raise SystemExit("a second execution did not fail")
        definition = ctypes.PyDLL(spec.origin).PyInit_linear_concrete_concept
        definition.restype = ctypes.c_void_p
        from_spec = ctypes.pythonapi.PyModule_FromDefAndSpec2
        from_spec.restype = ctypes.py_object
        from_spec.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
        def create(**attributes):
            return from_spec(definition(), types.SimpleNamespace(**attributes), 1013)
        def create_without_name():
            try:
                create(origin="O")
            except AttributeError:
                return
            raise SystemExit("a spec without a name was accepted")
        def cases():
            yield "import after removal from sys.modules", reimport
            yield "importlib.reload", lambda: importlib.reload(module)
            # The interpreter allocates a state marker at the first execution of each
            # module object, failed or not: a block for each object, the module's or not.
            yield "execution on another module object", exec_again, False
            yield "create slot, every spec attribute", lambda: create(
                name="m", loader="L", origin="O", parent="P", submodule_search_locations=["S"])
            yield "create slot, spec without a name", create_without_name
    """,
}


def run_case(title: str, setup: str, warmup: int, runs: int, batch: int) -> dict:
    code = DRIVER.format(module=MODULE, fuzzy=FUZZY, planted=PLANTED, setup=textwrap.dedent(setup),
                         warmup=warmup, runs=runs, batch=batch)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"case {title!r} did not run:\n{result.stdout}\n{result.stderr}")
    return json.loads(result.stdout.strip().splitlines()[-1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--warmup", type=int, default=3)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--batch", type=int, default=8)
    options = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        print("needs a debug interpreter (sys.gettotalrefcount)", file=sys.stderr)
        return 2
    leaks = 0
    checked = 0
    for title, setup in CASES.items():
        for case, result in run_case(title, setup, options.warmup, options.runs,
                                     options.batch).items():
            readings = result["readings"]
            refs = [b[0] - a[0] for a, b in zip(readings, readings[1:])]
            blocks = [b[1] - a[1] for a, b in zip(readings, readings[1:])]
            # As regrtest: growth in every round is a leak, one quiet round is noise.
            leaking = all(d >= 1 for d in refs) or (result["blocks"] and all(d >= 1 for d in blocks))
            if case == PLANTED:
                if not leaking:
                    print(f"the planted leak was not seen: references {refs}, blocks {blocks}")
                    return 1
                print(f"found {case}: references {refs}, blocks {blocks}")
                continue
            checked += 1
            leaks += leaking
            print(f"{'LEAK' if leaking else 'ok  '} {case}: references {refs}, blocks {blocks}")
    print(f"{checked} module set-up cases, {options.warmup} warm-up attempts then "
          f"{options.runs} rounds of {options.batch}: "
          + (f"{leaks} leaking" if leaks else "no leaks"))
    return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main())
