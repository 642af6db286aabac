"""The analyser on the programs of cases_values.py: lambdas as functions, keys and indices."""

import pytest

from corvane.weftnet import generate_call_graph

from .cases import expected_edges, found_edges
from .cases_values import CASES

# Cases the analyser does not answer exactly yet.
NOT_YET = {
    "dict_key_replaced_at_module", "dict_key_replaced_in_function", "list_index_replaced",
    "slice_literal_bounds", "slice_negative_bounds", "update_with_keywords", "unknown_key_reaches_all",
}


@pytest.mark.parametrize(
    "name, files, edges",
    [pytest.param(*case, marks=pytest.mark.xfail(strict=True)) if case[0] in NOT_YET else case
     for cases in CASES.values() for case in cases],
    ids=[f"{group}/{case[0]}" for group, cases in CASES.items() for case in cases],
)
def test_call_graph_of_case(tmp_path, name, files, edges):
    truth = expected_edges(edges)
    found, errors = found_edges(generate_call_graph, tmp_path, files)
    assert errors == []
    assert found - truth == set()
    assert truth - found == set()
