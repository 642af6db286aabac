"""The analyser on the import programs of cases_imports.py."""

import pytest

from corvane.weftnet import generate_call_graph

from .cases import expected_edges, found_edges
from .cases_imports import IMPORTS


@pytest.mark.parametrize("name, files, edges", IMPORTS, ids=[case[0] for case in IMPORTS])
def test_call_graph_of_import_case(tmp_path, name, files, edges):
    truth = expected_edges(edges)
    found, errors = found_edges(generate_call_graph, tmp_path, files)
    assert errors == []
    assert found - truth == set()
    assert truth - found == set()
