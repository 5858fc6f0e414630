"""Every python block of the README runs as written in a new interpreter.

A block preceded by an HTML comment starting "skipped by the README test"
(it needs a cluster or files) is not run.
"""

from __future__ import annotations

import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
SKIP = "<!-- skipped by the README test"
FENCE = re.compile(r"^( *)```python\n(.*?)^\1```$", re.MULTILINE | re.DOTALL)


def blocks() -> list[tuple[int, str, bool]]:
    text = README.read_text(encoding="utf-8")
    found = []
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start()) + 1
        before = text[:match.start()].rstrip().rsplit("\n", 1)[-1].strip()
        found.append((line, textwrap.dedent(match.group(2)), before.startswith(SKIP)))
    return found


BLOCKS = blocks()


def test_the_readme_has_blocks_to_run():
    assert sum(not skipped for _, _, skipped in BLOCKS) >= 4


@pytest.mark.parametrize("code, skipped", [(code, skipped) for _, code, skipped in BLOCKS],
                         ids=[f"line{line}" for line, _, _ in BLOCKS])
def test_readme_block_runs(code, skipped, tmp_path):
    if skipped:
        pytest.skip("marked in the README: needs a cluster or files")
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                            text=True, timeout=300, check=False)
    assert result.returncode == 0, result.stderr
