"""What functions reach through lambdas, for the graph of cell factories."""

import pytest

from corvane.weftnet import lambda_callees


def rec(*calls, gets=()):
    return {"resolved_calls": list(calls), "resolved_component_gets": list(gets)}


@pytest.mark.parametrize(
    "functions, expected",
    [
        # called by the function that writes it
        ({"m.f": rec("m.f.<lambda1>"), "m.f.<lambda1>": rec("m.g")}, {"m.f": ["m.g"]}),
        # nobody calls it: it counts for the function that writes it
        ({"m.f": rec(), "m.f.<lambda1>": rec("m.g", gets=["m.c"])}, {"m.f": ["m.c", "m.g"]}),
        # written in f, called by h: h's, not f's
        ({"m.f": rec(), "m.h": rec("m.f.<lambda1>"), "m.f.<lambda1>": rec("m.g")}, {"m.h": ["m.g"]}),
        # a lambda in a lambda nobody calls goes with the outer one; a chain of calls is followed
        ({"m.h": rec("m.<lambda1>"), "m.<lambda1>": rec("m.<lambda2>"), "m.<lambda2>": rec("m.g"),
          "m.<lambda1>.<lambda1>": rec("m.k")}, {"m.h": ["m.g", "m.k"]}),
        # a lambda calling itself ends
        ({"m.f": rec("m.f.<lambda1>"), "m.f.<lambda1>": rec("m.f.<lambda1>", "m.g")}, {"m.f": ["m.g"]}),
        # no lambdas, and records the graph's own checks reject
        ({"m.f": rec("m.g"), "m.g": rec()}, {}),
        ({"m.f": "x", "m.f.<lambda1>": {"resolved_calls": "m.g"}, 3: rec()}, {}),
    ],
)
def test_lambda_callees(functions, expected):
    found = lambda_callees(functions)
    assert {name: sorted(callees) for name, callees in found.items() if callees} == expected
