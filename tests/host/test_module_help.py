"""help() on each compiled module names what it offers, in a fresh interpreter where
the optional sax package cannot be imported."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

import corvane

# Makes "import sax" fail whether or not sax is installed, as on a machine without it.
NO_SAX = "import sys; sys.modules['sax'] = None; "


@pytest.mark.parametrize(
    "module, names",
    [
        ("freeze", ["freeze(cell_name, **kwargs)", "_normalize_names(netlist)", "optional sax package"]),
        ("lumino", ["lumino(gds_file, output", "to_3D_viewer(", "get_layer_properties(", "numpy_to_buffer_json(",
                    "ParseGDS(", "KTrans", "Output", "ViewerData"]),
        ("weftnet", ["create_weftnet", "get_static_records", "default_lib_paths"]),
    ],
)
def test_help_lists_the_documented_names(module, names):
    code = NO_SAX + f"import pydoc, corvane.core.{module} as m; print(pydoc.render_doc(m, renderer=pydoc.plaintext))"
    env = dict(os.environ, PYTHONPATH=str(Path(corvane.__file__).parents[1]))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    assert [name for name in names if name not in done.stdout] == []
