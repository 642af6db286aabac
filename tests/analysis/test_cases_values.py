"""The analyser on the programs of cases_values.py (lambdas as functions, keys and indices)
and cases_decorators.py (decorators, returned functions)."""

import pytest

from corvane.weftnet import generate_call_graph

from .cases import expected_edges, found_edges
from .cases_decorators import CASES as DECORATOR_CASES
from .cases_values import CASES as VALUE_CASES

CASES = {**VALUE_CASES, **DECORATOR_CASES}

# Cases whose answer is knowingly not exact: name -> the wrong edges found.  The container
# itself keeps what a replaced key held before, for other names that hold it.
IMPRECISE = {
    "read_before_replacement": {("main.main", "main.f2")},
    "replaced_through_alias": {("main.main", "main.f1")},
    "replaced_in_a_closure": {("main.main", "main.f1")},  # only in the scope's own code
}


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
