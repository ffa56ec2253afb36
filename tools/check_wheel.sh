#!/usr/bin/env bash
# Builds the wheel with `pip wheel .` into dist/ and checks it:
#   - it carries the compiled module, its plain-Python source, the stub, py.typed and the
#     licence;
#   - auditwheel (from PyPI) accepts it for a manylinux platform tag.
# The tools go into a virtual environment of their own, removed at the end.
#
# Usage: tools/check_wheel.sh            (PYTHON=python3.11 to choose the interpreter)
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
tools=$(mktemp -d)
trap 'rm -rf "$tools"' EXIT

"$python" -m venv "$tools/venv"
"$tools/venv/bin/python" -m pip install --quiet --upgrade pip
"$tools/venv/bin/python" -m pip install --quiet auditwheel

mkdir -p dist
rm -f dist/tolvane_ostrel-*.whl
"$tools/venv/bin/python" -m pip wheel --quiet --no-deps . -w dist/
wheels=(dist/tolvane_ostrel-*.whl)
if [[ ${#wheels[@]} -ne 1 || ! -f ${wheels[0]} ]]; then
    echo "check_wheel: expected one wheel in dist/, found: ${wheels[*]}" >&2
    exit 1
fi
wheel=${wheels[0]}
echo "wheel: $wheel"

# The files that users of the package rely on.
"$tools/venv/bin/python" - "$wheel" <<'PY'
import sys
import zipfile

names = zipfile.ZipFile(sys.argv[1]).namelist()
package = "tolvane/ostrel/"
module = package + "concept/concrete/linear_concrete_concept"
required = [package + "py.typed", module + ".pyi", module + ".py",
            package + "concept/operator_concept.py", package + "cli.py", package + "__main__.py"]
missing = [name for name in required if name not in names]
extensions = [name for name in names if name.startswith(module + ".") and name.endswith((".so", ".pyd"))]
if not extensions:
    missing.append(module + ".<extension suffix>")
licences = [name for name in names if name.endswith(".dist-info/licenses/LICENSE")]
if not licences:
    missing.append("tolvane_ostrel-<version>.dist-info/licenses/LICENSE")
if missing:
    sys.exit("check_wheel: missing from the wheel: " + ", ".join(missing))
print("contents: " + ", ".join(required + extensions + licences))
PY

# auditwheel show says which platform tag the wheel is consistent with, or why none.
report=$("$tools/venv/bin/auditwheel" show "$wheel" 2>&1) || {
    echo "$report" >&2
    echo "check_wheel: auditwheel show failed" >&2
    exit 1
}
echo "$report"
flat=$(tr '\n' ' ' <<<"$report")
if [[ $flat =~ consistent\ with\ the\ following\ platform\ tag:\ \"(manylinux[^\"]*)\" ]]; then
    echo "check_wheel: accepted for ${BASH_REMATCH[1]}"
else
    echo "check_wheel: auditwheel accepts the wheel for no manylinux tag" >&2
    exit 1
fi
