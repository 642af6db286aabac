"""Components: polygons per layer, references to other components, and ports.

Coordinates are micrometres in the API and integer database units (1 nm) in
storage: ``add_polygon`` snaps points to the grid once, so what is stored is
exactly what ``write_gds`` writes.  A reference places a component with a
``Transform`` (mirror about the x axis, then rotation by any angle in degrees,
then displacement), optionally repeated as a regular array.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterable, Iterator

from orvik import LayerEnum

from velloc.technology import layer_tuple

# numpy is imported inside the functions that use it: importing velloc (for its
# technology module, say) stays cheap.
if TYPE_CHECKING:
    import numpy as np

__all__ = ["DBU", "Component", "ComponentReference", "Port", "Transform"]

DBU = 0.001  # micrometres per database unit
_PORT_TOLERANCE = 2  # database units within which two port centres meet


def _snap(value: float) -> float:
    """Round to the 1 nm grid (adding 0.0 turns -0.0 into 0.0)."""
    return round(value, 3) + 0.0


def _normalize_angle(angle: float) -> float:
    angle = math.fmod(angle, 360.0)
    if angle < 0:
        angle += 360.0
    if math.isclose(angle, 360.0, abs_tol=1e-9) or abs(angle) < 1e-9:
        return 0.0
    return angle


def _cos_sin(angle: float) -> tuple[float, float]:
    """Cosine and sine of an angle in degrees, exact for multiples of 90."""
    quarter, rest = divmod(_normalize_angle(angle), 90.0)
    if abs(rest) < 1e-12:
        return ((1.0, 0.0), (0.0, 1.0), (-1.0, 0.0), (0.0, -1.0))[int(quarter) % 4]
    rad = math.radians(angle)
    return math.cos(rad), math.sin(rad)


@dataclass(frozen=True)
class Transform:
    """Mirror about the x axis (if ``mirror``), rotate by ``rotation`` degrees, move by (x, y)."""

    rotation: float = 0.0
    mirror: bool = False
    x: float = 0.0
    y: float = 0.0

    def apply(self, points: np.ndarray) -> np.ndarray:
        """Transform an (n, 2) array of points in micrometres."""
        import numpy as np

        pts = np.asarray(points, dtype=float).reshape(-1, 2)
        c, s = _cos_sin(self.rotation)
        px = pts[:, 0]
        py = -pts[:, 1] if self.mirror else pts[:, 1]
        return np.column_stack((c * px - s * py + self.x, s * px + c * py + self.y))

    def apply_angle(self, angle: float) -> float:
        return _normalize_angle((-angle if self.mirror else angle) + self.rotation)

    def __mul__(self, other: Transform) -> Transform:
        """The transform that applies ``other`` first, then ``self``."""
        import numpy as np

        (x, y) = self.apply(np.array([[other.x, other.y]]))[0]
        rotation = (-other.rotation if self.mirror else other.rotation) + self.rotation
        return Transform(
            _normalize_angle(rotation), self.mirror != other.mirror, float(x), float(y)
        )


@dataclass(frozen=True)
class Port:
    """A connection point: centre (µm), orientation (degrees, pointing outwards), width (µm)."""

    name: str
    center: tuple[float, float]
    orientation: float
    width: float
    layer: Any
    port_type: str = "optical"

    def transformed(self, trans: Transform) -> Port:
        import numpy as np

        (x, y) = trans.apply(np.array([self.center]))[0]
        return replace(
            self,
            center=(_snap(float(x)), _snap(float(y))),
            orientation=trans.apply_angle(self.orientation),
        )

    @property
    def x(self) -> float:
        return self.center[0]

    @property
    def y(self) -> float:
        return self.center[1]


def _clean_polygon(points: np.ndarray) -> np.ndarray:
    """Drop the closing point, repeated points and points on a straight line."""
    import numpy as np

    pts = points
    if len(pts) > 1 and np.array_equal(pts[0], pts[-1]):
        pts = pts[:-1]
    changed = True
    while changed and len(pts) >= 3:
        prev = np.roll(pts, 1, axis=0)
        nxt = np.roll(pts, -1, axis=0)
        d1 = pts - prev
        d2 = nxt - pts
        cross = d1[:, 0] * d2[:, 1] - d1[:, 1] * d2[:, 0]
        keep = cross != 0
        changed = not keep.all()
        pts = pts[keep]
    return pts


def _jsonable(value: Any) -> Any:
    """Settings and info values in plain JSON types for netlists."""
    import numpy as np

    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, LayerEnum):
        return value.name
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, Component):
        return value.name
    if callable(value):
        func = getattr(value, "func", value)  # functools.partial
        return getattr(func, "__name__", repr(value))
    return str(value)


class Component:
    """A layout cell: polygons per (layer, datatype), references and ports.

    Components made by a ``velloc.cell`` factory are locked once built, so one
    component may be referenced from many places without being changed.
    """

    def __init__(self, name: str = "Unnamed") -> None:
        self.name = name
        self.polygons: dict[tuple[int, int], list[np.ndarray]] = {}
        self.references: list[ComponentReference] = []
        self.ports: dict[str, Port] = {}
        self.routes: dict[str, dict[str, Any]] = {}
        self.info: dict[str, Any] = {}
        self.settings: dict[str, Any] = {}
        self.function_name: str | None = None
        self.module: str | None = None
        self._locked = False

    def __repr__(self) -> str:
        npoly = sum(len(p) for p in self.polygons.values())
        return (
            f"Component({self.name!r}, polygons={npoly}, references={len(self.references)}, "
            f"ports={list(self.ports)})"
        )

    # -- building -----------------------------------------------------------

    @property
    def locked(self) -> bool:
        return self._locked

    def lock(self) -> None:
        self._locked = True

    def _check_unlocked(self) -> None:
        if self._locked:
            raise RuntimeError(f"component {self.name!r} is locked; build a new one instead")

    def add_polygon(self, points: Iterable, layer: Any) -> np.ndarray:
        """Add a polygon given by its points in µm; returns the stored points (database units)."""
        import numpy as np

        self._check_unlocked()
        pts = np.asarray(points, dtype=float).reshape(-1, 2)
        dbu_points = _clean_polygon(np.rint(pts / DBU).astype(np.int64))
        if len(dbu_points) < 3:
            raise ValueError("a polygon needs at least three distinct, non-collinear points")
        self.polygons.setdefault(layer_tuple(layer), []).append(dbu_points)
        return dbu_points

    def add_ref(
        self,
        component: Component,
        name: str | None = None,
        *,
        origin: tuple[float, float] = (0.0, 0.0),
        rotation: float = 0.0,
        mirror: bool = False,
        columns: int = 1,
        rows: int = 1,
        spacing: tuple[float, float] = (0.0, 0.0),
    ) -> ComponentReference:
        """Place ``component``; ``columns`` x ``rows`` copies ``spacing`` apart make an array."""
        self._check_unlocked()
        if component is self or self in set(component._walk()):
            raise ValueError("a component cannot reference itself")
        if columns < 1 or rows < 1:
            raise ValueError("columns and rows must be at least 1")
        taken = {ref.name for ref in self.references}
        if name is None:
            base = component.function_name or component.name
            count = 1
            while f"{base}_{count}" in taken:
                count += 1
            name = f"{base}_{count}"
        elif name in taken:
            raise ValueError(f"reference name {name!r} is already used in {self.name!r}")
        ref = ComponentReference(
            component, name, origin, rotation, mirror, columns, rows, spacing, owner=self
        )
        self.references.append(ref)
        return ref

    def add_port(
        self,
        name: str,
        center: tuple[float, float] | None = None,
        orientation: float | None = None,
        width: float | None = None,
        layer: Any = None,
        port_type: str = "optical",
        *,
        port: Port | None = None,
    ) -> Port:
        """Add a port from its values, or a copy of ``port`` under ``name``."""
        self._check_unlocked()
        if name in self.ports:
            raise ValueError(f"port {name!r} already exists in {self.name!r}")
        if port is not None:
            new = replace(port, name=name)
        else:
            if center is None or orientation is None or width is None or layer is None:
                raise TypeError("add_port needs center, orientation, width and layer, or port=")
            new = Port(
                name,
                (_snap(center[0]), _snap(center[1])),
                _normalize_angle(orientation),
                float(width),
                layer,
                port_type,
            )
        self.ports[name] = new
        return new

    def add_route(self, name: str, links: dict[str, str], **settings: Any) -> None:
        """Record a bundle of routes: waveguides joining pairs of instance ports.

        ``links`` maps "reference,port" to "reference,port"; ``settings`` are
        the bundle's routing settings.  The stand-in has no router: the
        references that draw the waveguides are placed by the factory and stay
        in the netlist as instances, and the bundle says which ports they join.
        """
        self._check_unlocked()
        if name in self.routes:
            raise ValueError(f"route {name!r} already exists in {self.name!r}")
        by_name = {ref.name: ref.component for ref in self.references}
        for end in (e for link in links.items() for e in link):
            inst, _, port = end.partition(",")
            if inst not in by_name or port not in by_name[inst].ports:
                raise ValueError(f"route {name!r}: {end!r} is not a port of a reference")
        self.routes[name] = {"links": dict(links), "settings": dict(settings)}

    # -- queries ------------------------------------------------------------

    def _walk(self) -> Iterator[Component]:
        """Every distinct component below this one (itself last), children first."""
        seen: set[int] = set()

        def visit(comp: Component) -> Iterator[Component]:
            if id(comp) in seen:
                return
            seen.add(id(comp))
            for ref in comp.references:
                yield from visit(ref.component)
            yield comp

        yield from visit(self)

    def get_polygons(
        self, transform: Transform | None = None
    ) -> dict[tuple[int, int], list[np.ndarray]]:
        """All polygons of the hierarchy, flattened, in µm snapped to the grid."""
        result: dict[tuple[int, int], list[np.ndarray]] = {}
        self._flatten(transform or Transform(), result)
        return result

    def _flatten(self, trans: Transform, result: dict) -> None:
        import numpy as np

        for layer, polys in self.polygons.items():
            out = result.setdefault(layer, [])
            for pts in polys:
                out.append(np.rint(trans.apply(pts * DBU) / DBU) * DBU)
        for ref in self.references:
            for element in ref.element_transforms():
                ref.component._flatten(trans * element, result)

    def bbox(self) -> tuple[tuple[float, float], tuple[float, float]]:
        """((xmin, ymin), (xmax, ymax)) in µm of all flattened polygons."""
        import numpy as np

        pts = [p for polys in self.get_polygons().values() for p in polys]
        if not pts:
            return ((0.0, 0.0), (0.0, 0.0))
        allpts = np.vstack(pts)
        (x0, y0), (x1, y1) = allpts.min(axis=0), allpts.max(axis=0)
        return ((float(x0), float(y0)), (float(x1), float(y1)))

    # -- export -------------------------------------------------------------

    def to_layout(self):
        """A new KLayout layout: one cell per distinct component, instances for references."""
        import klayout.db as kdb

        layout = kdb.Layout()
        layout.dbu = DBU
        cells: dict[int, Any] = {}
        used: dict[str, int] = {}
        for comp in self._walk():
            name = comp.name
            if name in used:  # distinct components that share a name
                used[name] += 1
                name = f"{name}${used[comp.name]}"
            else:
                used[name] = 0
            cell = layout.create_cell(name)
            cells[id(comp)] = cell
            for (layer, datatype), polys in comp.polygons.items():
                shapes = cell.shapes(layout.layer(layer, datatype))
                for pts in polys:
                    shapes.insert(kdb.Polygon([kdb.Point(int(x), int(y)) for x, y in pts]))
            for ref in comp.references:
                index = cells[id(ref.component)].cell_index()
                trans = kdb.DCplxTrans(1.0, ref.rotation, ref.mirror, ref.origin[0], ref.origin[1])
                if ref.columns == 1 and ref.rows == 1:
                    cell.insert(kdb.DCellInstArray(index, trans))
                else:
                    dx, dy = ref.spacing
                    cell.insert(
                        kdb.DCellInstArray(
                            index,
                            trans,
                            kdb.DVector(dx, 0),
                            kdb.DVector(0, dy),
                            ref.columns,
                            ref.rows,
                        )
                    )
        return layout

    def write_gds(self, path: str | Path) -> Path:
        """Write this component and everything it references to a GDS file; returns the path."""
        path = Path(path)
        self.to_layout().write(str(path))
        return path

    def get_netlist(self) -> dict[str, Any]:
        """The netlist of the references: instances, placements, port connections and routes.

        Two instance ports are connected when their centres meet (within 2 nm)
        and they face each other.  A component port is mapped to the instance
        port at the same place facing the same way.  Routes are the bundles
        recorded with ``add_route``.  Instance ports that are neither connected
        nor exposed, and connected ports of different widths, are reported
        under "warnings".  Every call builds new maps.
        """
        instances: dict[str, Any] = {}
        placements: dict[str, Any] = {}
        inst_ports: list[tuple[str, Port]] = []
        for ref in self.references:
            comp = ref.component
            instance = {
                "component": comp.function_name or comp.name,
                "settings": _jsonable(comp.settings),
                "info": _jsonable(comp.info),
            }
            if ref.columns > 1 or ref.rows > 1:
                instance["array"] = {
                    "columns": ref.columns,
                    "rows": ref.rows,
                    "column_pitch": ref.spacing[0],
                    "row_pitch": ref.spacing[1],
                }
            instances[ref.name] = instance
            placements[ref.name] = {
                "x": _snap(ref.origin[0]),
                "y": _snap(ref.origin[1]),
                "rotation": ref.rotation,
                "mirror": ref.mirror,
            }
            inst_ports.extend((ref.name, port) for port in ref.ports.values())

        by_place: dict[tuple[int, int], list[int]] = {}
        keys = []
        for index, (_, port) in enumerate(inst_ports):
            key = (round(port.x / DBU), round(port.y / DBU))
            keys.append(key)
            by_place.setdefault(key, []).append(index)

        def near(key):
            kx, ky = key
            for dx in range(-_PORT_TOLERANCE, _PORT_TOLERANCE + 1):
                for dy in range(-_PORT_TOLERANCE, _PORT_TOLERANCE + 1):
                    yield from by_place.get((kx + dx, ky + dy), ())

        def facing(a: Port, b: Port, opposite: bool) -> bool:
            diff = _normalize_angle(a.orientation - b.orientation + (180.0 if opposite else 0.0))
            return min(diff, 360.0 - diff) < 1e-3

        connections: dict[str, str] = {}
        nets: list[dict[str, str]] = []
        mismatched: list[str] = []
        used: set[int] = set()
        for i, (inst_a, port_a) in enumerate(inst_ports):
            if i in used:
                continue
            for j in near(keys[i]):
                inst_b, port_b = inst_ports[j]
                if j <= i or j in used or inst_b == inst_a or not facing(port_a, port_b, True):
                    continue
                a, b = f"{inst_a},{port_a.name}", f"{inst_b},{port_b.name}"
                connections[a] = b
                nets.append({"p1": a, "p2": b})
                if not math.isclose(port_a.width, port_b.width, abs_tol=DBU):
                    mismatched.append(f"{a} ({port_a.width}) - {b} ({port_b.width})")
                used.update((i, j))
                break

        ports: dict[str, str] = {}
        for name, port in self.ports.items():
            key = (round(port.x / DBU), round(port.y / DBU))
            for j in near(key):
                inst, inner = inst_ports[j]
                if j not in used and facing(port, inner, False):
                    ports[name] = f"{inst},{inner.name}"
                    used.add(j)
                    break

        warnings: dict[str, Any] = {}
        for index, (inst, port) in enumerate(inst_ports):
            if index not in used:
                group = warnings.setdefault(port.port_type, {})
                group.setdefault("unconnected_ports", []).append(f"{inst},{port.name}")
        if mismatched:
            warnings.setdefault("optical", {})["width_mismatch"] = mismatched

        return {
            "instances": instances,
            "placements": placements,
            "connections": connections,
            "ports": ports,
            "routes": {
                name: {"links": dict(bundle["links"]), "settings": _jsonable(bundle["settings"])}
                for name, bundle in self.routes.items()
            },
            "nets": nets,
            "warnings": warnings,
        }


class ComponentReference:
    """A placement of a component inside another one."""

    def __init__(
        self,
        component: Component,
        name: str,
        origin: tuple[float, float] = (0.0, 0.0),
        rotation: float = 0.0,
        mirror: bool = False,
        columns: int = 1,
        rows: int = 1,
        spacing: tuple[float, float] = (0.0, 0.0),
        *,
        owner: Component | None = None,
    ) -> None:
        self.component = component
        self.name = name
        self.origin = (float(origin[0]), float(origin[1]))
        self.rotation = _normalize_angle(rotation)
        self.mirror = bool(mirror)
        self.columns = int(columns)
        self.rows = int(rows)
        self.spacing = (float(spacing[0]), float(spacing[1]))
        self._owner = owner

    def __repr__(self) -> str:
        return (
            f"ComponentReference({self.component.name!r}, name={self.name!r}, "
            f"origin={self.origin}, "
            f"rotation={self.rotation}, mirror={self.mirror})"
        )

    def _check_unlocked(self) -> None:
        if self._owner is not None:
            self._owner._check_unlocked()

    @property
    def trans(self) -> Transform:
        return Transform(self.rotation, self.mirror, self.origin[0], self.origin[1])

    def element_transforms(self) -> Iterator[Transform]:
        """One transform per array element (a single one for a plain reference)."""
        base = self.trans
        for col in range(self.columns):
            for row in range(self.rows):
                dx, dy = col * self.spacing[0], row * self.spacing[1]
                yield replace(base, x=base.x + dx, y=base.y + dy)

    @property
    def ports(self) -> dict[str, Port]:
        """The component's ports where this reference puts them (the first element of an array)."""
        trans = self.trans
        return {name: port.transformed(trans) for name, port in self.component.ports.items()}

    def move(self, dx: float, dy: float) -> ComponentReference:
        self._check_unlocked()
        self.origin = (self.origin[0] + dx, self.origin[1] + dy)
        return self

    def connect(self, port: str, destination: Port) -> ComponentReference:
        """Rotate and move this reference so its ``port`` meets ``destination`` face to face."""
        import numpy as np

        self._check_unlocked()
        own = self.component.ports[port]
        facing = -own.orientation if self.mirror else own.orientation
        self.rotation = _normalize_angle(destination.orientation + 180.0 - facing)
        (lx, ly) = Transform(self.rotation, self.mirror).apply(np.array([own.center]))[0]
        self.origin = (destination.x - float(lx), destination.y - float(ly))
        return self
