import klayout.db as kdb
import pytest

from corvane.core import lumino


def layer_table(*entries):
    """{(layer, datatype): PdkLayer} from (layer, datatype, name) entries."""
    return {(l, d): lumino.PdkLayer(name, 0.22, 0.0, "#ff0000") for l, d, name in entries}


@pytest.fixture
def layout():
    return kdb.Layout()
