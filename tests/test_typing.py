"""The installed type information: the PEP 561 stubs that ship in the wheel,
checked by mypy against real and wrong usage and by stubtest against the
extension itself, and the text signatures that inspect reads at run time."""

from __future__ import annotations

import importlib.metadata
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

import greekmill_python as gm

TYPING_DIR = Path(__file__).resolve().parent / "typing"
SEVEN = ("s", "k", "t", "r", "sigma", "q", "option_type")
FUNCTIONS = {
    "bs_delta": SEVEN, "bs_gamma": SEVEN[:6], "bs_theta": SEVEN, "bs_vega": SEVEN[:6],
    "bs_rho": SEVEN, "bs_greeks": SEVEN, "am_price": SEVEN, "am_delta": SEVEN,
    "am_gamma": SEVEN, "am_theta": SEVEN, "am_vega": SEVEN, "am_rho": SEVEN,
    "am_greeks": SEVEN,
}


def run_mypy(*args: str | Path, cwd: Path) -> subprocess.CompletedProcess[str]:
    # Run outside the checkout with a private cache, so only the installed
    # stubs can answer for greekmill_python.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(cwd / ".mypy_cache"), *map(str, args)],
        cwd=cwd, capture_output=True, text=True, check=False,
    )


def error_lines(output: str, file: Path) -> set[int]:
    pattern = re.compile(rf"^{re.escape(str(file))}:(\d+): error:", re.MULTILINE)
    return {int(line) for line in pattern.findall(output)}


def test_installed_distribution_includes_the_stubs() -> None:
    files = {str(f) for f in importlib.metadata.files("greekmill") or []}
    assert "greekmill_python-stubs/__init__.pyi" in files


def test_strict_mypy_accepts_ordinary_usage(tmp_path: Path) -> None:
    done = run_mypy("--strict", TYPING_DIR / "good_usage.py", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_strict_mypy_rejects_each_wrong_call(tmp_path: Path) -> None:
    bad = TYPING_DIR / "bad_usage.py"
    marked = {
        number for number, line in enumerate(bad.read_text().splitlines(), start=1)
        if line.rstrip().endswith("# error")
    }
    done = run_mypy("--strict", bad, cwd=tmp_path)
    assert done.returncode == 1, done.stdout + done.stderr
    assert error_lines(done.stdout, bad) == marked, done.stdout


def test_stubs_agree_with_the_extension_at_run_time(tmp_path: Path) -> None:
    # stubtest imports the module and compares names, parameters, defaults
    # (read through the text signatures) and the class's members with the stubs.
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "greekmill_python"],
        cwd=tmp_path, capture_output=True, text=True, check=False,
    )
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature_is_readable_at_run_time(name: str) -> None:
    signature = inspect.signature(getattr(gm, name))
    params = list(signature.parameters.values())
    assert tuple(p.name for p in params) == FUNCTIONS[name]
    assert {p.kind for p in params} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    defaults = {p.name: p.default for p in params if p.default is not inspect.Parameter.empty}
    expected = {"q": 0.0, "option_type": "call"} if len(params) == 7 else {"q": 0.0}
    assert defaults == expected
    assert type(defaults["q"]) is float
