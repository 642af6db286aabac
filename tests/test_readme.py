"""The README's Python examples run as written, from the repository root."""

from __future__ import annotations

import contextlib
import io
import re
from pathlib import Path

import pytest

from corvane.core import communication, pdk

REPO = Path(__file__).resolve().parents[1]
BLOCKS = re.findall(r"```python\n(.*?)```", (REPO / "README.md").read_text(), re.S)

pytestmark = pytest.mark.skipif(
    not (REPO / "examples" / "gds").is_dir(), reason="example layouts (examples/gds) not present"
)


def test_readme_shows_the_whole_path():
    assert any("to_3D_viewer" in b and "lumino.lumino(" in b for b in BLOCKS)


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{k}" for k in range(len(BLOCKS))])
def test_readme_example(block, monkeypatch, tmp_path):
    monkeypatch.chdir(REPO)
    communication.set_inbox(tmp_path)
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            exec(compile(block, "README.md", "exec"), {"__name__": "readme"})
    finally:
        communication.set_inbox(None)
        pdk.reset()
    # A print with a trailing comment shows what it prints.
    expected = [line.split("  # ", 1)[1] for line in block.splitlines() if line.startswith("print(") and "  # " in line]
    printed = out.getvalue().splitlines()
    assert len(printed) == len(expected)
    for got, comment in zip(printed, expected):
        assert comment == got or comment.startswith(got + " "), (got, comment)
    if "lumino.lumino(" in block:
        assert len(list(tmp_path.glob("*.json"))) == 1
