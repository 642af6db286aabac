"""Demonstration of the compiled core: ``python -m corvane.demo``.

Runs lumino's demonstration (``corvane.core.lumino._main``): the default PDK's
grating coupler is written to a temporary GDS file, converted layer-wise and
sent to the 3D viewer as one message; the temporary file is deleted
afterwards.  Then it says where the message went and how big it is: with the
default transport, the JSON file in the viewer inbox.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any


def main() -> int:
    from corvane.core import communication, lumino

    delivered: list[tuple[Any, int]] = []
    transport = communication.get_transport()

    def recording(message: Any) -> Any:
        result = transport(message)
        content = getattr(message, "content", "")
        size = len(content.encode("utf-8")) if isinstance(content, str) else len(content)
        delivered.append((result, size))
        return result

    previous = communication.set_transport(recording)
    try:
        lumino._main()
    finally:
        communication.set_transport(previous)

    if len(delivered) != 1:
        print(f"lumino demonstration: expected one viewer message, {len(delivered)} were sent")
        return 1
    result, size = delivered[0]
    print("lumino demonstration: velloc's grating coupler, shown layer-wise")
    print(f"  viewer message: {size:,} bytes of JSON")
    if isinstance(result, (str, os.PathLike)) and Path(result).is_file():
        path = Path(result).resolve()
        print(f"  delivered to:   {path} ({path.stat().st_size:,} bytes on disk)")
        print(f"  viewer inbox:   {path.parent}")
    else:
        print(f"  delivered by:   {getattr(transport, '__qualname__', transport)!s}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
