"""Helpers shared by the compiled modules."""

from __future__ import annotations

from typing import Any

__all__ = ["none"]


def none(value: Any) -> None:
    """JSON encoder fallback: a value the encoder cannot encode is written as null."""
    return None
