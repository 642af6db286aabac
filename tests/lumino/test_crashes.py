"""Inputs that once took the interpreter down.  Each runs in a child process,
so a crash fails its test instead of the whole run."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest


def run(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300)


def test_second_import_fails_cleanly_and_first_module_keeps_working():
    r = run(
        """
        import sys
        import klayout.db as kdb
        import corvane.core.lumino as first
        del sys.modules["corvane.core.lumino"]
        try:
            import corvane.core.lumino
        except ImportError as e:
            print("refused:", e.__cause__)
        layout = kdb.Layout()
        top = layout.create_cell("T")
        top.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 1000, 1000))
        gds = first.ParseGDS(layout, {(1, 0): first.PdkLayer("a", 1.0, 0.0, "#ffffff")})
        print(len(gds.export_cells().instances))
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "refused: corvane.core.lumino is already initialised in this process; it cannot be imported a second "
        "time (use the module object imported first)",
        "1",
    ]
