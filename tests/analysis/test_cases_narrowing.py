"""The analyser on the programs of cases_narrowing.py (tests against None, attributes set on a
parameter's instance)."""

import pytest

from corvane.weftnet import generate_call_graph

from .cases import expected_edges, found_edges
from .cases_narrowing import CASES

# Cases whose answer is knowingly not exact: name -> the wrong edges found.
IMPRECISE: dict[str, set] = {}


@pytest.mark.parametrize(
    "name, files, edges",
    [case for cases in CASES.values() for case in cases],
    ids=[f"{group}/{case[0]}" for group, cases in CASES.items() for case in cases],
)
def test_call_graph_of_case(tmp_path, name, files, edges):
    truth = expected_edges(edges)
    found, errors = found_edges(generate_call_graph, tmp_path, files)
    assert errors == []
    assert found - truth == IMPRECISE.get(name, set())
    assert truth - found == set()
