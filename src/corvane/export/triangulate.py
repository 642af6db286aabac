"""Triangles of layout outlines: the caps of the extruded shapes.

An outline is a polygon's hull as the viewer message holds it: x, y pairs,
possibly concave, with collinear or repeated points, spikes, a closing
point, or touching itself where a hole is joined to the hull by a cut.
``Outlines`` cleans up a whole pool of them at once and covers each with
triangles of its own vertices: a fan for a convex outline, ear clipping
otherwise.

The caps are made to close on the side walls, so that every extruded
outline is a closed, manifold solid: the cleaned outline is the one ring
both caps and walls are built on, every one of its vertices is a corner of
cap triangles (no cap edge passes a wall's corner: the T-junctions that a
dropped collinear point leaves), the ear clipping never drops a vertex
without the triangle that covers its corner, a place the outline passes
twice is one vertex, and an edge the outline runs along both ways (a cut)
has no wall.
"""

from __future__ import annotations

from bisect import bisect_left, bisect_right
from collections.abc import Sequence

import numpy as np

__all__ = ["Outlines", "ranges", "run_starts"]


def run_starts(counts: np.ndarray) -> np.ndarray:
    """Where each of consecutive runs of ``counts`` items begins."""
    return np.concatenate([[0], np.cumsum(counts)[:-1]]).astype(np.int64) if len(counts) else np.zeros(0, np.int64)


def ranges(starts: np.ndarray, counts: np.ndarray) -> np.ndarray:
    """The concatenated index ranges starts[k] .. starts[k] + counts[k] - 1."""
    total = int(counts.sum())
    return np.repeat(starts - run_starts(counts), counts) + np.arange(total)


def cyclic(counts: np.ndarray, step: int) -> np.ndarray:
    """For every vertex of outlines of ``counts`` vertices, the index of the
    one before (step -1) or after (step 1) it in its outline."""
    index = np.arange(int(counts.sum())) + step
    starts = run_starts(counts)[counts > 0]
    ends = starts + counts[counts > 0] - 1
    if step < 0:
        index[starts] = ends
    else:
        index[ends] = starts
    return index


def _turns(xy: np.ndarray, prev: np.ndarray, nxt: np.ndarray) -> np.ndarray:
    """Twice the signed area of each corner (previous vertex, vertex, next)."""
    x, y = xy[:, 0], xy[:, 1]
    return (x - x[prev]) * (y[nxt] - y) - (y - y[prev]) * (x[nxt] - x)


def _clean(xy: np.ndarray, owner: np.ndarray, n: int) -> tuple[np.ndarray, np.ndarray]:
    """Drops repeated points and the tips of spikes (where an outline turns
    straight back: they bound no area), until none is left.  A point where
    it goes straight on stays: it may be a place the outline passes twice."""
    while len(xy):
        counts = np.bincount(owner, minlength=n)
        prev = cyclic(counts, -1)
        drop = np.all(xy == xy[prev], axis=1)
        if not drop.any():
            nxt = cyclic(counts, 1)
            back = np.einsum("ij,ij->i", xy - xy[prev], xy[nxt] - xy) < 0
            drop = back & (_turns(xy, prev, nxt) == 0)
            if not drop.any():
                break
        xy, owner = xy[~drop], owner[~drop]
    return xy, owner


class Outlines:
    """The cleaned outlines of a pool and their cap triangles.

    Outline k has the vertices ``xy[start[k] : start[k] + count[k]]``: no
    point equal to the one before it and no spike (cyclically: no closing
    point).  It turns as ``sign[k]`` (1
    counter-clockwise, -1 clockwise, 0 no area).  ``same[v]`` is the vertex
    (its number within the outline) that stands for vertex v in a mesh: v
    itself, or the first one at its place where the outline passes a point
    twice.  ``wall[v]`` says whether the edge from v to the next vertex gets
    a side wall: not where the outline also runs along it the other way.
    The outline is covered by the triangles ``tris[tstart[k] : tstart[k] +
    tcount[k]]``: vertex numbers within the outline (standing ones, as
    ``same`` gives them), counter-clockwise whatever its turn.  Only the
    outlines listed in ``needed`` (default all) get triangles.
    """

    def __init__(self, pool: Sequence[np.ndarray] | np.ndarray, needed: Sequence[int] | None = None, *,
                 lengths: Sequence[int] | None = None) -> None:
        # The pool as its outlines, or (with ``lengths``, the points of each) as all their x, y values at once.
        if lengths is None:
            lengths = np.array([np.asarray(p).size // 2 for p in pool], dtype=np.int64)
            pool = np.concatenate([np.asarray(p, dtype=np.float64).reshape(-1) for p in pool]) if len(pool) else np.zeros(0)
        lengths = np.asarray(lengths, dtype=np.int64)
        n = len(lengths)
        xy = np.asarray(pool, dtype=np.float64).reshape(-1, 2)
        self.xy, owner = _clean(xy, np.repeat(np.arange(n), lengths), n)
        self.count = np.bincount(owner, minlength=n).astype(np.int64)
        self.start = run_starts(self.count)
        prev, nxt = cyclic(self.count, -1), cyclic(self.count, 1)
        x, y = self.xy[:, 0], self.xy[:, 1]
        area = np.bincount(owner, weights=(x[prev] - x) * (y[prev] + y), minlength=n)
        self.sign = np.where(self.count < 3, 0, np.sign(area)).astype(np.int64)
        self.same, self.wall = self._joins(owner, nxt)
        # A corner turning against the outline makes it concave; one going
        # straight on would make a flat fan triangle: both are ear clipped.
        against = self.sign[owner] * _turns(self.xy, prev, nxt) <= 0
        concave = np.bincount(owner, weights=against, minlength=n) > 0
        wanted = np.zeros(n, dtype=bool)
        wanted[np.asarray(needed if needed is not None else np.arange(n), dtype=np.int64)] = True
        wanted &= self.sign != 0
        # Convex outlines: fans from their first vertex (every corner turns,
        # so no fan triangle is flat).
        fans = np.nonzero(wanted & ~concave)[0]
        per = self.count[fans] - 2
        tri_owner = np.repeat(fans, per)
        i = np.arange(len(tri_owner)) - np.repeat(run_starts(per), per) + 1
        tris = [np.stack([np.zeros_like(i), i, i + 1], axis=1)]
        owners = [tri_owner]
        for k in np.nonzero(wanted & concave)[0]:
            lo, m = self.start[k], self.count[k]
            clipped = _ear_clip(x[lo : lo + m], y[lo : lo + m], int(self.sign[k]), self.same[lo : lo + m])
            tris.append(clipped)
            owners.append(np.full(len(clipped), k))
        tris_all, owner_all = np.concatenate(tris), np.concatenate(owners)
        # Triangles of a clockwise outline are taken backwards.
        backwards = self.sign[owner_all] < 0
        tris_all[backwards] = tris_all[backwards][:, ::-1]
        # In the vertices that stand for each place.
        tris_all = self.same[self.start[owner_all][:, None] + tris_all]
        order = np.argsort(owner_all, kind="stable")
        self.tris = tris_all[order]
        self.tcount = np.bincount(owner_all, minlength=n).astype(np.int64)
        self.tstart = run_starts(self.tcount)

    def _joins(self, owner: np.ndarray, nxt: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """``same`` and ``wall`` (see the class): places an outline passes
        twice, and the edges it runs along both ways."""
        total = len(self.xy)
        local = np.arange(total) - self.start[owner]
        stands = np.arange(total)
        # Outlines that may pass a place twice: a hash of (outline, place)
        # met twice.  Only their vertices are compared exactly.
        bits = (self.xy + 0.0).view(np.uint64)  # + 0.0: -0.0 is 0.0
        with np.errstate(over="ignore"):
            h = owner.astype(np.uint64) * np.uint64(0x9E3779B97F4A7C15)
            h = (h ^ bits[:, 0]) * np.uint64(0xBF58476D1CE4E5B9)
            h = (h ^ bits[:, 1]) * np.uint64(0x94D049BB133111EB)
        sorted_h = np.sort(h)
        repeated = sorted_h[1:][sorted_h[1:] == sorted_h[:-1]]
        if not len(repeated):
            return local, np.ones(total, dtype=bool)
        some = np.nonzero(np.isin(owner, np.unique(owner[np.isin(h, repeated)])))[0]
        order = some[np.lexsort((self.xy[some, 1], self.xy[some, 0], owner[some]))]
        key = np.column_stack([owner[order], self.xy[order]])
        new = np.concatenate([[True], np.any(key[1:] != key[:-1], axis=1)])
        first = np.minimum.reduceat(order, np.nonzero(new)[0])  # the earliest vertex at each place
        stands[order] = first[np.cumsum(new) - 1]
        forward = stands * total + stands[nxt]
        backward = stands[nxt] * total + stands
        return stands - self.start[owner], ~np.isin(forward, backward)


def _ear_clip(px: np.ndarray, py: np.ndarray, s: int, same: np.ndarray) -> np.ndarray:
    """Ear clipping of an outline turning as ``s`` that is concave or goes
    straight on somewhere; triangles in its turn.  ``same`` gives the vertex
    standing for each (see ``Outlines``).  A vertex leaves the outline only with its triangle, or where its two
    edges are one edge run both ways (the ends stand for one vertex), so
    that the triangles meet the outline's edges exactly."""
    m = len(px)
    x, y, stands = px.tolist(), py.tolist(), same.tolist()
    prev = [(i - 1) % m for i in range(m)]
    nxt = [(i + 1) % m for i in range(m)]
    alive = [True] * m
    # Vertices by x, to find the few that can lie in a small triangle.
    by_x = sorted(range(m), key=x.__getitem__)
    xs = [x[i] for i in by_x]

    def cross(a: int, b: int, c: int) -> float:
        return s * ((x[b] - x[a]) * (y[c] - y[b]) - (y[b] - y[a]) * (x[c] - x[b]))

    def is_ear(a: int, b: int, c: int) -> bool:
        # No other remaining vertex inside or on the triangle (vertices on a
        # corner, as along a cut, do not count).
        low, high = min(y[a], y[b], y[c]), max(y[a], y[b], y[c])
        corners = ((x[a], y[a]), (x[b], y[b]), (x[c], y[c]))
        for p in by_x[bisect_left(xs, min(x[a], x[b], x[c])) : bisect_right(xs, max(x[a], x[b], x[c]))]:
            if not alive[p] or p == a or p == b or p == c or not low <= y[p] <= high or (x[p], y[p]) in corners:
                continue
            if cross(a, b, p) >= 0 and cross(b, c, p) >= 0 and cross(c, a, p) >= 0:
                return False
        return True

    def remove(b: int) -> None:
        nxt[prev[b]] = nxt[b]
        prev[nxt[b]] = prev[b]
        alive[b] = False

    tris: list[tuple[int, int, int]] = []
    remaining, i, stall = m, 0, 0
    while remaining > 3:
        a, c = prev[i], nxt[i]
        if stands[i] == stands[c] or stands[a] == stands[c]:
            # An edge of no length, or a spike whose edges are one edge run
            # both ways (what is left of a cut): nothing to cover.
            remove(i)
            remaining -= 1
            i, stall = a, 0
            continue
        if cross(a, i, c) > 0 and is_ear(a, i, c):
            tris.append((a, i, c))
            remove(i)
            remaining -= 1
            i, stall = c, 0
            continue
        stall += 1
        if stall <= remaining:
            i = c
            continue
        # A whole round without an ear: the outline crosses itself.  Clip a
        # convex corner anyway (else any corner) so that the loop ends.
        k = i
        while cross(prev[k], k, nxt[k]) <= 0:
            k = nxt[k]
            if k == i:
                break
        tris.append((prev[k], k, nxt[k]))
        i = nxt[k]
        remove(k)
        remaining -= 1
        stall = 0
    a, c = prev[i], nxt[i]
    if len({stands[a], stands[i], stands[c]}) == 3:
        tris.append((a, i, c))
    return np.array(tris, dtype=np.int64).reshape(-1, 3)
