#!/usr/bin/env bash
# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer: builds the
# module (and, through tests/conftest.py, the test helper) with LCC_SANITIZE=ON in a new
# virtual environment, checks that a planted fault of each kind is reported, then runs
# pytest with the sanitizer runtime preloaded into the interpreter and every process it
# starts. Exits non-zero on a failing test or on any sanitizer report.
#
#   tools/check_sanitizers.sh
#   PYTHON=python3.11 tools/check_sanitizers.sh        # interpreter to build for (python3)
#   LCC_CHECK_DIR=/tmp/asan tools/check_sanitizers.sh  # keep the venv there (default: mktemp)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=${PYTHON:-python3}
compiler=${CXX:-g++}
work=${LCC_CHECK_DIR:-$(mktemp -d)}
mkdir -p "$work"
started=$SECONDS

echo "== virtual environment and package (LCC_SANITIZE=ON) in $work/venv"
"$python" -m venv "$work/venv"
py="$work/venv/bin/python"
export LCC_SANITIZE=ON   # read by the test helper's build
if ! "$py" -m pip install --config-settings=cmake.define.LCC_SANITIZE=ON "$root[test]" \
     > "$work/install.log" 2>&1; then
  cat "$work/install.log"
  exit 1
fi
module=$("$py" - <<'EOF'
import importlib.util
print(importlib.util.find_spec("tolvane.ostrel.concept.concrete.linear_concrete_concept").origin)
EOF
)
if ! grep -q __asan_report "$module" || ! grep -q __ubsan_handle "$module"; then
  echo "$module is not instrumented: the LCC_SANITIZE option did not reach the build" >&2
  exit 1
fi
echo "installed and instrumented in $((SECONDS - started)) s"

# The interpreter is not instrumented: the runtimes are preloaded into it and into every
# process it starts. The undefined-behaviour runtime comes first: loaded after the address
# one, it would write its reports to standard error, ignoring log_path (the address runtime
# works from second place, so its check that it comes first is off). Objects go through
# malloc so that the sanitizer sees each one's bounds and lifetime (the small-object
# allocator would hide them in its arenas). CPython leaves memory behind at exit on
# purpose, so leak detection is off. Reports go to files, one per process, so that none is
# lost in a child's captured output.
logs="$work/logs"
asan_runtime=$("$compiler" -print-file-name=libasan.so)
ubsan_runtime=$("$compiler" -print-file-name=libubsan.so)
if [[ ! -e $asan_runtime || ! -e $ubsan_runtime ]]; then
  echo "no sanitizer runtimes next to $compiler" >&2
  exit 1
fi
export LD_PRELOAD="$ubsan_runtime $asan_runtime"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0:detect_stack_use_after_return=1:log_path=$logs/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"

# A sanitizer run that reports nothing proves something only if a fault would be reported.
echo "== planted faults are reported"
planted="$work/planted"
rm -rf "$planted" "$logs"
mkdir -p "$planted" "$logs"
cat > "$planted/shift.cpp" <<'EOF'
extern "C" int planted_shift(int value, int amount) { return value << amount; }
EOF
LD_PRELOAD='' "$compiler" -shared -fPIC -fsanitize=undefined -fno-sanitize-recover=undefined \
  -o "$planted/libplanted.so" "$planted/shift.cpp"
"$py" - <<'EOF' > /dev/null 2>&1 || true
import ctypes
small = ctypes.create_string_buffer(8)
large = ctypes.create_string_buffer(4096)
ctypes.memmove(large, small, 4096)  # reads past the end of an 8-byte object
EOF
"$py" -c "import ctypes, sys; ctypes.CDLL(sys.argv[1]).planted_shift(1, 40)" \
  "$planted/libplanted.so" > /dev/null 2>&1 || true
if ! grep -qs "heap-buffer-overflow" "$logs"/asan.*; then
  echo "a planted heap-buffer-overflow was not reported" >&2
  exit 1
fi
if ! grep -qs "shift exponent" "$logs"/ubsan.*; then
  echo "a planted shift past the width of int was not reported" >&2
  exit 1
fi
echo "planted heap-buffer-overflow and shift-exponent reported"
rm -rf "$logs"
mkdir -p "$logs"

echo "== test suite under the sanitizers"
suite_started=$SECONDS
status=0
"$py" -m pytest -p no:cacheprovider || status=1
echo "test suite: $((SECONDS - suite_started)) s"

reports=("$logs"/*)
if [[ -e ${reports[0]} ]]; then
  echo "== sanitizer reports (${#reports[@]} files)"
  for report in "${reports[@]}"; do
    echo "--- $report"
    head -n 60 "$report"
  done
  status=1
fi

echo "sanitizer check: $([[ $status -eq 0 ]] && echo passed || echo FAILED)" \
     "in $((SECONDS - started)) s"
exit $status
