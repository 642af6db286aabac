"""Triangles of layout outlines: the caps of the extruded shapes.

An outline is a polygon's hull as the viewer message holds it: x, y pairs,
possibly concave, with collinear or repeated points, a closing point, or
touching itself where a hole is joined to the hull by a cut.  ``Outlines``
cleans up a whole pool of them at once and covers each with triangles of
its own vertices: a fan for a convex outline, ear clipping otherwise (the
same rules as the viewer page's, so both draw the same caps).
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


class Outlines:
    """The cleaned outlines of a pool and their cap triangles.

    Outline k has the vertices ``xy[start[k] : start[k] + count[k]]`` (no
    point equal to the one before it, cyclically: no closing point), turns
    as ``sign[k]`` (1 counter-clockwise, -1 clockwise, 0 no area), and is
    covered by the triangles ``tris[tstart[k] : tstart[k] + tcount[k]]``:
    vertex numbers within the outline, counter-clockwise whatever its turn.
    Only the outlines listed in ``needed`` (default all) get triangles.
    """

    def __init__(self, pool: Sequence[np.ndarray], needed: Sequence[int] | None = None) -> None:
        n = len(pool)
        lengths = np.array([np.asarray(p).size // 2 for p in pool], dtype=np.int64)
        xy = np.concatenate([np.asarray(p, dtype=np.float64).reshape(-1) for p in pool]).reshape(-1, 2) if n else np.zeros((0, 2))
        owner = np.repeat(np.arange(n), lengths)
        keep = np.any(xy != xy[self._cyclic(lengths, -1)], axis=1)
        self.xy = xy[keep]
        owner = owner[keep]
        self.count = np.bincount(owner, minlength=n).astype(np.int64)
        self.start = run_starts(self.count)
        prev, nxt = self._cyclic(self.count, -1), self._cyclic(self.count, 1)
        x, y = self.xy[:, 0], self.xy[:, 1]
        area = np.bincount(owner, weights=(x[prev] - x) * (y[prev] + y), minlength=n)
        self.sign = np.where(self.count < 3, 0, np.sign(area)).astype(np.int64)
        # A corner turning against the outline makes it concave.
        dx, dy = x[nxt] - x, y[nxt] - y
        against = self.sign[owner] * (dx[prev] * dy - dy[prev] * dx) < 0
        concave = np.bincount(owner, weights=against, minlength=n) > 0
        wanted = np.zeros(n, dtype=bool)
        wanted[np.asarray(needed if needed is not None else np.arange(n), dtype=np.int64)] = True
        wanted &= self.sign != 0
        # Convex outlines: fans from their first vertex, without the
        # triangles that collinear vertices make flat.
        fans = np.nonzero(wanted & ~concave)[0]
        per = self.count[fans] - 2
        tri_owner = np.repeat(fans, per)
        i = np.arange(len(tri_owner)) - np.repeat(run_starts(per), per) + 1
        a = self.start[tri_owner]
        b, c = a + i, a + i + 1
        flat = self.sign[tri_owner] * ((x[b] - x[a]) * (y[c] - y[b]) - (y[b] - y[a]) * (x[c] - x[b])) > 0
        tris = [np.stack([np.zeros_like(i), i, i + 1], axis=1)[flat]]
        owners = [tri_owner[flat]]
        for k in np.nonzero(wanted & concave)[0]:
            lo = self.start[k]
            clipped = _ear_clip(x[lo : lo + self.count[k]], y[lo : lo + self.count[k]], int(self.sign[k]))
            tris.append(clipped)
            owners.append(np.full(len(clipped), k))
        tris_all, owner_all = np.concatenate(tris), np.concatenate(owners)
        # Triangles of a clockwise outline are taken backwards.
        backwards = self.sign[owner_all] < 0
        tris_all[backwards] = tris_all[backwards][:, ::-1]
        order = np.argsort(owner_all, kind="stable")
        self.tris = tris_all[order]
        self.tcount = np.bincount(owner_all, minlength=n).astype(np.int64)
        self.tstart = run_starts(self.tcount)

    def _cyclic(self, counts: np.ndarray, step: int) -> np.ndarray:
        """For every vertex of outlines of ``counts`` vertices, the index of
        the one before (step -1) or after (step 1) it in its outline."""
        index = np.arange(int(counts.sum())) + step
        starts = run_starts(counts)[counts > 0]
        ends = starts + counts[counts > 0] - 1
        if step < 0:
            index[starts] = ends
        else:
            index[ends] = starts
        return index


def _ear_clip(px: np.ndarray, py: np.ndarray, s: int) -> np.ndarray:
    """Ear clipping of a concave outline turning as ``s``; triangles in its turn."""
    m = len(px)
    x, y = px.tolist(), py.tolist()
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
        turn = cross(a, i, c)
        if turn == 0:  # collinear vertex or a spike: nothing to fill
            remove(i)
            remaining -= 1
            i, stall = a, 0
        elif turn > 0 and is_ear(a, i, c):
            tris.append((a, i, c))
            remove(i)
            remaining -= 1
            i, stall = c, 0
        else:
            stall += 1
            if stall <= remaining:
                i = c
                continue
            # A whole round without an ear: the outline crosses itself.  Clip
            # a convex corner anyway (or drop a vertex) so that the loop ends.
            k = i
            while cross(prev[k], k, nxt[k]) <= 0:
                k = nxt[k]
                if k == i:
                    break
            if cross(prev[k], k, nxt[k]) > 0:
                tris.append((prev[k], k, nxt[k]))
            i = nxt[k]
            remove(k)
            remaining -= 1
            stall = 0
    if cross(prev[i], i, nxt[i]) > 0:
        tris.append((prev[i], i, nxt[i]))
    return np.array(tris, dtype=np.int64).reshape(-1, 3)
