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


def test_hierarchy_deeper_than_the_interpreter_stack_parses_and_combines():
    r = run(
        """
        import klayout.db as kdb
        from corvane.core import lumino

        depth = 20000
        layout = kdb.Layout()
        cells = [layout.create_cell(f"c{k}") for k in range(depth + 1)]
        for parent, child in zip(cells, cells[1:]):
            parent.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(0, False, 1, 0)))
        cells[-1].shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 1000, 1000))
        gds = lumino.ParseGDS(layout, {(1, 0): lumino.PdkLayer("a", 1.0, 0.0, "#ffffff")}, curve_tolerance=None)
        for tree in (gds.export_cells(combine=True).cells[0], gds.export_layers(combine=True).layers[0]["0"]):
            levels, node = 0, tree
            while node.references:
                (node,) = node.references
                levels += 1
            print(levels, node.trans_count, node.trans[0].to_dict()["displacement"], node.polygons)
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["20000 1 [20.0, 0.0] {'0': [0]}"] * 2


def test_transformation_rebound_while_being_read():
    r = run(
        """
        import klayout.db as kdb
        from corvane.core import lumino

        class Rebinding:
            angle = 1
            disp = kdb.Point(1000, 2000)

            def is_mirror(self):
                wrapper.trans = kdb.Trans()  # drops the last reference to self
                return False

        wrapper = lumino.KTrans(Rebinding())
        print(wrapper.to_dict())
        print(wrapper.to_dict())
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "{'mirror': False, 'angle': 90, 'displacement': [1.0, 2.0]}",
        "{'mirror': False, 'angle': 0, 'displacement': [0.0, 0.0]}",
    ]


def test_record_class_rebound_to_a_non_record():
    r = run(
        """
        import klayout.db as kdb
        from corvane.core import lumino

        layout = kdb.Layout()
        layout.create_cell("T").shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 1000, 1000))
        gds = lumino.ParseGDS(layout, {(1, 0): lumino.PdkLayer("a", 1.0, 0.0, "#ffffff")})
        lumino.Cell = type
        try:
            gds.export_cells()
        except TypeError as e:
            print("TypeError")
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "TypeError\n"
