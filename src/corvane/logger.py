"""The package logger.

Everything corvane logs goes to the standard logger "corvane"; handlers and
levels are the application's choice.  Without any configuration Python's
last-resort handler still prints warnings to stderr.
"""

from __future__ import annotations

import logging

__all__ = ["get_logger"]


def get_logger() -> logging.Logger:
    """The logger named "corvane"."""
    return logging.getLogger("corvane")
