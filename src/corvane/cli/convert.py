"""The commands that convert a layout: lumino (a viewer message, delivered)
and export (a glTF binary file)."""

from __future__ import annotations

import argparse
import os
from pathlib import Path
from typing import Any, Callable

from corvane.cli.common import (
    LAYOUT_SUFFIXES,
    CommandError,
    UsageError,
    _check_layout_file,
    _one_line,
    _Progress,
    _size,
    add_conversion_options,
    add_exclude_option,
    add_show_option,
    add_stack_option,
    add_z_scale_option,
)
from corvane.cli.plan import plan_layers


def _deliver(send: Callable[[], None]) -> tuple[Any, str]:
    """Run ``send`` with the host's transport watched: (what it returned, the message text)."""
    from corvane.core import communication

    delivered: list[tuple[Any, Any]] = []
    transport = communication.get_transport()

    def watching(message: Any) -> Any:
        result = transport(message)
        delivered.append((result, getattr(message, "content", message)))
        return result

    previous = communication.set_transport(watching)
    try:
        send()
    finally:
        communication.set_transport(previous)
    if len(delivered) != 1:
        raise CommandError(f"expected one viewer message, {len(delivered)} were sent")
    result, content = delivered[0]
    if isinstance(content, (bytes, bytearray)):
        content = bytes(content).decode("utf-8")
    return result, content


def _writable_folder(folder: Path) -> str | None:
    """Why no file can be written into ``folder`` (made when missing), or None when one can:
    a file is made there and removed again, so that a long conversion does not end in
    an error the folder could have told at once."""
    import tempfile

    try:
        folder.mkdir(parents=True, exist_ok=True)
        with tempfile.NamedTemporaryFile(dir=folder, prefix=".corvane-", suffix=".probe"):
            pass
    except OSError as exc:
        return exc.strerror or _one_line(exc)
    return None


def _set_inbox(inbox: str | None) -> None:
    if inbox is None:
        return
    from corvane.core import communication

    folder = Path(inbox).expanduser()
    if folder.exists() and not folder.is_dir():
        raise CommandError(f"{inbox}: the inbox is not a folder")
    why = _writable_folder(folder)
    if why is not None:
        raise CommandError(f"{inbox}: cannot use it as the inbox: {why}")
    communication.set_inbox(folder)


def _convert(prog: str, gds: Path, args: argparse.Namespace) -> Path | None:
    """Convert ``gds`` with lumino as ``args`` say and deliver the message, named after
    the layout; prints "message: ..." and returns the message file (None when the
    transport delivered it elsewhere)."""
    from corvane.core import communication, lumino

    output = lumino.Output.CELL if args.output == "cell" else lumino.Output.LAYER
    _check_layout_file(gds)
    with _Progress(prog, f"converting {gds} ({_size(gds.stat().st_size)}, {args.output}-wise)"):
        plan = plan_layers(prog, gds, args)

        def send() -> None:
            try:
                lumino.lumino(
                    str(gds),
                    output,
                    z_scale=args.z_scale,
                    curve_tolerance=args.curve_tolerance,
                    exclude_layers=plan.exclude_layers,
                )
            except RuntimeError as exc:  # KLayout's reader: unknown format, truncated file, ...
                raise CommandError(f"{gds}: cannot read the layout: {_one_line(exc)}") from None

        with plan.active(), communication.message_name(_layout_name(gds)):
            try:
                result, content = _deliver(send)
            except OSError as exc:  # the inbox writer: a folder that cannot be made or written
                where = exc.filename or communication.get_inbox()
                raise CommandError(f"{where}: cannot deliver the message: {exc.strerror or _one_line(exc)}") from None
    nbytes = len(content.encode("utf-8"))
    if isinstance(result, (str, os.PathLike)) and Path(result).is_file():
        message = Path(result).resolve()
        print(f"message: {message} ({_size(nbytes)})")
        return message
    print(f"message: delivered by the viewer transport ({_size(nbytes)})")
    return None


def _layout_name(gds: Path) -> str:
    name = gds.name
    for suffix in sorted(LAYOUT_SUFFIXES, key=len, reverse=True):
        if name.lower().endswith(suffix):
            return name[: -len(suffix)] or name
    return gds.stem


def _cmd_lumino(args: argparse.Namespace) -> int:
    _set_inbox(args.inbox)
    message = _convert("corvane lumino", Path(args.gds_file), args)
    if args.view:
        if message is None:
            raise CommandError("--view needs the message in a file; the transport delivered it elsewhere")
        from corvane import viewer
        from corvane.viewer import texts

        # The layout's texts travel beside the message, for its page (read
        # only for a page: KLayout stays out of a plain conversion).
        texts.write_page_data(Path(args.gds_file), message)
        print(f"page: {viewer.write_page(message)}")
    return 0


def _glb_argument(args: argparse.Namespace) -> Path:
    """OUT.glb, taken back from ``--exclude`` when the patterns swallowed it."""
    if args.out is None:
        for k in range(len(args.exclude or []) - 1, -1, -1):
            if args.exclude[k].lower().endswith(".glb"):
                args.out = args.exclude.pop(k)
                break
    if args.out is None:
        raise UsageError("the following arguments are required: OUT.glb")
    out = Path(args.out).expanduser()
    if out.suffix.lower() != ".glb":
        raise CommandError(f"{args.out}: the 3D file must be a .glb file (glTF binary)")
    if out.is_dir():
        raise CommandError(f"{out}: is a folder")
    folder = out.resolve().parent
    if not folder.is_dir():
        raise CommandError(f"{folder}: no such folder for the 3D file")
    why = _writable_folder(folder)
    if why is not None:
        raise CommandError(f"{out}: cannot write the 3D file there: {why}")
    return out


def _cmd_export(args: argparse.Namespace) -> int:
    prog = "corvane export"
    gds = Path(args.gds_file)
    out = _glb_argument(args)
    _check_layout_file(gds)
    from corvane.core import lumino
    from corvane.export import NothingToDraw, gds_to_glb

    output = lumino.Output.CELL if args.output == "cell" else lumino.Output.LAYER
    with _Progress(prog, f"writing {out.name} from {gds} ({_size(gds.stat().st_size)}, {args.output}-wise)"):
        plan = plan_layers(prog, gds, args)
        try:
            summary = gds_to_glb(
                gds,
                out,
                output,
                layer_stack=plan.layer_stack,
                layer_views=plan.layer_views,
                z_scale=args.z_scale,
                curve_tolerance=args.curve_tolerance,
                exclude_layers=plan.exclude_layers,
                require_shapes=True,
                instancing=args.instancing,
            )
        except RuntimeError as exc:  # KLayout's reader: unknown format, truncated file, ...
            raise CommandError(f"{gds}: cannot read the layout: {_one_line(exc)}") from None
        except NothingToDraw:
            raise CommandError(f"nothing to draw: no shape of {gds} is on a layer of the layer stack; {out} not written") from None
        except OSError as exc:
            raise CommandError(f"{out}: cannot write the 3D file: {exc.strerror or _one_line(exc)}") from None
    counts = [(summary.layers, "layer"), (summary.meshes, "mesh"), (summary.placements, "placement"), (summary.triangles, "triangle")]
    said = ", ".join(f"{n:,} {word}{'' if n == 1 else 'es' if word == 'mesh' else 's'}" for n, word in counts)
    print(f"glb: {summary.path.resolve()} ({_size(summary.bytes)}): {said}; lengths in micrometres")
    return 0


def _add_lumino(commands: Any) -> None:
    p = commands.add_parser(
        "lumino",
        prog="corvane lumino",
        help="send a GDS layout to the 3D viewer",
        description="Convert a GDS layout into one 3D viewer message and deliver it (by default into "
        "the viewer inbox, ~/.corvane/viewer_inbox, named after the layout); prints the message file "
        "and its size. Layers the stack does not show are named in a warning.",
    )
    p.add_argument("gds_file", nargs="?", metavar="FILE.gds", help="the layout")
    add_stack_option(p)
    add_show_option(p)
    add_exclude_option(p)
    add_z_scale_option(p)
    add_conversion_options(p)
    p.add_argument("--inbox", metavar="DIR", help="deliver into this inbox folder")
    p.add_argument("--view", action="store_true", help="also write the viewer page beside the message")
    p.set_defaults(run=_cmd_lumino, needs_layout=True)


def _add_export(commands: Any) -> None:
    p = commands.add_parser(
        "export",
        prog="corvane export",
        help="write a GDS layout as a 3D file (glTF binary)",
        description="Write the layout as glTF 2.0 binary (.glb) for Blender and other 3D tools: what the viewer "
        "shows, one mesh per cell and layer (closed solids), placements as instances, a material per layer, "
        "lengths in micrometres. By default scene 0 places every instance as a node (any glTF viewer) and "
        "scene 1 uses EXT_mesh_gpu_instancing. Layers the stack does not show are named in a warning.",
    )
    p.add_argument("gds_file", nargs="?", metavar="FILE.gds", help="the layout")
    p.add_argument("out", nargs="?", metavar="OUT.glb", help="the 3D file to write")
    add_stack_option(p)
    add_show_option(p)
    add_exclude_option(p)
    add_z_scale_option(p)
    add_conversion_options(p)
    p.add_argument(
        "--instancing",
        choices=("none", "ext", "both"),
        default="both",
        help="placements as plain nodes (none: for gltfpack and other cgltf-based tools), as "
        "EXT_mesh_gpu_instancing alone (ext, the extension required), or a scene of each (both, the default)",
    )
    p.set_defaults(run=_cmd_export, needs_layout=True)
