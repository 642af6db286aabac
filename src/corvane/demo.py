"""Demonstration of the compiled core with the built-in default PDK.

Builds the default PDK's grating coupler, writes it to a temporary GDS file,
reads it back with KLayout and converts it with ``corvane.core.lumino``'s
parser into its layer-wise, combined form, then prints what it found.
"""

from __future__ import annotations

import tempfile
from pathlib import Path


def main() -> None:
    import klayout.db as kdb
    from velloc.components import grating_coupler
    from velloc.pdk import get_layer_stack, get_layer_views

    from corvane.core import lumino

    component = grating_coupler()
    with tempfile.NamedTemporaryFile(suffix=".gds", delete=False) as f:
        path = Path(f.name).resolve()
    try:
        component.write_gds(str(path))
        layers = lumino.get_layer_properties(get_layer_stack(), get_layer_views())
        layout = kdb.Layout()
        layout.read(str(path))
        gds = lumino.ParseGDS(layout, layers)
        parsed = gds.export_layers(combine=True)
        print(f"{component.name}: written to {path}")
        print(f"  layer table: {len(layers)} layers")
        for layer in layers.values():
            print(f"    {layer}")
        print(f"  distinct polygons: {len(parsed.instances)}")
        for top, cell_layers in zip(gds.parsed_cells.cells, parsed.layers):
            for layer_id, tree in cell_layers.items():
                name = gds.get_name(parsed.layer_map[int(layer_id)])
                count = sum(len(v) for v in tree.polygons.values())
                print(f"  {top.name} / {name}: {count} polygons, {len(tree.references)} references")
    finally:
        path.unlink(missing_ok=True)


if __name__ == "__main__":
    main()
