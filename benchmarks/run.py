"""Times LinearConcreteConcept, compiled module against plain Python, operation by operation.

Both classes live in one process: the compiled module is imported under its own name
and the plain-Python linear_concrete_concept.py is loaded by path under another name,
with the same collaborators. For each operation the two are timed in short alternating
rounds, each a compiled timeit loop, and each back-to-back pair gives one ratio
plain/module; the table shows the median of those paired ratios (with its quartiles)
and the median time per operation of each side. Pairing keeps the ratio sound on a
machine whose speed changes from one moment to the next.

After the times, each operation is counted in instructions under valgrind's callgrind:
a child process runs it N times and once 0 times, and the difference over N is the
count per operation. Counts do not depend on the machine's speed or load, so a change
of 1% shows in them where times would hide it. Without valgrind the run says so and
shows the times alone.

    python benchmarks/run.py                  # times and counts, about three minutes
    python benchmarks/run.py --quick          # a few seconds of timing, fewer counted runs
    python benchmarks/run.py --callgrind      # instruction counts only
    python benchmarks/run.py --no-callgrind   # times only
"""

from __future__ import annotations

import argparse
import importlib
import importlib.machinery
import importlib.util
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULE_NAME = "tolvane.ostrel.concept.concrete.linear_concrete_concept"
PLAIN_SOURCE = ROOT / "python" / "tolvane" / "ostrel" / "concept" / "concrete" / "linear_concrete_concept.py"

# Every operation runs on c = C("lin", 0.0, 1.0, 0.4, 0.8) and d = C("other", 0.0, 1.0, 0.5, 0.25).
SETUP = 'c = C("lin", 0.0, 1.0, 0.4, 0.8); d = C("other", 0.0, 1.0, 0.5, 0.25)'
OPERATIONS = [
    ("construct", 'C("lin", 0.0, 1.0, 0.4, 0.8)'),
    ("degree below 0", "c.get_membership_degree(-0.5)"),
    ("degree above 1", "c.get_membership_degree(1.5)"),
    ("degree, first line", "c.get_membership_degree(0.2)"),
    ("degree, second line", "c.get_membership_degree(0.7)"),
    ("read a", "c.a"),
    ("set a = float", "c.a = 0.4"),
    ("set a = int", "c.a = 2"),
    ('set a = "2.5"', 'c.a = "2.5"'),
    ("compute_name", "c.compute_name()"),
    ("hash", "hash(c)"),
    ("clone", "c.clone()"),
    ("-c", "-c"),
    ("c & d", "c & d"),
]
OPERATION_NAMES = [name for name, _ in OPERATIONS]


# ---------------------------------------------------------------------------
# The two implementations


def ensure_package_importable() -> None:
    """Use the installed package; without one, the package's sources in this repository."""
    if importlib.util.find_spec("tolvane") is None:
        sys.path.append(str(ROOT / "python"))


def load_plain(path: Path, module_name: str = "_plain_linear_concrete_concept"):
    """The plain-Python class from `path`, loaded under `module_name`."""
    spec = importlib.util.spec_from_file_location(module_name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.LinearConcreteConcept


def load_compiled():
    """The compiled module's class, or None when the installed module is not the compiled one."""
    try:
        module = importlib.import_module(MODULE_NAME)
    except ImportError:
        return None
    if not isinstance(getattr(module, "__loader__", None), importlib.machinery.ExtensionFileLoader):
        return None
    return module.LinearConcreteConcept


def load_implementations(module_impl: str, plain_path: Path):
    """{'plain': class, 'module': class}, whether 'module' is the compiled one, and a note on it."""
    ensure_package_importable()
    plain = load_plain(plain_path)
    compiled = load_compiled() if module_impl in ("auto", "compiled") else None
    if compiled is not None:
        note = f"module: compiled ({Path(sys.modules[MODULE_NAME].__file__).name})"
        return {"plain": plain, "module": compiled}, True, note
    if module_impl == "compiled":
        raise SystemExit("run.py: the compiled module is not installed (pip install . from the repository root)")
    note = "module: the plain class again, loaded separately"
    if module_impl == "auto":
        note += " (the compiled module is not installed: ratios near 1 are expected)"
    return {"plain": plain, "module": load_plain(plain_path, "_plain_linear_concrete_concept_2")}, False, note


def make_timer(cls, statement: str) -> timeit.Timer:
    return timeit.Timer(statement, SETUP, globals={"C": cls})


# ---------------------------------------------------------------------------
# Interleaved timing


def calibrate(timer: timeit.Timer, round_seconds: float) -> int:
    """A loop count for which one round takes about `round_seconds`."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= round_seconds / 8 or number >= 1 << 30:
            break
        number *= 2 if elapsed > round_seconds / 64 else 8
    return max(1, round(number * round_seconds / max(elapsed, 1e-9)))


def quartiles(values: list[float]) -> tuple[float, float, float]:
    if len(values) < 2:
        return values[0], values[0], values[0]
    low, middle, high = statistics.quantiles(values, n=4, method="inclusive")
    return low, middle, high


def time_operation(implementations: dict, statement: str, rounds: int, round_seconds: float) -> dict:
    """Alternating rounds of both sides; the paired ratios and the times per operation."""
    timers = {side: make_timer(cls, statement) for side, cls in implementations.items()}
    numbers = {side: calibrate(timer, round_seconds) for side, timer in timers.items()}
    seconds = {side: [] for side in timers}
    ratios = []
    for round_index in range(rounds):
        order = ("plain", "module") if round_index % 2 == 0 else ("module", "plain")
        pair = {}
        for side in order:
            pair[side] = timers[side].timeit(numbers[side]) / numbers[side]
            seconds[side].append(pair[side])
        ratios.append(pair["plain"] / pair["module"])
    return {
        "plain_ns": statistics.median(seconds["plain"]) * 1e9,
        "module_ns": statistics.median(seconds["module"]) * 1e9,
        "ratio": quartiles(ratios),
        "loops": numbers,
    }


def run_timing(implementations: dict, operations: list[tuple[str, str]], rounds: int,
               round_seconds: float) -> dict:
    results = {}
    for name, statement in operations:
        results[name] = time_operation(implementations, statement, rounds, round_seconds)
        progress(".")
    progress("\n")
    return results


def print_timing(results: dict) -> None:
    rows = [("operation", "plain ns", "module ns", "plain/module", "quartiles")]
    for name, result in results.items():
        low, middle, high = result["ratio"]
        rows.append((name, f"{result['plain_ns']:.1f}", f"{result['module_ns']:.1f}", f"{middle:.2f}x",
                     f"{low:.2f} - {high:.2f}"))
    print_table(rows)


def progress(text: str) -> None:
    if sys.stderr.isatty():
        print(text, end="", file=sys.stderr, flush=True)


def print_table(rows: list[tuple[str, ...]]) -> None:
    widths = [max(len(row[column]) for row in rows) for column in range(len(rows[0]))]
    for index, row in enumerate(rows):
        cells = [row[0].ljust(widths[0])] + [cell.rjust(width) for cell, width in zip(row[1:], widths[1:])]
        print("  ".join(cells).rstrip())
        if index == 0:
            print("  ".join("-" * width for width in widths))


# ---------------------------------------------------------------------------
# Instruction counts under callgrind

COUNT_PATTERN = re.compile(r"^(?:summary|totals):\s*(\d+)", re.MULTILINE)


# The child starts without the site module (-S) and imports no more than it needs: every
# instruction of its start-up is counted twice, in the run of N operations and in the run of
# none, and only their difference is kept. It takes the parent's module search path instead.
# Arguments: where the class comes from ("compiled" or the path of a plain module), the search
# path (os.pathsep-separated), setup, statement, count.
CHILD_SOURCE = """\
import sys
source, search_path, setup, statement, count = sys.argv[1:]
sys.path[:] = search_path.split(__import__("os").pathsep)
import importlib, importlib.machinery, importlib.util, timeit
if source == "compiled":
    module = importlib.import_module("%s")
    if not isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader):
        raise SystemExit("the compiled module is not installed")
else:
    spec = importlib.util.spec_from_file_location("_plain_linear_concrete_concept", source)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
timeit.Timer(statement, setup, globals={"C": module.LinearConcreteConcept}).timeit(int(count))
""" % MODULE_NAME


def callgrind_instructions(arguments: list[str]) -> int:
    """Instructions that a child running CHILD_SOURCE with `arguments` executes under callgrind."""
    with tempfile.TemporaryDirectory() as directory:
        out_file = Path(directory) / "callgrind.out"
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
                   sys.executable, "-S", "-c", CHILD_SOURCE, *arguments]
        env = dict(os.environ, PYTHONHASHSEED="0")
        result = subprocess.run(command, capture_output=True, text=True, env=env)
        if result.returncode != 0:
            raise RuntimeError(f"callgrind run failed ({result.returncode}):\n{result.stderr[-2000:]}")
        counts = COUNT_PATTERN.findall(out_file.read_text())
        if not counts:
            raise RuntimeError(f"no summary or totals line in {out_file.name}")
        return int(counts[0])


def run_callgrind(sources: dict, operations: list[tuple[str, str]], count: int) -> dict:
    """Instructions per operation of each side; `sources` says where each side's class comes from."""
    search_path = os.pathsep.join(sys.path)
    jobs = {}
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        for name, statement in operations:
            for side in ("plain", "module"):
                for runs in (0, count):
                    arguments = [sources[side], search_path, SETUP, statement, str(runs)]
                    jobs[name, side, runs] = pool.submit(callgrind_instructions, arguments)
        results = {}
        for name, _ in operations:
            per_operation = {}
            for side in ("plain", "module"):
                total = jobs[name, side, count].result()
                start = jobs[name, side, 0].result()
                per_operation[side] = (total - start) / count
            results[name] = per_operation
            progress(".")
    progress("\n")
    return results


def instruction_cells(result: dict) -> tuple[str, str, str]:
    ratio = result["plain"] / result["module"] if result["module"] > 0 else float("nan")
    return f"{result['plain']:.0f}", f"{result['module']:.0f}", f"{ratio:.2f}x"


def print_callgrind(results: dict, count: int) -> None:
    print(f"instructions per operation (callgrind, {count} runs less 0 runs)")
    rows = [("operation", "plain", "module", "plain/module")]
    for name, result in results.items():
        rows.append((name, *instruction_cells(result)))
    print_table(rows)


def print_times_and_counts(timing: dict, counts: dict, count: int) -> None:
    print(f"instructions per operation: callgrind, {count} runs less 0 runs")
    rows = [("operation", "plain ns", "module ns", "plain/module", "quartiles",
             "plain instr", "module instr", "plain/module")]
    for name, result in timing.items():
        low, middle, high = result["ratio"]
        rows.append((name, f"{result['plain_ns']:.1f}", f"{result['module_ns']:.1f}", f"{middle:.2f}x",
                     f"{low:.2f} - {high:.2f}", *instruction_cells(counts[name])))
    print_table(rows)


# ---------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a few seconds: fewer and shorter rounds")
    parser.add_argument("--rounds", type=int, help="rounds per operation and side (default: 300, quick: 60)")
    parser.add_argument("--round-ms", type=float, help="milliseconds per round (default: 3, quick: 1)")
    parser.add_argument("--only", action="append", choices=OPERATION_NAMES, metavar="OPERATION",
                        help="time only this operation (repeatable); one of: " + ", ".join(OPERATION_NAMES))
    parser.add_argument("--module-impl", choices=("auto", "compiled", "plain"), default="auto",
                        help="what to time as the module: the compiled one (required with 'compiled'; "
                             "'auto' falls back to the plain class when it is not installed) or the plain "
                             "class loaded a second time (default: %(default)s)")
    parser.add_argument("--plain-path", type=Path, default=PLAIN_SOURCE,
                        help="the plain-Python module to compare with (default: this repository's)")
    counting = parser.add_mutually_exclusive_group()
    counting.add_argument("--callgrind", action="store_true",
                          help="only count instructions per operation under valgrind, without timing")
    counting.add_argument("--no-callgrind", action="store_true",
                          help="only time, without counting instructions")
    parser.add_argument("--callgrind-count", type=int,
                        help="operations per callgrind child (default: 5000, quick: 1000)")
    parser.add_argument("--json", type=Path, metavar="FILE", help="also write the results to FILE as JSON")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    rounds = args.rounds or (60 if args.quick else 300)
    round_seconds = (args.round_ms or (1.0 if args.quick else 3.0)) / 1000
    callgrind_count = args.callgrind_count or (1000 if args.quick else 5000)
    operations = [(name, statement) for name, statement in OPERATIONS if not args.only or name in args.only]

    implementations, compiled, note = load_implementations(args.module_impl, args.plain_path)
    print(f"Python {sys.version.split()[0]}; plain: {args.plain_path.name}; {note}", flush=True)
    started = time.perf_counter()
    plain_source = str(args.plain_path.resolve())
    sources = {"plain": plain_source, "module": "compiled" if compiled else plain_source}
    has_valgrind = shutil.which("valgrind") is not None
    timing = counts = None
    if args.callgrind:
        if not has_valgrind:
            raise SystemExit("run.py: --callgrind needs valgrind, which is not installed")
        counts = run_callgrind(sources, operations, callgrind_count)
        print_callgrind(counts, callgrind_count)
    else:
        print(f"{rounds} alternating rounds of about {round_seconds * 1000:g} ms per side and operation")
        timing = run_timing(implementations, operations, rounds, round_seconds)
        if args.no_callgrind or not has_valgrind:
            print_timing(timing)
            if not args.no_callgrind:
                print("instructions per operation: not counted, valgrind is not installed")
        else:
            counts = run_callgrind(sources, operations, callgrind_count)
            print_times_and_counts(timing, counts, callgrind_count)
    print(f"({time.perf_counter() - started:.1f} s)")
    if args.json:
        args.json.write_text(json.dumps({"note": note, "timing": timing, "instructions": counts}, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
