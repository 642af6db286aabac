import json
import logging

import pytest

from corvane.core import communication, shared
from corvane.logger import get_logger
from corvane.models import FactoryRecord, LuminoMessage


def test_send_message_writes_one_json_file_per_message(tmp_path, caplog):
    inbox = tmp_path / "viewer" / "inbox"
    communication.set_inbox(inbox)
    with caplog.at_level(logging.INFO, logger="corvane"):
        paths = [
            communication.send_message(LuminoMessage(content=json.dumps({"n": n})))
            for n in range(3)
        ]
    assert sorted(inbox.iterdir()) == paths  # names sort in sending order, nothing else left
    assert [json.loads(p.read_text()) for p in paths] == [{"n": 0}, {"n": 1}, {"n": 2}]
    assert all(p.suffix == ".json" for p in paths)
    assert str(paths[0]) in caplog.text


def test_transport_can_be_replaced_and_restored(tmp_path):
    got = []
    previous = communication.set_transport(got.append)
    assert previous is None
    message = LuminoMessage(content="{}")
    communication.send_message(message)
    assert got == [message]
    assert not (tmp_path / "inbox").exists()
    communication.set_transport(None)
    assert communication.send_message(message).read_text() == "{}"


def test_message_without_text_content_is_rejected():
    with pytest.raises(TypeError):
        communication.send_message(LuminoMessage(content=12))


def test_shared_none_and_logger():
    assert shared.none(object()) is None
    assert get_logger() is logging.getLogger("corvane")


class Graph:
    """The slice of a directed graph that FactoryRecord reads."""

    def __init__(self, nodes, edges):
        self.nodes = nodes
        self._edges = edges

    def successors(self, n):
        return iter([b for a, b in self._edges if a == n])

    def predecessors(self, n):
        return iter([a for a, b in self._edges if b == n])


def test_factory_record_from_graph_node():
    settings = {"length": 10.0}
    attrs = dict(
        full_name="lib.cells.mzi",
        short_name="mzi",
        source="/src/lib/cells.py",
        module="lib.cells",
        package="lib",
        has_model=False,
        default_settings=settings,
        is_partial=False,
        pdk_type="pdk",
        tags=["demo"],
        other_sources=["/src/base/cells.py"],
    )
    nodes = {"mzi": attrs, "straight": {}, "top": {}}
    G = Graph(nodes, [("mzi", "straight"), ("top", "mzi")])
    rec = FactoryRecord.from_weftnet(G, "mzi")
    assert (rec.name, rec.full_name, rec.module, rec.package) == (
        "mzi",
        "lib.cells.mzi",
        "lib.cells",
        "lib",
    )
    assert (rec.source, rec.other_sources, rec.pdk_type, rec.tags) == (
        "/src/lib/cells.py",
        ["/src/base/cells.py"],
        "pdk",
        ["demo"],
    )
    assert rec.children == ["straight"] and rec.parents == ["top"]
    assert rec.default_settings == settings and rec.default_settings is not settings
