#!/usr/bin/env bash
# Reference-leak run on Debian's debug interpreter (python3.11-dbg), from a fresh machine:
# installs the interpreter, builds the package against it in a new virtual environment,
# checks that the harness sees a planted leak, then runs the test suites with every test
# repeated (tools/refleaks.py) and the module set-up sweep (tools/refleaks_module_setup.py).
# Exits non-zero on any leak.
#
#   tools/check_refleaks.sh               # repetitions 3:3 (warm-up:measured)
#   LCC_REFLEAKS=2:4 tools/check_refleaks.sh
#   LCC_CHECK_DIR=/tmp/dbg tools/check_refleaks.sh   # keep the venv there (default: mktemp)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
repeats=${LCC_REFLEAKS:-3:3}
work=${LCC_CHECK_DIR:-$(mktemp -d)}
mkdir -p "$work"
started=$SECONDS

# Every suite but those whose tests only start processes (the command line, the typing
# checks) and those with a check of their own (stress, allocation failures): a new suite
# is covered by default.
skipped=(tests/test_cli.py tests/test_typing.py tests/test_stress.py tests/test_allocation_failures.py)
ignore=()
for suite in "${skipped[@]}"; do
  ignore+=("--ignore=$suite")
done

echo "== debug interpreter"
if ! command -v python3.11-dbg >/dev/null || [[ ! -e /usr/include/python3.11d/Python.h ]] ||
   ! python3.11-dbg -c 'import ensurepip' 2>/dev/null; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "python3.11-dbg, python3.11-dev and python3.11-venv are needed (apt-get, as root)" >&2
    exit 2
  fi
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q python3.11-dbg python3.11-dev python3.11-venv
fi

# Debian's debug headers are symbolic links to the release ones beside a pyconfig.h of their
# own. CMake passes Python's include directory as a system directory, and GCC resolves the
# links of system headers before looking for "pyconfig.h" next to them: the release one
# would win, and the module would not count references (the harness checks it does). The
# test helper's build (tests/conftest.py) takes the flag from the environment too.
export CXXFLAGS="${CXXFLAGS:+$CXXFLAGS }-fno-canonical-system-headers"

echo "== virtual environment and package (debug build) in $work/venv"
python3.11-dbg -m venv "$work/venv"
py="$work/venv/bin/python"
if ! "$py" -m pip install --config-settings=cmake.build-type=Debug "$root[test]" \
     > "$work/install.log" 2>&1; then
  cat "$work/install.log"
  exit 1
fi
echo "installed in $((SECONDS - started)) s"

echo "== the harness sees a planted leak"
selftest="$work/selftest"
rm -rf "$selftest"
mkdir -p "$selftest"
cat > "$selftest/test_planted.py" <<'EOF'
import ctypes

kept = []


def test_keeps_an_object():
    kept.append(object())


def test_keeps_a_reference():
    # A reference taken in C and never given back: the count grows, no memory does.
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(kept))


def test_clean():
    list(range(100))
EOF
set +e
(cd "$selftest" && PYTHONPATH="$root/tools" "$py" -m pytest -q -p no:cacheprovider -p refleaks \
   --refleaks="$repeats" test_planted.py > output.txt 2>&1)
status=$?
set -e
if [[ $status -ne 1 ]] || ! grep -q "2 leaking tests" "$selftest/output.txt" ||
   grep -q "FAILED test_planted.py::test_clean" "$selftest/output.txt"; then
  cat "$selftest/output.txt"
  echo "the harness did not report exactly the two planted leaks" >&2
  exit 1
fi
echo "planted leaks found, the clean test passed"

status=0
echo "== test suites, each test run $repeats times (warm-up:measured)"
suites_started=$SECONDS
PYTHONPATH="$root/tools" "$py" -m pytest -p no:cacheprovider -p refleaks --refleaks="$repeats" \
  "${ignore[@]}" tests || status=1
echo "test suites: $((SECONDS - suites_started)) s"

echo "== module set-up: failed executions retried, repeatable import paths"
"$py" tools/refleaks_module_setup.py || status=1

echo "reference-leak check: $([[ $status -eq 0 ]] && echo passed || echo FAILED)" \
     "in $((SECONDS - started)) s"
exit $status
