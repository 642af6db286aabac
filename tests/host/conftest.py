import pytest

from corvane import settings
from corvane.core import communication, pdk


@pytest.fixture(autouse=True)
def _clean_host_state(tmp_path, monkeypatch):
    """Each test starts from the default PDK, default settings and a private viewer inbox."""
    monkeypatch.chdir(tmp_path)
    settings.reset()
    pdk.reset()
    communication.set_inbox(tmp_path / "inbox")
    previous = communication.set_transport(None)
    yield
    communication.set_transport(previous)
    communication.set_inbox(None)
    pdk.reset()
    settings.reset()
