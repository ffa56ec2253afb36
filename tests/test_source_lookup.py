"""The compiled module's source lines when the readable module is installed apart from it,
as an editable install does, and the tolvane namespace shared with other distributions."""

from __future__ import annotations

import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

from tolvane.ostrel.concept.concrete import linear_concrete_concept

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = Path("tolvane") / "ostrel" / "concept" / "concrete"


def run_python(*arguments: str) -> str:
    result = subprocess.run([sys.executable, *arguments], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_traceback_shows_the_source_kept_apart_from_the_extension(tmp_path):
    sources, built = tmp_path / "sources", tmp_path / "built"
    shutil.copytree(ROOT / "python" / "tolvane", sources / "tolvane",
                    ignore=shutil.ignore_patterns("*.so", "*.pyd", "__pycache__"))
    (built / PACKAGE).mkdir(parents=True)
    shutil.copy2(linear_concrete_concept.__file__, built / PACKAGE)
    # -S: no site-packages, so that only the two folders below provide the package.
    out = run_python("-S", "-c", textwrap.dedent(f"""
        import sys, traceback
        sys.path.insert(0, {str(sources)!r})
        import tolvane.ostrel.concept.concrete as concrete
        concrete.__path__.append({str(built / PACKAGE)!r})  # as an editable install lists it
        from tolvane.ostrel.concept.concrete import implementation, linear_concrete_concept as module
        print(implementation(), module.__loader__.get_source(module.__name__) is not None)
        try:
            module.LinearConcreteConcept("x", 5, 0, 2, 0.5)
        except ValueError:
            print(traceback.format_exc())
    """))
    assert out.startswith("compiled True\n")
    assert 'linear_concrete_concept.py", line 44, in ' in out
    assert '\n    Util.error(f"Error: Linear functions require {k1} <= {a}")' in out


def test_another_distribution_shares_the_tolvane_namespace(tmp_path):
    other = tmp_path / "tolvane" / "other"
    other.mkdir(parents=True)
    (other / "__init__.py").write_text("NAME = 'other'\n", encoding="utf-8")
    out = run_python("-c", textwrap.dedent("""
        import sys
        sys.path.append(sys.argv[1])
        import tolvane.other, tolvane.ostrel
        print(tolvane.other.NAME, len(tolvane.__path__) >= 2)
    """), str(tmp_path))
    assert out == "other True\n"
