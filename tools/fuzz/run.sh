#!/usr/bin/env bash
# Bounded coverage-guided fuzz run of the linear_concrete_concept extension.
#
# Builds the extension with clang's coverage instrumentation for libFuzzer and with
# AddressSanitizer into a virtual environment of its own (atheris from PyPI), then runs
# each target of tools/fuzz/fuzz_targets.py for FUZZ_SECONDS seconds (default 40, four
# targets: under three minutes), starting from a copy of the committed corpus. Any finding
# (a difference from the reference, a crash, an AddressSanitizer report) fails the run;
# the input that caused it is left in $FUZZ_WORK/findings-<target>-*.
#
#   bash tools/fuzz/run.sh                      # from anywhere in the repository
#   FUZZ_SECONDS=300 bash tools/fuzz/run.sh     # longer
#   FUZZ_TARGETS="text" bash tools/fuzz/run.sh  # one target
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${FUZZ_SECONDS:-40}
work=${FUZZ_WORK:-build/fuzz}
targets=${FUZZ_TARGETS:-"text binding name_hash float_text"}
mkdir -p "$work"
work=$(cd "$work" && pwd)

if ! command -v clang++ >/dev/null 2>&1; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "fuzz: clang is needed (apt-get install clang, as root)" >&2
        exit 2
    fi
    echo "== clang"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang
fi

if [ ! -x "$work/venv/bin/python" ]; then
    python3 -m venv "$work/venv"
fi
"$work/venv/bin/pip" install -q --disable-pip-version-check atheris scikit-build-core cmake ninja

# Coverage edges of the module's own code guide the fuzzer; AddressSanitizer catches
# memory errors. Compiler warnings are the normal build's business, not this one's.
CC=clang CXX=clang++ \
CFLAGS="-fsanitize=fuzzer-no-link,address -fno-omit-frame-pointer -g" \
CXXFLAGS="-fsanitize=fuzzer-no-link,address -fno-omit-frame-pointer -g" \
LDFLAGS="-fsanitize=address" LCC_WARNINGS_AS_ERRORS=OFF \
    "$work/venv/bin/pip" install -q --disable-pip-version-check --no-build-isolation \
    --force-reinstall --no-deps -C build-dir="$work/build" -C cmake.build-type=RelWithDebInfo .

runtime=$("$work/venv/bin/python" -c \
    "import atheris, pathlib; print(pathlib.Path(atheris.__file__).parent.parent / 'asan_with_fuzzer.so')")

status=0
total_runs=0
for target in $targets; do
    corpus="$work/corpus/$target"
    rm -rf "$corpus"
    mkdir -p "$corpus"
    cp tools/fuzz/corpus/"$target"/* "$corpus"/
    seeds=$(ls "$corpus" | wc -l)
    log="$work/$target.log"
    set +e
    LD_PRELOAD="$runtime" ASAN_OPTIONS="detect_leaks=0:abort_on_error=0" PYTHONMALLOC=malloc \
        "$work/venv/bin/python" tools/fuzz/fuzz_targets.py "$target" \
        -max_total_time="$seconds" -timeout=20 -rss_limit_mb=6000 -print_final_stats=1 \
        -artifact_prefix="$work/findings-$target-" "$corpus" >"$log" 2>&1
    code=$?
    set -e
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    runs=${runs:-0}
    total_runs=$((total_runs + runs))
    edges=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    echo "fuzz $target: $runs executions in ${seconds}s, $seeds seed inputs, corpus now $(ls "$corpus" | wc -l) inputs, ${edges:-?} coverage edges, exit $code"
    if [ "$code" -ne 0 ]; then
        status=1
        echo "fuzz $target: FINDING (log: $log)" >&2
        grep -v '^#[0-9]' "$log" | tail -40 >&2
    fi
done
echo "fuzz: $total_runs executions in all"
exit "$status"
