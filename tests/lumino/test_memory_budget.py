"""The viewer data is held against a memory budget before it is made: a layout whose part
tree would pass it (a chain of cells, each placing the next, makes path ids quadratic in
its depth) is a MemoryError naming the size and the depth, never a process the kernel
kills; the caller sets the budget with memory_budget."""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap

import pytest

from corvane.core import lumino

from . import gdsstream as g
from .test_file_safety import message, stack_and_views, viewer_data


def chain(tmp_path, levels):
    """levels cells, each placing the next once; the last holds one box on (1, 0)."""
    cells = [g.structure(f"C{k}", g.sref(f"C{k + 1}", (10, 0))) for k in range(levels - 1)]
    cells.append(g.structure(f"C{levels - 1}", g.boundary(1, 0, [(0, 0), (0, 100), (100, 100), (100, 0)])))
    path = tmp_path / f"chain{levels}.gds"
    path.write_bytes(g.library(*cells))
    return path


UNDER_A_LIMIT = textwrap.dedent("""
    import json, resource, sys
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
    from corvane.core import lumino
    path, what = sys.argv[1], sys.argv[2]
    try:
        if what == "lumino":
            lumino.comms = type("Capture", (), {"send_message": staticmethod(lambda m: None)})
            lumino.lumino(path, lumino.Output.CELL)
        else:
            lumino.to_3D_viewer(path, lumino.Output.CELL if what == "cell" else lumino.Output.LAYER)
        print(json.dumps(["done", ""]))
    except MemoryError as e:
        print(json.dumps(["MemoryError", str(e)]))
""")


# A memory test: AddressSanitizer reserves terabytes of address space, so RLIMIT_AS cannot hold it.
@pytest.mark.memory
@pytest.mark.skipif(sys.platform != "linux", reason="RLIMIT_AS bounds the address space on Linux")
@pytest.mark.parametrize("what", ["lumino", "cell", "layer"])
def test_a_chain_of_100000_levels_is_refused_within_4_gb(tmp_path, what):
    path = chain(tmp_path, 100_000)
    run = subprocess.run([sys.executable, "-c", UNDER_A_LIMIT, str(path), what], capture_output=True, text=True,
                         timeout=600)
    assert run.returncode == 0, run.stderr[-2000:]
    kind, text = json.loads(run.stdout)
    assert kind == "MemoryError"
    assert text.startswith("the viewer data of this layout would take at least ")
    assert "hierarchy depth 99,999)" in text
    assert text.endswith(", more than the memory budget of 2,147,483,648 bytes (memory_budget= sets it)")


def test_the_budget_holds_the_message_to_its_exact_size(tmp_path):
    path = str(chain(tmp_path, 40))
    sent = message(path)
    size = len(sent.encode())
    assert message_with_budget(path, size) == sent
    with pytest.raises(MemoryError, match=rf"^the viewer data of this layout would take {size:,} bytes \(\d+ parts, "
                                          r"hierarchy depth 39\)"):
        message_with_budget(path, size - 1)


def message_with_budget(path, budget):
    import velloc.pdk

    from corvane.core import pdk

    from .test_file_safety import Capture

    stack, views = stack_and_views()
    capture, previous = Capture(), lumino.comms
    lumino.comms = capture
    pdk.set_pdk(velloc.pdk.Pdk(name="budget", layer_stack=stack, layer_views=views))
    try:
        lumino.lumino(path, lumino.Output.CELL, memory_budget=budget)
    finally:
        pdk.reset()
        lumino.comms = previous
    (content,) = capture.sent
    return content


@pytest.mark.parametrize("output", [lumino.Output.CELL, lumino.Output.LAYER])
def test_the_records_are_refused_before_they_are_made(tmp_path, output):
    path = str(chain(tmp_path, 300))
    stack, views = stack_and_views()
    kwargs = dict(layer_stack=stack, layer_views=views)
    assert lumino.to_3D_viewer(path, output, memory_budget=1 << 30, **kwargs).parts
    with pytest.raises(MemoryError, match=r"would take at least [\d,]+ bytes \(\d+ parts, hierarchy depth 299\)"):
        lumino.to_3D_viewer(path, output, memory_budget=100_000, **kwargs)


@pytest.mark.parametrize("budget, error, text", [
    (0, ValueError, "memory_budget must be a positive number of bytes"),
    (-5, ValueError, "memory_budget must be a positive number of bytes"),
    (1.5e9, TypeError, "memory_budget must be an int (bytes) or None, not float"),
    (True, TypeError, "memory_budget must be an int (bytes) or None, not bool"),
])
def test_the_budget_is_checked(tmp_path, budget, error, text):
    path = str(chain(tmp_path, 3))
    with pytest.raises(error, match=f"^{text.replace('(', '[(]').replace(')', '[)]')}$"):
        lumino.to_3D_viewer(path, memory_budget=budget)


def test_a_layout_within_the_budget_is_unchanged(tmp_path):
    path = str(chain(tmp_path, 25))
    assert viewer_data(path) == lumino.numpy_to_buffer_json(
        lumino.to_3D_viewer(path, lumino.Output.LAYER, layer_stack=stack_and_views()[0],
                            layer_views=stack_and_views()[1], as_dict=True, memory_budget=1 << 40))
