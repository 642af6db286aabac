"""Nets of a layout, traced by KLayout's own net tracer through a stack's connections.

``NetTracing(layout, connectivity, table, z_scale)`` prepares one layout for
tracing: a conductor given as an expression ("diff-poly") is computed once,
hierarchically (KLayout's deep regions), into a layer of its own, so that
each trace walks plain layers; the joins and labels become a
``klayout.db.NetTracerConnectivity``.  ``trace(cell, x, y, pair)`` runs
``klayout.db.NetTracer`` from the point (micrometres, in the top cell
``cell``) on the layer ``pair`` and returns the net as the page draws it:
its name (from a label on it, else none), the shapes per layer in
micrometres of the top cell (float32 buffer records: the points, and the
points per polygon), each layer's heights and colour as the message has
them, and counts and bounds.
"""

from __future__ import annotations

import base64
import math
import threading
import time
from typing import Any, Mapping

import numpy as np

from corvane.stacks.connections import Connectivity, Expr, Layer, Op

__all__ = ["NetError", "NetTracing"]

# A click this close to a shape (micrometres, at least) still starts on it.
NEAR = 0.005


class NetError(ValueError):
    """A trace that cannot run: no conductor at the point, a layer that conducts nothing, ..."""


def _leaves(expr: Expr) -> list[Layer]:
    if isinstance(expr, Layer):
        return [expr]
    return _leaves(expr.left) + _leaves(expr.right)


def _record(values: np.ndarray) -> dict[str, Any]:
    data = np.ascontiguousarray(values)
    return {
        "shape": [int(data.size)],
        "dtype": str(data.dtype),
        "buffer": base64.b64encode(data.tobytes()).decode("ascii"),
        "codec": "b64",
    }


def _pair_name(pair: tuple[int, int]) -> str:
    return f"{pair[0]}/{pair[1]}"


class NetTracing:
    """One layout, ready for net traces (see the module's description).

    ``table`` is the layer table of the conversion ((layer, datatype) to an
    object with name, zmin, thickness and color); ``z_scale`` the conversion's.
    Traces of one object run one at a time.
    """

    def __init__(self, layout: Any, connectivity: Connectivity, table: Mapping[tuple[int, int], Any], z_scale: float = 1.0) -> None:
        import klayout.db as kdb

        self._kdb = kdb
        self.layout = layout
        self.table = dict(table)
        self.z_scale = float(z_scale)
        self._lock = threading.Lock()
        self._derived: dict[Expr, tuple[str, int]] = {}  # expression -> (material text, layer index)
        self._shown: dict[int, tuple[int, int]] = {}  # layer index -> the pair it is drawn as
        # Clicked pair -> layer index a trace starts on: the pair's own layer
        # when it conducts as it is, else the layer computed for an expression
        # it leads ("diff" of "diff-poly").
        self._plain: dict[tuple[int, int], int] = {}
        self._led: dict[tuple[int, int], int] = {}
        self.tracer_connectivity = kdb.NetTracerConnectivity()
        for a, via, b in connectivity.joins:
            if via is None:
                self.tracer_connectivity.connection(self._material(a), self._material(b))
            else:
                self.tracer_connectivity.connection(self._material(a), self._material(via), self._material(b))
        for conductor, label in connectivity.labels:
            self.tracer_connectivity.connection(self._material(conductor), _pair_name(label))

    # --- preparing the layout

    def _material(self, expr: Expr) -> str:
        """The net-tracer text of a conductor or via: a pair, or the layer computed for an expression."""
        if isinstance(expr, Layer):
            index = self.layout.find_layer(*expr.pair)
            if index is None:  # not in the file: an empty layer, so that traces still run
                index = self.layout.layer(*expr.pair)
            self._shown.setdefault(index, expr.pair)
            self._plain.setdefault(expr.pair, index)
            return _pair_name(expr.pair)
        if expr not in self._derived:
            index = self.layout.insert_layer(self._kdb.LayerInfo(f"corvane_conductor_{len(self._derived)}"))
            self._compute(expr, index)
            first = _leaves(expr)[0].pair
            self._derived[expr] = (self.layout.get_info(index).name, index)
            self._shown[index] = first
            self._led.setdefault(first, index)
        return self._derived[expr][0]

    def _compute(self, expr: Expr, index: int) -> None:
        kdb = self._kdb
        store = kdb.DeepShapeStore()

        def region(node: Expr, top: Any) -> Any:
            if isinstance(node, Layer):
                layer = self.layout.find_layer(*node.pair)
                return kdb.Region(top.begin_shapes_rec(layer), store) if layer is not None else kdb.Region()
            left, right = region(node.left, top), region(node.right, top)
            if node.op == "+":
                return left + right
            if node.op == "*":
                return left & right
            if node.op == "-":
                return left - right
            return left ^ right

        for top in list(self.layout.each_top_cell()):
            made = region(expr, self.layout.cell(top))
            made.insert_into(self.layout, top, index)

    # --- tracing

    def start_layer(self, pair: tuple[int, int]) -> int:
        index = self._plain.get(pair, self._led.get(pair))
        if index is None:
            raise NetError(f"{self._label(pair)} is in none of the stack's connections: it conducts nothing")
        return index

    def _start_point(self, cell: Any, layer: int, point: Any, near: float) -> Any | None:
        """A point inside a shape of ``layer`` at ``point`` (or within ``near`` um of it), or None."""
        kdb = self._kdb
        reach = max(1, round(near / self.layout.dbu))
        box = kdb.Box(point.x - reach, point.y - reach, point.x + reach, point.y + reach)
        found = cell.begin_shapes_rec_touching(layer, box)
        best = None
        while not found.at_end():
            shape = found.shape()
            if not shape.is_text() and shape.polygon is not None:
                polygon = shape.polygon.transformed(found.trans())
                if polygon.inside(point):
                    return point
                if best is None:
                    inner = (kdb.Region(polygon) & kdb.Region(box)).decompose_convex()
                    for piece in inner:
                        best = piece.bbox().center()
                        break
            found.next()
        return best

    def trace(self, cell_name: str | None, x: float, y: float, pair: tuple[int, int], near: float = NEAR) -> dict[str, Any]:
        """The net at (x, y) um of the top cell ``cell_name`` (None: the layout's top cell) on layer ``pair``."""
        kdb = self._kdb
        if not (math.isfinite(x) and math.isfinite(y)):
            raise NetError("the point must be finite")
        with self._lock:
            started = time.perf_counter()
            cell = self._cell(cell_name)
            layer = self.start_layer(pair)
            dbu = self.layout.dbu
            point = kdb.Point(round(x / dbu), round(y / dbu))
            start = self._start_point(cell, layer, point, max(near, NEAR))
            if start is None:
                raise NetError(f"no shape on {self._label(pair)} at x {x:g}, y {y:g} um")
            tracer = kdb.NetTracer()
            tracer.trace(self.tracer_connectivity, self.layout, cell, start, layer)
            traced = time.perf_counter()
            net = self._geometry(tracer)
            net.update(
                name=tracer.name() or None,
                incomplete=bool(tracer.incomplete()),
                start={"cell": cell.name, "layer": self._label(pair), "x": start.x * dbu, "y": start.y * dbu},
                traceMs=round((traced - started) * 1000, 1),
                encodeMs=round((time.perf_counter() - traced) * 1000, 1),
            )
            return net

    def _cell(self, name: str | None) -> Any:
        if name:
            cell = self.layout.cell(name)
            if cell is None:
                raise NetError(f"no cell {name!r} in the layout")
            return cell
        tops = list(self.layout.each_top_cell())
        if len(tops) != 1:
            raise NetError(f"the layout has {len(tops)} top cells: say which one")
        return self.layout.cell(tops[0])

    def _label(self, pair: tuple[int, int]) -> str:
        known = self.table.get(pair)
        return f"{known.name} ({pair[0]}, {pair[1]})" if known is not None else f"({pair[0]}, {pair[1]})"

    def _geometry(self, tracer: Any) -> dict[str, Any]:
        """The traced shapes per drawn layer.  Elements are grouped by the shape
        they place, so that each outline is read once and placed at all of its
        placements in one step."""
        dbu = self.layout.dbu
        groups: dict[Any, list[Any]] = {}
        texts = 0
        for element in tracer.each_element():
            groups.setdefault((element.layer(), element.cell_index(), element.shape()), []).append(element.trans())
        per_layer: dict[int, tuple[list[np.ndarray], list[np.ndarray]]] = {}
        matrices: dict[Any, tuple[float, ...]] = {}
        for (index, _, shape), placements in groups.items():
            if shape.is_text():
                texts += len(placements)
                continue
            polygon = shape.polygon
            if polygon is None:
                continue
            points = np.array([(p.x, p.y) for p in polygon.resolved_holes().each_point_hull()], dtype=np.float64)
            if not len(points):
                continue
            m = np.array([matrices.get(t) or matrices.setdefault(t, _matrix(t)) for t in placements])
            coords, sizes = per_layer.setdefault(index, ([], []))
            coords.append(_place(points, m, dbu).ravel())
            sizes.append(np.full(len(placements), len(points), dtype=np.int32))
        layers = []
        lo = np.array([np.inf, np.inf])
        hi = -lo
        shapes = 0
        for index, (coords, sizes) in per_layer.items():
            pair = self._shown.get(index)
            info = self.table.get(pair) if pair is not None else None
            flat = np.concatenate(coords)
            counts = np.concatenate(sizes)
            shapes += len(counts)
            xy = flat.reshape(-1, 2)
            lo = np.minimum(lo, xy.min(axis=0))
            hi = np.maximum(hi, xy.max(axis=0))
            layers.append(
                {
                    "name": self._label(pair) if pair is not None else self.layout.get_info(index).to_s(),
                    "pair": list(pair) if pair is not None else None,
                    "drawn": info is not None,
                    "zmin": info.zmin * self.z_scale if info is not None else 0.0,
                    "height": info.thickness * self.z_scale if info is not None else 0.0,
                    "color": info.color if info is not None else "#e8b024",
                    "shapes": int(len(counts)),
                    "points": _record(flat.astype(np.float32)),
                    "sizes": _record(counts),
                }
            )
        layers.sort(key=lambda l: (l["zmin"], l["name"]))
        bbox = [float(lo[0]), float(lo[1]), float(hi[0]), float(hi[1])] if shapes else None
        return {"elements": tracer.num_elements(), "texts": texts, "shapes": shapes, "bbox": bbox, "layers": layers}


def _matrix(trans: Any) -> tuple[float, ...]:
    """(a, b, c, d, dx, dy) of a KLayout transformation: x' = a x + b y + dx, y' = c x + d y + dy."""
    quarter = trans.angle / 90.0
    if quarter == round(quarter):  # exact for the rotations of Manhattan layouts
        cos, sin = ((1, 0), (0, 1), (-1, 0), (0, -1))[round(quarter) % 4]
    else:
        cos, sin = math.cos(math.radians(trans.angle)), math.sin(math.radians(trans.angle))
    mag = trans.mag
    flip = -1.0 if trans.is_mirror() else 1.0  # a mirror at the x axis comes first
    disp = trans.disp
    return (mag * cos, -mag * sin * flip, mag * sin, mag * cos * flip, float(disp.x), float(disp.y))


def _place(points: np.ndarray, m: np.ndarray, dbu: float) -> np.ndarray:
    """The outline ``points`` (n, 2) at each placement of ``m`` (k, 6), in micrometres: (k, n, 2)."""
    x, y = points[:, 0], points[:, 1]
    out = np.empty((len(m), len(points), 2))
    out[:, :, 0] = (m[:, 0:1] * x + m[:, 1:2] * y + m[:, 4:5]) * dbu
    out[:, :, 1] = (m[:, 2:3] * x + m[:, 3:4] * y + m[:, 5:6]) * dbu
    return out
