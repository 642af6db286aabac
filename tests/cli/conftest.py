import pytest

from corvane import settings
from corvane.core import communication, pdk


@pytest.fixture(autouse=True)
def _clean_host_state(tmp_path, monkeypatch):
    """In-process runs start from the default PDK and settings, in a private folder."""
    monkeypatch.chdir(tmp_path)
    settings.reset()
    pdk.reset()
    yield
    communication.set_inbox(None)
    pdk.reset()
    settings.reset()
