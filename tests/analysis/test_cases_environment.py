"""The analyser on the programs of cases_environment.py (module and class branches on
environment variables), and the decided branches counted in the stats."""

import pytest

from corvane.weftnet import generate_call_graph

from .cases import expected_edges, found_edges
from .cases_environment import CASES


@pytest.mark.parametrize(
    "name, files, edges, decided",
    [case for cases in CASES.values() for case in cases],
    ids=[f"{group}/{case[0]}" for group, cases in CASES.items() for case in cases],
)
def test_call_graph_of_case(tmp_path, name, files, edges, decided):
    stats: dict = {}
    found, errors = found_edges(lambda paths: generate_call_graph(paths, stats=stats), tmp_path, files)
    assert errors == []
    assert found == expected_edges(edges)
    assert stats["branches_decided"] == decided


def test_analysed_library_named_os_is_not_the_environment(tmp_path):
    """An analysed package named os has its own environ: its tests keep both branches."""
    (tmp_path / "os").mkdir()
    (tmp_path / "os" / "__init__.py").write_text("environ = {}\n")
    (tmp_path / "app").mkdir()
    (tmp_path / "app" / "__init__.py").write_text(
        "import os\ndef a(): pass\ndef b(): pass\nrun = a\n"
        "if os.environ.get('X'):\n    run = b\ndef main():\n    run()\n"
    )
    stats: dict = {}
    graph = generate_call_graph({"os": str(tmp_path / "os"), "app": str(tmp_path / "app")}, stats=stats)
    assert sorted(graph["functions"]["app.main"]["resolved_calls"]) == ["app.a", "app.b"]
    assert stats["branches_decided"] == 0
