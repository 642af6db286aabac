"""Which built-in stack a layout was drawn for.

A layout carries no PDK name, but its (layer, datatype) pairs give it away:
``fits(summary)`` says, for every built-in stack, how many of the layout's
shapes lie on pairs the stack knows (drawn or not: pins, markers and
boundaries count, as they belong to the PDK as much as its metals) and how
many it would draw.  ``detect(summary)`` is the stack that knows most of
them, when one knows more than half of the shapes, draws some and no other
knows as many; ``well_known(summary)`` its entries by pair, for naming the
layers of stacks made up for the layout.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from corvane.stacks import builtin, builtin_names, drawn

__all__ = ["Fit", "detect", "entries_by_pair", "fits", "ties", "well_known"]


@dataclass(frozen=True)
class Fit:
    """How well built-in stack ``name`` fits a layout."""

    name: str
    shapes: int  # the layout's shapes
    known: int  # shapes on pairs the stack knows
    drawn: int  # shapes it draws (drawing and fill layers with a colour)
    layers: int  # pairs with shapes that it knows

    @property
    def fraction(self) -> float:
        return self.known / self.shapes if self.shapes else 0.0

    @property
    def usable(self) -> bool:
        """Knows more than half of the shapes and draws some."""
        return self.drawn > 0 and 2 * self.known > self.shapes


def entries_by_pair(data: dict[str, Any]) -> dict[tuple[int, int], dict[str, Any]]:
    """A description's entries by pair; the first entry of a pair wins, as in the views."""
    out: dict[tuple[int, int], dict[str, Any]] = {}
    for entry in data["layers"]:
        out.setdefault((entry["layer"], entry["datatype"]), entry)
    return out


def fits(summary: Any) -> list[Fit]:
    """Every built-in stack's fit to the layout ``summary``, the best first
    (most shapes known, then most drawn, then by name)."""
    counts = {pair: count.shapes for pair, count in summary.layers.items() if count.shapes}
    total = sum(counts.values())
    found = []
    for name in builtin_names():
        entries = entries_by_pair(builtin(name))
        known = [pair for pair in counts if pair in entries]
        found.append(
            Fit(
                name=name,
                shapes=total,
                known=sum(counts[p] for p in known),
                drawn=sum(counts[p] for p in known if drawn(entries[p])),
                layers=len(known),
            )
        )
    return sorted(found, key=lambda f: (-f.known, -f.drawn, f.name))


def detect(summary: Any) -> Fit | None:
    """The built-in stack the layout looks like, or None: none knows more than half
    of its shapes and draws some, or two know the same shapes equally well."""
    ranked = [f for f in fits(summary) if f.usable]
    if not ranked:
        return None
    if len(ranked) > 1 and (ranked[1].known, ranked[1].drawn) == (ranked[0].known, ranked[0].drawn):
        return None
    return ranked[0]


def ties(summary: Any) -> list[str]:
    """The built-in stacks that fit the layout equally well at the top (two or more), else []."""
    ranked = [f for f in fits(summary) if f.usable]
    if len(ranked) < 2:
        return []
    best = (ranked[0].known, ranked[0].drawn)
    level = [f.name for f in ranked if (f.known, f.drawn) == best]
    return level if len(level) > 1 else []


def well_known(summary: Any) -> tuple[str | None, dict[tuple[int, int], dict[str, Any]]]:
    """The name and entries (by pair) of the built-in stack the layout looks like,
    or (None, {}) when none fits."""
    fit = detect(summary)
    if fit is None:
        return None, {}
    return fit.name, entries_by_pair(builtin(fit.name))
