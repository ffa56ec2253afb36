"""Shared fixtures: the installed module, and the test-only native helper extension."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

from named_lines import (  # noqa: F401 (the tests import these from here)
    READABLE_MODULE, definition_line, source_line_tables, source_lines_tool, step_line,
)

TESTS = Path(__file__).resolve().parent
ROOT = TESTS.parent


def _tool(name: str) -> str:
    """A build tool from this interpreter's environment first, then from PATH."""
    candidate = Path(sysconfig.get_path("scripts")) / name
    if candidate.exists():
        return str(candidate)
    found = shutil.which(name)
    if found is None:
        pytest.fail(f"{name} is needed to build the test helper extension")
    return found


def _built_extension(build: Path, name: str) -> set[Path]:
    """The extension `name` in `build`, or in its Release folder for multi-config generators."""
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    return {path for folder in (build, build / "Release") if folder.is_dir()
            for path in folder.iterdir() if path.name.startswith(name + ".") and path.name.endswith(suffixes)}


@pytest.fixture(scope="session")
def native_helper(tmp_path_factory):
    """The test-only extension `_native_test_helper`, built from the runtime sources."""
    build = tmp_path_factory.mktemp("native_helper_build")
    cmake = _tool("cmake")
    configure = [
        cmake, "-S", str(ROOT), "-B", str(build), "-DLCC_TEST_HELPER=ON",
        f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release",
    ]
    # A sanitizer run builds the helper with the same instrumentation as the module.
    if os.environ.get("LCC_SANITIZE", "OFF").upper() in ("1", "ON", "TRUE", "YES"):
        configure.append("-DLCC_SANITIZE=ON")
    # --config: multi-config generators (Visual Studio) build the one named, into a folder
    # of that name; the others ignore it.
    for command in (configure, [cmake, "--build", str(build), "--target", "_native_test_helper",
                                "--config", "Release", "--parallel", str(os.cpu_count() or 1)]):
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            pytest.fail(f"building the test helper failed:\n{result.stdout}\n{result.stderr}")
    (library,) = _built_extension(build, "_native_test_helper")
    spec = importlib.util.spec_from_file_location("_native_test_helper", library)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules["_native_test_helper"] = module
    return module


def run_python(code: str | None, *arguments: str, check: bool = True, cwd: Path | None = None,
               env: dict[str, str] | None = None, timeout: float = 600) -> subprocess.CompletedProcess:
    """Runs `code` (dedented) in a fresh interpreter, `arguments` after it; with `code` None,
    runs the arguments alone (a script, or -m and a module). The tests' own helper modules,
    such as traceback_entries, import there too. Returns the completed process."""
    command = [sys.executable, "-X", "faulthandler"]
    if code is not None:
        command += ["-c", textwrap.dedent(code)]
    environment = dict(os.environ if env is None else env)
    search = [path for path in environment.get("PYTHONPATH", "").split(os.pathsep) if path]
    environment["PYTHONPATH"] = os.pathsep.join([*search, str(TESTS)])
    result = subprocess.run([*command, *arguments], capture_output=True, text=True, cwd=cwd,
                            env=environment, timeout=timeout)
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result
