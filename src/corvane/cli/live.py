"""corvane view FILE.gds --serve: the layout in a live viewer, served on the loopback
address until Ctrl-C, shown again after each save, with nets traced on a click."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from corvane.cli.common import CommandError, UsageError, _check_layout_file, _Progress, _size


def port_number(text: str) -> int:
    try:
        port = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"port out of range (0 to 65535; 0 picks a free one): {text!r}")
    return port


def check_options(args: argparse.Namespace, layout: bool) -> None:
    """--serve takes a layout file and none of the options of a page written to a file."""
    if not args.serve:
        if args.port is not None:
            raise UsageError("--port applies to a served viewer (corvane view FILE.gds --serve --port N)")
        return
    if not layout:
        raise UsageError("--serve shows a layout file and follows its changes (corvane view FILE.gds --serve)")
    given = [name for name, value in (("--screenshot", args.screenshot), ("--inbox", args.inbox)) if value is not None]
    if given:
        raise UsageError(f"{', '.join(given)} and --serve do not go together: the served page is never written to a file")


def serve(prog: str, source: Path, args: argparse.Namespace) -> int:
    """Serve ``source`` until Ctrl-C; prints the address first."""
    from corvane.serve import ConversionOptions, LiveServer, LoadError

    _check_layout_file(source)
    try:
        with _Progress(prog, f"converting {source} ({_size(source.stat().st_size)}, {args.output}-wise)"):
            server = LiveServer(source, ConversionOptions.from_args(args), port=args.port or 0, prog=prog)
    except LoadError as exc:
        raise CommandError(str(exc)) from None
    except OSError as exc:  # the port is taken, or not ours to take
        raise CommandError(f"cannot listen on 127.0.0.1:{args.port}: {exc.strerror or exc}") from None
    fragment = "#view=top" if args.top else ""

    def started(url: str) -> None:
        print(f"live: {url}{fragment} (following {source}; Ctrl-C stops)", flush=True)
        if args.open:
            import webbrowser

            if not webbrowser.open(url + fragment):
                print(f"{prog}: warning: no web browser to open {url}", flush=True)

    server.run(started)
    print(f"{prog}: stopped", file=sys.stderr, flush=True)
    return 0
