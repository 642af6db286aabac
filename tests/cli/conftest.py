import pytest

from corvane import cli, settings
from corvane.core import communication, pdk


@pytest.fixture(autouse=True)
def _clean_host_state(tmp_path, monkeypatch):
    """In-process runs start from the default PDK and settings, in a private folder."""
    monkeypatch.chdir(tmp_path)
    # In-process runs say nothing of progress, however busy the machine (tests that want it set it).
    monkeypatch.setattr(cli.common, "PROGRESS_DELAY", 3600.0)
    settings.reset()
    pdk.reset()
    yield
    communication.set_inbox(None)
    pdk.reset()
    settings.reset()
