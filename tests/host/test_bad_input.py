"""Host services refuse arguments that would only fail later, elsewhere."""

from __future__ import annotations

import pytest

from corvane.core import communication, pdk
from corvane.models import FactoryRecord, LuminoMessage


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: pdk.set_pdk(1), "pdk must be a PDK (an object with name, cells, layer_stack or layer_views) or None, not int"),
        (lambda: pdk.set_base_pdk("generic"), "pdk must be a PDK (an object with name, cells, layer_stack or layer_views) or None, not str"),
        (lambda: LuminoMessage(content=b"{}"), "content must be a str (the message's JSON text), not bytes"),
        (lambda: communication.set_inbox(3), "path must be a folder path (str or os.PathLike) or None, not int"),
        (lambda: communication.set_transport("http://localhost"), "transport must be callable (transport(message)) or None, not str"),
        (lambda: FactoryRecord.from_weftnet(None, "f"), "G must be a directed graph (networkx DiGraph), not NoneType"),
    ],
)
def test_wrong_arguments_fail_at_once(call, message):
    try:
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == message
    finally:
        pdk.reset()
        communication.set_inbox(None)
        communication.set_transport(None)
